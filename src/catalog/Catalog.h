// The operator's catalog of events and their approved mods, as the launcher
// trusts it after validation. Plain values, copied freely; the Controller keeps
// the one in force, jobs work on copies. Loading runs on a job's worker thread.
#pragma once

#include "net/Download.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace tarvik {

class Http;

// One approved mod of an event. `download` carries the catalog's url, SHA-512
// (lower-case hex) and size; its path is left empty for the mods
// synchronisation to fill in.
struct Mod
{
    QString id;
    QString name;
    QString description;
    QString category;
    QString file;
    QString version;
    Download download{{}, {}, {}, QCryptographicHash::Sha256, -1};
    QStringList dependencies;
    bool required = false;
};

// One event: the game version, optional loader and server, and its mods.
struct Event
{
    QString id;
    QString name;
    QString description;
    QString minecraft;
    QString fabricLoader;
    QString server;
    QList<Mod> mods;
};

// A validated catalog. Obtained only through load() or fromJson(), which
// either return a catalog that satisfies every rule or throw Error; nothing
// partial is ever returned.
struct Catalog
{
    QString microsoftClientId;
    QList<Event> events;

    // Fetches the catalog endpoint with the job's Http (with its signature when
    // the build has operator keys, see net/SignedDocument.h) and validates it.
    static Catalog load(Http& http);

    // Validates a catalog document. On failure throws Error with the user's
    // message; when `failedAt` is given it receives where in the document the
    // failure lies, such as "events[2].mods[5].sha512" (empty on success).
    static Catalog fromJson(const QJsonObject& document, QString* failedAt = nullptr);
};

} // namespace tarvik
