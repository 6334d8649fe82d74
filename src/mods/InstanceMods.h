// Keeps an event's instance "mods" folder equal to the approved, enabled set:
// the instance-folder rule, the record of the jars the launcher placed itself
// ("managed-mods.json"), and the synchronisation. Runs inside one background
// job on its worker thread; it owns nothing beyond the call, and the folder
// and record on disk are its only state.
#pragma once

#include "catalog/Catalog.h"
#include "fs/Error.h"

#include <QSet>
#include <QString>

#include <functional>

namespace tarvik {

class Http;

// dataDir + "/instances/" + the event id, refusing ids that are not a single
// safe folder name and links on the way. Shared by game installation and the
// window's "open event folder" command.
QString instanceDir(const QString& eventId);

// Brings the event's mods folder in line with ModManager::resolve(event,
// enabled): unknown or altered files stop the run before anything changes;
// jars come from the shared cache "cache/mods/<sha512>.jar", filled through
// Http::downloadMany; removals happen before installations and the record is
// saved after every change, so a run stopped part-way leaves a state the next
// run completes; the temporary file of a copy that a killed run left in the
// mods folder is removed, never taken for a user's file. Throws Error.
void syncInstanceMods(Http& http, const Event& event, const QSet<QString>& enabled,
                      const CancelFlag& cancel);

namespace detail {
// The steps at which the synchronisation checks the cancel flag.
enum class SyncStep { Scan, Remove, Install };

// syncInstanceMods with an observer called just before each cancellation
// check, with the step and the file concerned; lets a test stop a run at an
// exact point.
void syncInstanceMods(Http& http, const Event& event, const QSet<QString>& enabled,
                      const CancelFlag& cancel,
                      const std::function<void(SyncStep, const QString&)>& observer);
} // namespace detail

} // namespace tarvik
