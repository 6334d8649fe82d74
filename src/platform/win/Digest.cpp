#include "platform/Digest.h"

// windows.h first: bcrypt.h depends on it.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <array>

namespace tarvik::platform {

struct Digest::State
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    ULONG length = 0;
    bool failed = false;
    ~State()
    {
        if (hash)
            ::BCryptDestroyHash(hash);
    }
};

namespace {

// The three algorithm providers, opened once per process on first use (the
// static initialisation is thread-safe) and kept open: opening one is far
// dearer than a hash object, and a provider serves any number of threads.
BCRYPT_ALG_HANDLE providerOf(DigestAlgorithm algorithm)
{
    static const std::array<BCRYPT_ALG_HANDLE, 3> providers = [] {
        std::array<BCRYPT_ALG_HANDLE, 3> handles{};
        const std::array<LPCWSTR, 3> names{BCRYPT_SHA1_ALGORITHM, BCRYPT_SHA256_ALGORITHM,
                                           BCRYPT_SHA512_ALGORITHM};
        for (size_t i = 0; i < names.size(); ++i) {
            if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&handles[i], names[i], nullptr, 0)))
                handles[i] = nullptr;
        }
        return handles;
    }();
    switch (algorithm) {
    case DigestAlgorithm::Sha1:
        return providers[0];
    case DigestAlgorithm::Sha256:
        return providers[1];
    case DigestAlgorithm::Sha512:
        return providers[2];
    }
    return nullptr;
}

} // namespace

std::unique_ptr<Digest> Digest::create(DigestAlgorithm algorithm)
{
    const BCRYPT_ALG_HANDLE provider = providerOf(algorithm);
    if (!provider)
        return nullptr;
    auto state = std::make_unique<State>();
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(::BCryptGetProperty(provider, BCRYPT_HASH_LENGTH,
                                            reinterpret_cast<PUCHAR>(&state->length),
                                            sizeof(state->length), &written, 0)) ||
        state->length == 0 || state->length > 64)
        return nullptr;
    // The hash object's memory is managed by CNG (null buffer).
    if (!BCRYPT_SUCCESS(::BCryptCreateHash(provider, &state->hash, nullptr, 0, nullptr, 0, 0)))
        return nullptr;
    return std::unique_ptr<Digest>(new Digest(std::move(state)));
}

Digest::Digest(std::unique_ptr<State> state) : m_state(std::move(state)) {}

Digest::~Digest() = default;

bool Digest::add(const void* data, std::size_t size)
{
    auto* bytes = static_cast<const unsigned char*>(data);
    // BCryptHashData takes a 32-bit length.
    while (!m_state->failed && size > 0) {
        const ULONG step = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000u));
        m_state->failed =
            !BCRYPT_SUCCESS(::BCryptHashData(m_state->hash, const_cast<PUCHAR>(bytes), step, 0));
        bytes += step;
        size -= step;
    }
    return !m_state->failed;
}

std::string Digest::finish()
{
    std::string out(m_state->length, '\0');
    const bool ok = !m_state->failed &&
                    BCRYPT_SUCCESS(::BCryptFinishHash(
                        m_state->hash, reinterpret_cast<PUCHAR>(out.data()), m_state->length, 0));
    m_state->failed = true; // finished: no more data
    return ok ? out : std::string();
}

} // namespace tarvik::platform
