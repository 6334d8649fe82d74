// The streaming SHA hash of hashFile and the verified downloads: the
// operating system's crypto library where it has the algorithm (see
// platform/Digest.h), Qt's own code otherwise. Same digests either way.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QCryptographicHash>

#include <memory>

namespace tarvik {

namespace platform {
class Digest;
}

// One running hash, owned by its user and used by one thread at a time.
class StreamHash
{
public:
    explicit StreamHash(QCryptographicHash::Algorithm algorithm);
    ~StreamHash();
    StreamHash(const StreamHash&) = delete;
    StreamHash& operator=(const StreamHash&) = delete;

    void addData(QByteArrayView bytes);
    // The digest in lower-case hexadecimal; empty when the system's library
    // failed, which no expected digest equals. Call it once.
    QByteArray hexResult();
    // Whether the system's library computes this hash.
    bool usesSystemCrypto() const { return m_system != nullptr; }

private:
    std::unique_ptr<platform::Digest> m_system;
    std::unique_ptr<QCryptographicHash> m_qt;
    bool m_failed = false;
};

namespace detail {
// Whether new hashes may use the system's library (on by default); off makes
// every hash use Qt's code. For tests and benchmarks.
void setSystemCrypto(bool enabled);
} // namespace detail

} // namespace tarvik
