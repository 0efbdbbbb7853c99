#include "update/platform_crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstring>

#include "support/hex.h"

namespace {

// Pieces larger than this are hashed in parts, as CNG counts in ULONG.
const std::size_t largest_part = 1u << 30;

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

// The hash calls of Windows 7 onwards (BCryptHash in one call needs Windows 10).
bool hash_pieces(BCRYPT_ALG_HANDLE algorithm, std::initializer_list<BytePiece> pieces,
                 Sha256Digest& digest)
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return false;
    bool hashed = true;
    for (const BytePiece& piece : pieces) {
        const unsigned char* bytes = static_cast<const unsigned char*>(piece.data);
        for (std::size_t done = 0; hashed && done < piece.size;) {
            std::size_t part = std::min(piece.size - done, largest_part);
            hashed = succeeded(BCryptHashData(hash, const_cast<PUCHAR>(bytes + done),
                                              static_cast<ULONG>(part), 0));
            done += part;
        }
    }
    hashed = hashed &&
             succeeded(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    BCryptDestroyHash(hash);
    return hashed;
}

bool verify_with(BCRYPT_ALG_HANDLE algorithm, const PublicKeyPoint& key, const Sha256Digest& digest,
                 const RawSignature& signature)
{
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + sizeof(PublicKeyPoint)];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), key.data(), key.size());
    BCRYPT_KEY_HANDLE key_handle = nullptr;
    if (!succeeded(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key_handle, blob,
                                       sizeof(blob), 0)))
        return false;
    Sha256Digest hashed = digest;
    RawSignature signed_value = signature;
    NTSTATUS status =
        BCryptVerifySignature(key_handle, nullptr, hashed.data(), static_cast<ULONG>(hashed.size()),
                              signed_value.data(), static_cast<ULONG>(signed_value.size()), 0);
    BCryptDestroyKey(key_handle);
    return status == 0;
}

}  // namespace

bool sha256(std::initializer_list<BytePiece> pieces, Sha256Digest& digest)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    bool hashed = hash_pieces(algorithm, pieces, digest);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hashed;
}

bool has_sha256(const void* data, std::size_t size, const std::string& hash)
{
    Sha256Digest digest;
    return sha256({{data, size}}, digest) && hex_text(digest.data(), digest.size()) == hash;
}

bool is_valid_signature(const PublicKeyPoint& key, const Sha256Digest& digest,
                        const RawSignature& signature)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    bool valid = verify_with(algorithm, key, digest, signature);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return valid;
}
