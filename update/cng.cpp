#include "update/cng.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr ULONG kP256CoordinateBytes = 32;

UniqueCngAlgorithm OpenAlgorithm(const wchar_t* name)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0)))
        return UniqueCngAlgorithm();
    return UniqueCngAlgorithm(algorithm);
}

UniqueCngHash CreateHash(BCRYPT_ALG_HANDLE algorithm)
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    // With no buffer given the system keeps the hash object itself (Windows 7 and later).
    if (algorithm == nullptr || !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return UniqueCngHash();
    return UniqueCngHash(hash);
}

}

Sha256Hasher::Sha256Hasher()
    : algorithm_(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM)), hash_(CreateHash(algorithm_.get()))
{
}

void Sha256Hasher::Add(const void* data, std::size_t size)
{
    // The system takes a 32-bit length; larger buffers go in pieces.
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (size > 0 && !failed_) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        failed_ = !hash_ || !BCRYPT_SUCCESS(BCryptHashData(hash_.get(), bytes, piece, 0));
        bytes += piece;
        size -= piece;
    }
}

vorn::Result<Sha256Digest> Sha256Hasher::Finish()
{
    Sha256Digest digest{};
    const bool finished =
        !failed_ && hash_ &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
    // A hash that failed part way is dropped with what it held, so the next digest starts from nothing.
    hash_ = CreateHash(algorithm_.get());
    failed_ = false;
    if (!finished)
        return vorn::Failure{kSha256FailedMessage};
    return digest;
}

vorn::Result<Sha256Digest> Sha256Of(std::string_view bytes)
{
    Sha256Hasher hasher;
    hasher.Add(bytes.data(), bytes.size());
    return hasher.Finish();
}

bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& publicKey, std::string_view message,
                           const EcdsaP256Signature& signature)
{
    if (publicKey[0] != 0x04)
        return false;
    const vorn::Result<Sha256Digest> hashed = Sha256Of(message);
    if (!hashed)
        return false;
    Sha256Digest digest = *hashed;
    const UniqueCngAlgorithm algorithm = OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    if (!algorithm)
        return false;

    // The blob the system imports: a header, then X and Y as in the point, without its leading 0x04.
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kP256CoordinateBytes);
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kP256CoordinateBytes};
    std::memcpy(blob.data(), &header, sizeof(header));
    std::memcpy(blob.data() + sizeof(header), publicKey.data() + 1, 2 * kP256CoordinateBytes);
    BCRYPT_KEY_HANDLE imported = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &imported, blob.data(),
                                            static_cast<ULONG>(blob.size()), 0)))
        return false;
    const UniqueCngKey key(imported);
    EcdsaP256Signature copy = signature;
    return BCRYPT_SUCCESS(BCryptVerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                                copy.data(), static_cast<ULONG>(copy.size()), 0));
}
