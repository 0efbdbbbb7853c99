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

// An algorithm provider of CNG, closed when its owner goes; handle is null
// when it could not be opened.
class algorithm_provider {
public:
    explicit algorithm_provider(LPCWSTR name)
    {
        if (!succeeded(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0)))
            handle = nullptr;
    }
    algorithm_provider(const algorithm_provider&) = delete;
    algorithm_provider& operator=(const algorithm_provider&) = delete;
    ~algorithm_provider()
    {
        if (handle)
            BCryptCloseAlgorithmProvider(handle, 0);
    }

    BCRYPT_ALG_HANDLE handle = nullptr;
};

// A hash or key object of CNG, destroyed by its own call when its owner goes.
template <NTSTATUS(WINAPI* destroy)(BCRYPT_HANDLE)>
class cng_object {
public:
    cng_object() = default;
    cng_object(const cng_object&) = delete;
    cng_object& operator=(const cng_object&) = delete;
    ~cng_object()
    {
        if (handle)
            destroy(handle);
    }

    BCRYPT_HANDLE handle = nullptr;
};

// The hash calls of Windows 7 onwards (BCryptHash in one call needs Windows 10).
bool hash_pieces(BCRYPT_ALG_HANDLE algorithm, std::initializer_list<BytePiece> pieces,
                 Sha256Digest& digest)
{
    cng_object<BCryptDestroyHash> hash;
    if (!succeeded(BCryptCreateHash(algorithm, &hash.handle, nullptr, 0, nullptr, 0, 0)))
        return false;
    bool hashed = true;
    for (const BytePiece& piece : pieces) {
        const unsigned char* bytes = static_cast<const unsigned char*>(piece.data);
        for (std::size_t done = 0; hashed && done < piece.size;) {
            std::size_t part = std::min(piece.size - done, largest_part);
            hashed = succeeded(BCryptHashData(hash.handle, const_cast<PUCHAR>(bytes + done),
                                              static_cast<ULONG>(part), 0));
            done += part;
        }
    }
    return hashed &&
           succeeded(BCryptFinishHash(hash.handle, digest.data(), static_cast<ULONG>(digest.size()), 0));
}

bool verify_with(BCRYPT_ALG_HANDLE algorithm, const PublicKeyPoint& key, const Sha256Digest& digest,
                 const RawSignature& signature)
{
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + sizeof(PublicKeyPoint)];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), key.data(), key.size());
    cng_object<BCryptDestroyKey> key_object;
    if (!succeeded(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key_object.handle,
                                       blob, sizeof(blob), 0)))
        return false;
    Sha256Digest hashed = digest;
    RawSignature signed_value = signature;
    return BCryptVerifySignature(key_object.handle, nullptr, hashed.data(),
                                 static_cast<ULONG>(hashed.size()), signed_value.data(),
                                 static_cast<ULONG>(signed_value.size()), 0) == 0;
}

}  // namespace

bool sha256(std::initializer_list<BytePiece> pieces, Sha256Digest& digest)
{
    algorithm_provider algorithm(BCRYPT_SHA256_ALGORITHM);
    return algorithm.handle && hash_pieces(algorithm.handle, pieces, digest);
}

bool has_sha256(const void* data, std::size_t size, const std::string& hash)
{
    Sha256Digest digest;
    return sha256({{data, size}}, digest) && hex_text(digest.data(), digest.size()) == hash;
}

bool is_valid_signature(const PublicKeyPoint& key, const Sha256Digest& digest,
                        const RawSignature& signature)
{
    algorithm_provider algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
    return algorithm.handle && verify_with(algorithm.handle, key, digest, signature);
}
