// The cryptography of the Secret Service's encrypted session
// (dh-ietf1024-sha256-aes128-cbc-pkcs7), on libgcrypt's primitives:
// Diffie-Hellman in the 1024-bit MODP group of RFC 2409, HKDF-SHA256 of
// RFC 5869, and AES-128-CBC with PKCS#7 padding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <gcrypt.h>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace keyring_client {

// Memory that is wiped before it is given back.
template <typename T> struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U> explicit WipingAllocator(const WipingAllocator<U> & /*other*/) {}
    T *allocate(size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T *bytes, size_t count) {
        explicit_bzero(bytes, count * sizeof(T));
        std::allocator<T>().deallocate(bytes, count);
    }
    bool operator==(const WipingAllocator & /*other*/) const { return true; }
};
using Bytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// A fixed-size secret in libgcrypt's secure memory, wiped when released:
// by us, since libgcrypt wipes only its secure pool, and gives plain memory
// when secure memory is turned off.
template <size_t Size> class SecureArray {
public:
    SecureArray() : bytes_(static_cast<uint8_t *>(gcry_calloc_secure(1, Size))) {}
    ~SecureArray() {
        if (bytes_ != nullptr)
            explicit_bzero(bytes_, Size);
        gcry_free(bytes_);
    }
    SecureArray(const SecureArray &) = delete;
    SecureArray &operator=(const SecureArray &) = delete;
    bool ok() const { return bytes_ != nullptr; }
    std::span<uint8_t, Size> span() { return std::span<uint8_t, Size>(bytes_, Size); }
    std::span<const uint8_t, Size> span() const {
        return std::span<const uint8_t, Size>(bytes_, Size);
    }

private:
    uint8_t *bytes_;
};

inline constexpr size_t kDhBytes = 128; // the group's size: values travel at this length
inline constexpr size_t kKeyBytes = 16; // AES-128
inline constexpr size_t kBlockBytes = 16;
using SessionKey = SecureArray<kKeyBytes>;
using PublicValue = std::array<uint8_t, kDhBytes>;

// Initialises libgcrypt once, unless another part of the process already
// did; false when it cannot be used.
bool crypto_ready();

// RFC 5869 with SHA-256; an empty salt stands for one of 32 zero bytes.
bool hkdf_sha256(std::span<const uint8_t> key_material, std::span<const uint8_t> salt,
                 std::span<const uint8_t> info, std::span<uint8_t> out);

// Pads to a whole number of blocks: n bytes of value n, a whole block of
// them when the text fills its last block.
Bytes pkcs7_pad(std::string_view text);

// AES-128-CBC of the padded text, with the IV given.
bool encrypt_cbc(const SessionKey &key, std::span<const uint8_t, kBlockBytes> iv,
                 std::string_view text, std::vector<uint8_t> &ciphertext);

// Our side of the exchange: a private exponent (from the strong random
// source unless one is given, as tests do) and its public value.
class DhKeyPair {
public:
    explicit DhKeyPair(std::span<const uint8_t> private_exponent = {});
    ~DhKeyPair();
    DhKeyPair(const DhKeyPair &) = delete;
    DhKeyPair &operator=(const DhKeyPair &) = delete;

    bool ok() const { return public_ != nullptr; }
    // Big-endian, zero-padded to the group's length.
    PublicValue public_value() const;
    // The session key from the peer's public value: HKDF-SHA256, with no
    // salt and no info, of the shared secret at the group's full length.
    // False for a peer value outside [3, p - 3].
    bool derive_key(std::span<const uint8_t> peer, std::span<uint8_t, kKeyBytes> key) const;

private:
    gcry_mpi_t prime_ = nullptr;
    gcry_mpi_t private_ = nullptr;
    gcry_mpi_t public_ = nullptr;
};

} // namespace keyring_client
