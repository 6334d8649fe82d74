// release-manifest: the operator's update manifest writer (see ReleaseManifest.h).
#include "ReleaseManifest.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const int code = tarvik::tools::runReleaseManifest(arguments, out, err);
    out.flush();
    err.flush();
    return code;
}
