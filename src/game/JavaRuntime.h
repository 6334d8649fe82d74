// The Java runtime the game starts with: the user's own javaw.exe, or an
// automatic runtime per Java major version under the data folder, downloaded
// from the Java vendor's assets API and unpacked once. Either way the runtime
// is probed before every launch. Runs on the play job's worker thread.
#pragma once

#include "catalog/Settings.h"
#include "fs/Error.h"
#include "net/Http.h"
#include "platform/Platform.h"

#include <QString>

namespace tarvik {

// The Java launcher to start the game with (the user's path as given, or the
// absolute path inside the automatic runtime), after a successful probe.
// Throws Error.
QString prepareJava(Http& http, int major, const Settings& settings, const CancelFlag& cancel,
                    const ProgressCallback& progress,
                    const PlatformDescriptor& platform = PlatformDescriptor::current());

// Runs the console executable beside the launcher once and returns when it
// reports exactly the required Java major version and a 64-bit data
// model; throws Error otherwise.
void probeJava(const QString& javaPath, int major, const CancelFlag& cancel,
               const PlatformDescriptor& platform = PlatformDescriptor::current());

} // namespace tarvik
