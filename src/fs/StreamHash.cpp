#include "fs/StreamHash.h"

#include "platform/Digest.h"

#include <atomic>
#include <optional>

namespace tarvik {

namespace {

std::atomic_bool systemCrypto{true};

std::optional<platform::DigestAlgorithm> systemAlgorithmOf(QCryptographicHash::Algorithm algorithm)
{
    switch (algorithm) {
    case QCryptographicHash::Sha1:
        return platform::DigestAlgorithm::Sha1;
    case QCryptographicHash::Sha256:
        return platform::DigestAlgorithm::Sha256;
    case QCryptographicHash::Sha512:
        return platform::DigestAlgorithm::Sha512;
    default:
        return std::nullopt;
    }
}

} // namespace

namespace detail {

void setSystemCrypto(bool enabled)
{
    systemCrypto = enabled;
}

} // namespace detail

StreamHash::StreamHash(QCryptographicHash::Algorithm algorithm)
{
    const std::optional<platform::DigestAlgorithm> system = systemAlgorithmOf(algorithm);
    if (system && systemCrypto)
        m_system = platform::Digest::create(*system);
    if (!m_system)
        m_qt = std::make_unique<QCryptographicHash>(algorithm);
}

StreamHash::~StreamHash() = default;

void StreamHash::addData(QByteArrayView bytes)
{
    if (m_system)
        m_failed = m_failed || !m_system->add(bytes.data(), static_cast<std::size_t>(bytes.size()));
    else
        m_qt->addData(bytes);
}

QByteArray StreamHash::hexResult()
{
    if (!m_system)
        return m_qt->result().toHex();
    const std::string digest = m_system->finish();
    if (m_failed || digest.empty())
        return {};
    return QByteArray(digest.data(), static_cast<qsizetype>(digest.size())).toHex();
}

} // namespace tarvik
