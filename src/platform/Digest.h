// Message digests of the operating system's crypto library: OpenSSL's EVP
// interface on POSIX, CNG (BCrypt) on Windows. Qt-free, so that the Windows
// part builds with MinGW-w64 alone; the file layer falls back to Qt's own
// hash where create() returns null.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace tarvik::platform {

enum class DigestAlgorithm { Sha1, Sha256, Sha512 };

// One running digest. Owned by its creator and used by one thread at a time;
// creating digests on several threads at once is safe.
class Digest
{
public:
    // Null when the system's library cannot compute the algorithm here.
    static std::unique_ptr<Digest> create(DigestAlgorithm algorithm);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // Adds bytes; false when the library failed (the digest is then void).
    bool add(const void* data, std::size_t size);
    // The raw digest (20, 32 or 64 bytes), empty on failure. Ends the digest:
    // call it once.
    std::string finish();

    struct State;

private:
    explicit Digest(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace tarvik::platform
