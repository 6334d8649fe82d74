#include "platform/Signature.h"

#include "platform/Digest.h"

// windows.h first: bcrypt.h depends on it.
#include <windows.h>

#include <bcrypt.h>

#include <array>
#include <cstring>
#include <vector>

namespace tarvik::platform {

namespace {

// A P-256 SubjectPublicKeyInfo is this fixed DER header (algorithm
// id-ecPublicKey, curve prime256v1, a 66-byte bit string) followed by the
// uncompressed point's 0x04 and its two 32-byte coordinates.
constexpr std::array<unsigned char, 27> kP256KeyPrefix = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr std::size_t kCoordinate = 32;

// Reads one DER INTEGER into a 32-byte big-endian field. Strict, as OpenSSL
// is: short-form length, not negative, no superfluous leading zero, at most
// 32 bytes of value.
bool readInteger(const unsigned char*& cursor, const unsigned char* end, unsigned char* field)
{
    if (end - cursor < 2 || cursor[0] != 0x02)
        return false;
    std::size_t length = cursor[1];
    cursor += 2;
    if (length == 0 || length > kCoordinate + 1 ||
        static_cast<std::size_t>(end - cursor) < length || (cursor[0] & 0x80) != 0 ||
        (length > 1 && cursor[0] == 0 && (cursor[1] & 0x80) == 0))
        return false;
    if (cursor[0] == 0 && length > 1) {
        ++cursor;
        --length;
    }
    if (length > kCoordinate)
        return false;
    std::memset(field, 0, kCoordinate);
    std::memcpy(field + kCoordinate - length, cursor, length);
    cursor += length;
    return true;
}

// The DER ECDSA-Sig-Value SEQUENCE { r, s } that openssl writes, as the
// r || s pair that CNG verifies; false when it is anything else.
bool rawSignature(const std::string& der, std::array<unsigned char, 2 * kCoordinate>& raw)
{
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* end = cursor + der.size();
    if (der.size() < 2 || der.size() > kMaxEcdsaP256Signature || cursor[0] != 0x30 ||
        cursor[1] != der.size() - 2)
        return false;
    cursor += 2;
    return readInteger(cursor, end, raw.data()) &&
           readInteger(cursor, end, raw.data() + kCoordinate) && cursor == end;
}

// The ECDSA P-256 provider, opened once per process and kept open.
BCRYPT_ALG_HANDLE ecdsaProvider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!BCRYPT_SUCCESS(
                ::BCryptOpenAlgorithmProvider(&handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
            handle = nullptr;
        return handle;
    }();
    return provider;
}

} // namespace

bool verifyEcdsaP256Sha256(const std::string& publicKey, const void* data, std::size_t size,
                           const std::string& signature)
{
    std::array<unsigned char, 2 * kCoordinate> raw{};
    if (publicKey.size() != kP256KeyPrefix.size() + 2 * kCoordinate ||
        std::memcmp(publicKey.data(), kP256KeyPrefix.data(), kP256KeyPrefix.size()) != 0 ||
        !rawSignature(signature, raw) || !ecdsaProvider())
        return false;
    const std::unique_ptr<Digest> digest = Digest::create(DigestAlgorithm::Sha256);
    if (!digest || !digest->add(data, size))
        return false;
    std::string hash = digest->finish();
    if (hash.size() != 32)
        return false;

    // BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate);
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinate};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, publicKey.data() + kP256KeyPrefix.size(),
                2 * kCoordinate);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(ecdsaProvider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                              blob.data(), static_cast<ULONG>(blob.size()), 0)))
        return false;
    const NTSTATUS status = ::BCryptVerifySignature(
        key, nullptr, reinterpret_cast<PUCHAR>(hash.data()), static_cast<ULONG>(hash.size()),
        raw.data(), static_cast<ULONG>(raw.size()), 0);
    ::BCryptDestroyKey(key);
    return BCRYPT_SUCCESS(status);
}

} // namespace tarvik::platform
