#include "support/FakeAdoptium.h"

namespace tarvik::test {

QByteArray fakeProbeScript(const QByteArray& output, int exitCode)
{
    return QByteArrayLiteral("#!/bin/sh\ncat >&2 <<'EOF'\n") + output +
           QByteArrayLiteral("\nEOF\nexit ") + QByteArray::number(exitCode) + '\n';
}

} // namespace tarvik::test
