#include "platform/Digest.h"

#include <openssl/evp.h>

namespace tarvik::platform {

struct Digest::State
{
    EVP_MD_CTX* context = nullptr;
    bool failed = false;
    ~State() { EVP_MD_CTX_free(context); }
};

namespace {

const EVP_MD* digestOf(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Sha1:
        return EVP_sha1();
    case DigestAlgorithm::Sha256:
        return EVP_sha256();
    case DigestAlgorithm::Sha512:
        return EVP_sha512();
    }
    return nullptr;
}

} // namespace

std::unique_ptr<Digest> Digest::create(DigestAlgorithm algorithm)
{
    const EVP_MD* md = digestOf(algorithm);
    auto state = std::make_unique<State>();
    state->context = EVP_MD_CTX_new();
    if (!md || !state->context || EVP_DigestInit_ex(state->context, md, nullptr) != 1)
        return nullptr;
    return std::unique_ptr<Digest>(new Digest(std::move(state)));
}

Digest::Digest(std::unique_ptr<State> state) : m_state(std::move(state)) {}

Digest::~Digest() = default;

bool Digest::add(const void* data, std::size_t size)
{
    if (!m_state->failed && size > 0)
        m_state->failed = EVP_DigestUpdate(m_state->context, data, size) != 1;
    return !m_state->failed;
}

std::string Digest::finish()
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (m_state->failed || EVP_DigestFinal_ex(m_state->context, out, &length) != 1) {
        m_state->failed = true;
        return {};
    }
    m_state->failed = true; // finished: no more data
    return std::string(reinterpret_cast<const char*>(out), length);
}

} // namespace tarvik::platform
