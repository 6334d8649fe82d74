// The operator's release manifest writer: checks a release archive the way
// the updater will (every entry unpacked, marker, both programs) and writes
// the "update.json" that announces it, refusing what the launcher would
// refuse (a URL that is not HTTPS, on another host or outside "/releases/",
// a revision outside 2 to 1000000). A command-line tool for the people who
// publish releases; not part of the launcher. Single-threaded.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace tarvik::tools {

// Runs the writer with the arguments after the program name; prints the
// manifest to `out` (or writes it to --output) and failures to `err`. Returns
// the exit code: 0 when written, 1 when refused, 2 on a usage error.
int runReleaseManifest(const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace tarvik::tools
