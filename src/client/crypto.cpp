#include "crypto.h"

#include <algorithm>

namespace keyring_client {
namespace {

// RFC 2409, section 6.2: the second Oakley group, with generator 2.
constexpr const char *kPrime =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A0879"
    "8E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B"
    "0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";
constexpr unsigned kGenerator = 2;
constexpr size_t kHashBytes = 32;

struct MpiRelease {
    void operator()(gcry_mpi_t value) const { gcry_mpi_release(value); }
};
// A number; one made with gcry_mpi_snew lives in secure memory.
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiRelease>;

Mpi read_number(std::span<const uint8_t> bytes, bool secret) {
    gcry_mpi_t value = nullptr;
    if (gcry_mpi_scan(&value, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr) != 0)
        return nullptr;
    if (secret)
        gcry_mpi_set_flag(value, GCRYMPI_FLAG_SECURE);
    return Mpi(value);
}

// Below 2^1023, so below the prime; at least 2, so not trivial.
Mpi random_exponent() {
    Mpi exponent(gcry_mpi_snew(kDhBytes * 8));
    do {
        gcry_mpi_randomize(exponent.get(), kDhBytes * 8, GCRY_STRONG_RANDOM);
        gcry_mpi_clear_highbit(exponent.get(), kDhBytes * 8 - 1);
    } while (gcry_mpi_cmp_ui(exponent.get(), 2) < 0);
    return exponent;
}

// Big-endian at the group's full length: a number with leading zero bytes
// keeps them, as both sides must hash the same bytes.
bool write_number(gcry_mpi_t value, std::span<uint8_t, kDhBytes> out) {
    size_t size = (gcry_mpi_get_nbits(value) + 7) / 8;
    if (size > out.size())
        return false;
    std::ranges::fill(out, 0);
    size_t written = 0;
    return size == 0 || (gcry_mpi_print(GCRYMPI_FMT_USG, out.data() + (out.size() - size), size,
                                        &written, value) == 0 &&
                         written == size);
}

bool hmac_sha256(std::span<const uint8_t> key, std::span<const uint8_t> first,
                 std::span<const uint8_t> second, std::span<uint8_t, kHashBytes> out) {
    gcry_mac_hd_t mac = nullptr;
    if (gcry_mac_open(&mac, GCRY_MAC_HMAC_SHA256, GCRY_MAC_FLAG_SECURE, nullptr) != 0)
        return false;
    size_t size = out.size();
    bool ok = gcry_mac_setkey(mac, key.data(), key.size()) == 0 &&
              gcry_mac_write(mac, first.data(), first.size()) == 0 &&
              gcry_mac_write(mac, second.data(), second.size()) == 0 &&
              gcry_mac_read(mac, out.data(), &size) == 0 && size == out.size();
    gcry_mac_close(mac);
    return ok;
}

} // namespace

bool crypto_ready() {
    static const bool ready = [] {
        if (gcry_check_version("1.8.0") == nullptr)
            return false;
        // Set up by another part of the process: as that part chose.
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) != 0)
            return true;
        // A pool of memory kept out of swap for keys; libgcrypt's warning
        // when that is not allowed would end up among our messages.
        gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
        gcry_control(GCRYCTL_INIT_SECMEM, 32768, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

bool hkdf_sha256(std::span<const uint8_t> key_material, std::span<const uint8_t> salt,
                 std::span<const uint8_t> info, std::span<uint8_t> out) {
    if (!crypto_ready() || out.size() > 255 * kHashBytes)
        return false;
    const std::array<uint8_t, kHashBytes> no_salt{};
    SecureArray<kHashBytes> prk;
    SecureArray<kHashBytes> block;
    if (!prk.ok() || !block.ok() ||
        !hmac_sha256(salt.empty() ? std::span<const uint8_t>(no_salt) : salt, key_material, {},
                     prk.span()))
        return false;
    // T(i) = HMAC(PRK, T(i-1) | info | i), the first one without T(0).
    Bytes input;
    for (size_t done = 0, round = 1; done < out.size(); round++) {
        input.assign(info.begin(), info.end());
        input.push_back(static_cast<uint8_t>(round));
        std::span<const uint8_t> previous = round == 1 ? std::span<const uint8_t>() : block.span();
        if (!hmac_sha256(prk.span(), previous, input, block.span()))
            return false;
        size_t take = std::min(kHashBytes, out.size() - done);
        std::copy_n(block.span().begin(), take, out.begin() + static_cast<ptrdiff_t>(done));
        done += take;
    }
    return true;
}

Bytes pkcs7_pad(std::string_view text) {
    size_t pad = kBlockBytes - text.size() % kBlockBytes;
    Bytes padded(text.size() + pad, static_cast<uint8_t>(pad));
    std::ranges::copy(text, padded.begin());
    return padded;
}

bool encrypt_cbc(const SessionKey &key, std::span<const uint8_t, kBlockBytes> iv,
                 std::string_view text, std::vector<uint8_t> &ciphertext) {
    if (!crypto_ready() || !key.ok())
        return false;
    Bytes padded = pkcs7_pad(text);
    gcry_cipher_hd_t cipher = nullptr;
    if (gcry_cipher_open(&cipher, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, GCRY_CIPHER_SECURE) !=
        0)
        return false;
    ciphertext.resize(padded.size());
    bool ok = gcry_cipher_setkey(cipher, key.span().data(), key.span().size()) == 0 &&
              gcry_cipher_setiv(cipher, iv.data(), iv.size()) == 0 &&
              gcry_cipher_encrypt(cipher, ciphertext.data(), ciphertext.size(), padded.data(),
                                  padded.size()) == 0;
    gcry_cipher_close(cipher);
    return ok;
}

DhKeyPair::DhKeyPair(std::span<const uint8_t> private_exponent) {
    if (!crypto_ready() || gcry_mpi_scan(&prime_, GCRYMPI_FMT_HEX, kPrime, 0, nullptr) != 0)
        return;
    Mpi exponent =
        private_exponent.empty() ? random_exponent() : read_number(private_exponent, true);
    if (exponent == nullptr || gcry_mpi_cmp_ui(exponent.get(), 0) == 0 ||
        gcry_mpi_cmp(exponent.get(), prime_) >= 0)
        return;
    private_ = exponent.release();
    public_ = gcry_mpi_new(kDhBytes * 8);
    Mpi generator(gcry_mpi_set_ui(nullptr, kGenerator));
    gcry_mpi_powm(public_, generator.get(), private_, prime_);
}

DhKeyPair::~DhKeyPair() {
    gcry_mpi_release(public_);
    gcry_mpi_release(private_); // secure memory: wiped as it goes
    gcry_mpi_release(prime_);
}

PublicValue DhKeyPair::public_value() const {
    PublicValue value{};
    if (public_ != nullptr)
        write_number(public_, value);
    return value;
}

bool DhKeyPair::derive_key(std::span<const uint8_t> peer, std::span<uint8_t, kKeyBytes> key) const {
    // The value is an unsigned number of any length: leading zeros add nothing.
    while (!peer.empty() && peer.front() == 0)
        peer = peer.subspan(1);
    if (!ok() || peer.size() > kDhBytes)
        return false;
    Mpi theirs = read_number(peer, false);
    Mpi highest(gcry_mpi_new(0));
    gcry_mpi_sub_ui(highest.get(), prime_, 3);
    // 0, 1 and p - 1 make a shared secret anybody can guess; 2 and p - 2
    // make it our own public value or its negative, which anybody sees.
    if (theirs == nullptr || gcry_mpi_cmp_ui(theirs.get(), 3) < 0 ||
        gcry_mpi_cmp(theirs.get(), highest.get()) > 0)
        return false;
    Mpi shared(gcry_mpi_snew(kDhBytes * 8));
    gcry_mpi_powm(shared.get(), theirs.get(), private_, prime_);
    SecureArray<kDhBytes> secret;
    return secret.ok() && write_number(shared.get(), secret.span()) &&
           hkdf_sha256(secret.span(), {}, {}, key);
}

} // namespace keyring_client
