// Builds without OpenSSL (the Windows build of the operator tools): signing
// is refused, so that no unsigned document is taken for a signed one.
#include "Signing.h"

#include "fs/Error.h"

namespace tarvik::tools {

namespace {

[[noreturn]] void refuse()
{
    throw Error(QStringLiteral("this build cannot sign: it was built without OpenSSL (sign on "
                               "Linux, or with openssl dgst -sha256 -sign KEY.pem)"));
}

} // namespace

QByteArray signDocument(const QString&, const QByteArray&)
{
    refuse();
}

void makeSigningKey(const QString&, const QString&)
{
    refuse();
}

} // namespace tarvik::tools
