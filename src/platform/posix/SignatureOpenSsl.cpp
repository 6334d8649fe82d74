#include "platform/Signature.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

namespace tarvik::platform {

namespace {

bool verify(const std::string& publicKey, const void* data, std::size_t size,
            const std::string& signature)
{
    if (signature.empty() || signature.size() > kMaxEcdsaP256Signature)
        return false;
    const auto* cursor = reinterpret_cast<const unsigned char*>(publicKey.data());
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKey.size())), &EVP_PKEY_free);
    // The whole key and nothing after it; P-256 only, so that a weaker curve
    // or another algorithm compiled in by mistake verifies nothing.
    char group[32] = {};
    std::size_t groupLength = 0;
    if (!key ||
        cursor != reinterpret_cast<const unsigned char*>(publicKey.data()) + publicKey.size() ||
        !EVP_PKEY_is_a(key.get(), "EC") ||
        EVP_PKEY_get_group_name(key.get(), group, sizeof group, &groupLength) != 1 ||
        std::strcmp(group, "prime256v1") != 0)
        return false;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    // OpenSSL decodes the DER signature strictly: it re-encodes it and
    // refuses any other encoding of the same numbers.
    return context &&
           EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(), static_cast<const unsigned char*>(data), size) == 1;
}

} // namespace

bool verifyEcdsaP256Sha256(const std::string& publicKey, const void* data, std::size_t size,
                           const std::string& signature)
{
    const bool ok = verify(publicKey, data, size, signature);
    // Failures leave entries in this thread's OpenSSL error queue, which Qt's
    // TLS backend reads on its next call here.
    ERR_clear_error();
    return ok;
}

} // namespace tarvik::platform
