// Serving the files of a folder over the world's HTTPS server without ever
// reaching outside it: the operator's release folder and mod folder. The
// handler runs on the server's thread; the folder is only read.
#pragma once

#include "devserver/HttpsServer.h"

#include <QString>

namespace tarvik::world {

// The file that `relative` (a request path after its prefix, percent-decoded)
// names inside `root`, or an empty string when it names none: empty, "." or
// ".." segments, a backslash or NUL, a leading slash (an absolute path),
// anything that is not a regular file, and any path whose real location
// (links followed) lies outside the folder are refused.
QString fileInside(const QString& root, const QString& relative);

// Answers GET `prefix` + path with the file inside `root` (404 otherwise).
void serveFolder(dev::HttpsServer& server, const QString& prefix, const QString& root);

// A Content-Type for a file name.
QByteArray contentTypeFor(const QString& fileName);

} // namespace tarvik::world
