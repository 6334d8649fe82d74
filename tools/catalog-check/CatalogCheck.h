// The operator's catalog checker: runs the launcher's own catalog validation
// on a file, and fills in mod hashes and sizes from a folder of jars. A
// command-line tool for the people who write the catalog; not part of the
// launcher. Single-threaded.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace tarvik::tools {

// Runs the checker with the arguments after the program name; writes the
// verdict to `out` and failures to `err`. Returns the exit code: 0 when the
// catalog is valid, 1 when it is not (or a jar cannot be read), 2 on a usage
// error.
int runCatalogCheck(const QStringList& arguments, QTextStream& out, QTextStream& err);

} // namespace tarvik::tools
