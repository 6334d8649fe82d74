// Verification of the operator's detached signatures: ECDSA over the P-256
// curve with SHA-256, through the operating system's crypto library (OpenSSL's
// EVP interface on POSIX, CNG on Windows), like the digests of Digest.h.
// The formats are the ones the openssl command line writes, so that an
// operator signs with standard tools: the public key is a DER
// SubjectPublicKeyInfo (`openssl pkey -pubout -outform DER`), the signature
// the DER ECDSA-Sig-Value of `openssl dgst -sha256 -sign KEY.pem`. Qt-free;
// safe on any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tarvik::platform {

// A DER ECDSA P-256 signature is at most 72 bytes.
inline constexpr std::size_t kMaxEcdsaP256Signature = 72;

// True only when `publicKey` is a P-256 public key and `signature` a
// well-formed (strict DER) signature of exactly `size` bytes at `data` made
// with its private key. False for everything else, a system without the
// crypto library included: the caller then refuses what was signed.
bool verifyEcdsaP256Sha256(const std::string& publicKey, const void* data, std::size_t size,
                           const std::string& signature);

} // namespace tarvik::platform
