// The stand-in Java vendor of devserver/FakeAdoptium.h, and scripted Java
// consoles for the probe's failure cases.
#pragma once

#include "devserver/FakeAdoptium.h"
#include "support/HttpsTestServer.h"

#include <QByteArray>

namespace tarvik::test {

using dev::FakeAdoptium;
using dev::javaWrapperScript;
using dev::jreArchive;
using dev::systemJava;

// A shell script that prints `output` to standard error and exits with `exitCode`.
QByteArray fakeProbeScript(const QByteArray& output, int exitCode = 0);

} // namespace tarvik::test
