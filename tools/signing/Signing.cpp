#include "Signing.h"

#include "fs/SafeFiles.h"
#include "platform/Signature.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>

namespace tarvik::tools {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

[[noreturn]] void fail(const QString& what)
{
    ERR_clear_error();
    throw Error(what);
}

bool isP256(EVP_PKEY* key)
{
    char group[32] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_group_name(key, group, sizeof group, &length) == 1 &&
           std::strcmp(group, "prime256v1") == 0;
}

QByteArray contents(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

std::string publicDer(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    std::string out(size > 0 ? reinterpret_cast<const char*>(der) : "", size > 0 ? size : 0);
    OPENSSL_free(der);
    return out;
}

} // namespace

QByteArray signDocument(const QString& keyFile, const QByteArray& document)
{
    const QByteArray pem = readFile(keyFile, 64 * 1024);
    const Bio bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())), &BIO_free);
    const Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
                  &EVP_PKEY_free);
    if (!key)
        fail(QStringLiteral("cannot read the private key (not PEM, or a wrong pass phrase): ") +
             keyFile);
    if (!isP256(key.get()))
        fail(QStringLiteral("not an ECDSA P-256 key (openssl genpkey -algorithm EC -pkeyopt "
                            "ec_paramgen_curve:P-256): ") +
             keyFile);

    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    std::size_t size = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(document.constData());
    QByteArray signature;
    if (context &&
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
        EVP_DigestSign(context.get(), nullptr, &size, data, document.size()) == 1) {
        signature.resize(static_cast<qsizetype>(size));
        if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                           data, document.size()) == 1)
            signature.resize(static_cast<qsizetype>(size));
        else
            signature.clear();
    }
    // What the launcher will do with it, before anyone publishes it.
    if (signature.isEmpty() ||
        !platform::verifyEcdsaP256Sha256(publicDer(key.get()), document.constData(),
                                         static_cast<std::size_t>(document.size()),
                                         signature.toStdString()))
        fail(QStringLiteral("signing failed with the key: ") + keyFile);
    ERR_clear_error();
    return signature;
}

void makeSigningKey(const QString& privateFile, const QString& publicFile)
{
    const Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    const Bio privatePem(BIO_new(BIO_s_mem()), &BIO_free);
    const Bio publicPem(BIO_new(BIO_s_mem()), &BIO_free);
    if (!key || !privatePem || !publicPem ||
        PEM_write_bio_PrivateKey(privatePem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1 ||
        PEM_write_bio_PUBKEY(publicPem.get(), key.get()) != 1)
        fail(QStringLiteral("cannot make a P-256 key"));
    writeFileAtomically(privateFile, contents(privatePem.get()));
    QFile::setPermissions(privateFile, QFile::ReadOwner | QFile::WriteOwner);
    writeFileAtomically(publicFile, contents(publicPem.get()));
}

} // namespace tarvik::tools
