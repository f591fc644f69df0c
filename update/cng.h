#pragma once

// SHA-256 and ECDSA P-256 signature checks through the system's cryptography (CNG). Nothing here computes a digest
// or a curve point itself: the layer owns the handles and moves bytes in and out.

#include "base/unique_resource.h"
#include "update/result.h"

#include <windows.h>

#include <bcrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct CngAlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngHashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { BCryptDestroyHash(h); }
};

struct CngKeyTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { BCryptDestroyKey(h); }
};

using UniqueCngAlgorithm = UniqueResource<CngAlgorithmTraits>;
using UniqueCngHash = UniqueResource<CngHashTraits>;
using UniqueCngKey = UniqueResource<CngKeyTraits>;

using Sha256Digest = std::array<std::uint8_t, 32>;
using EcdsaP256PublicKey = std::array<std::uint8_t, 65>;  // the uncompressed point: 0x04, X, Y
using EcdsaP256Signature = std::array<std::uint8_t, 64>;  // r, s, 32 bytes each, most significant first

// The message when the system cannot hash.
inline constexpr wchar_t kSha256FailedMessage[] = L"系统无法计算 SHA-256 摘要，无法校验更新的签名。";

// SHA-256 over data given in pieces; one provider serves any number of digests.
class Sha256Hasher {
public:
    Sha256Hasher();
    void Add(const void* data, std::size_t size);
    // The digest of everything added since construction or the last Finish, or kSha256FailedMessage when the
    // system could not open its provider or hash a piece; the hasher then starts again.
    vorn::Result<Sha256Digest> Finish();

private:
    // Declared in the order they close: the hash before its provider.
    UniqueCngAlgorithm algorithm_;
    UniqueCngHash hash_;
    bool failed_ = false;  // a piece since the last Finish could not be hashed
};

vorn::Result<Sha256Digest> Sha256Of(std::string_view bytes);

// Whether `signature` is a valid ECDSA P-256 signature over the SHA-256 of `message` under `publicKey`. False also
// for a key that is no point of the curve and whenever the system cannot check: a signature counts only when
// the system confirms it.
bool VerifyEcdsaP256Sha256(const EcdsaP256PublicKey& publicKey, std::string_view message,
                           const EcdsaP256Signature& signature);
