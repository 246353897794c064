// The session's cryptography against published vectors and values
// computed elsewhere: a wrong byte anywhere means the daemon could not
// read the password, or could read a wrong one.
#include "crypto.h"
#include "freed_memory.h"
#include "group_prime.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace keyring_client;

std::vector<uint8_t> from_hex(std::string_view hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(
            static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::string to_hex(std::span<const uint8_t> bytes) {
    std::string hex;
    for (uint8_t byte : bytes) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::vector<uint8_t> range(int first, int end) {
    std::vector<uint8_t> bytes;
    for (int byte = first; byte < end; byte++)
        bytes.push_back(static_cast<uint8_t>(byte));
    return bytes;
}

// RFC 5869, appendix A, the three SHA-256 cases; the third is the one the
// session uses: no salt, no info.
TEST(Crypto, HkdfMatchesRfc5869) {
    std::vector<uint8_t> out(42);
    ASSERT_TRUE(hkdf_sha256(std::vector<uint8_t>(22, 0x0b), range(0, 13), range(0xf0, 0xfa), out));
    EXPECT_EQ(to_hex(out), "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf3400"
                           "7208d5b887185865");
    out.resize(82);
    ASSERT_TRUE(hkdf_sha256(range(0, 0x50), range(0x60, 0xb0), range(0xb0, 0x100), out));
    EXPECT_EQ(to_hex(out), "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c5904"
                           "5a99cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c581"
                           "79ec3e87c14c01d5c1f3434f1d87");
    out.resize(42);
    ASSERT_TRUE(hkdf_sha256(std::vector<uint8_t>(22, 0x0b), {}, {}, out));
    EXPECT_EQ(to_hex(out), "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d20"
                           "1395faa4b61a96c8");
}

TEST(Crypto, PaddingAlwaysAddsOneToSixteenBytes) {
    EXPECT_EQ(to_hex(pkcs7_pad("")), "10101010101010101010101010101010");
    EXPECT_EQ(to_hex(pkcs7_pad("0123456789abcde")), "30313233343536373839616263646501");
    auto full = pkcs7_pad("0123456789abcdef");
    ASSERT_EQ(full.size(), 32U);
    EXPECT_EQ(to_hex(std::span(full).subspan(16)), "10101010101010101010101010101010");
    EXPECT_EQ(pkcs7_pad(std::string(17, 'x')).size(), 32U);
}

// NIST SP 800-38A, F.2.1: the first block of CBC-AES128; the padding block
// follows it.
TEST(Crypto, CbcMatchesNistVector) {
    SessionKey key;
    auto key_bytes = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
    std::copy(key_bytes.begin(), key_bytes.end(), key.span().begin());
    std::array<uint8_t, kBlockBytes> iv{};
    for (size_t i = 0; i < iv.size(); i++)
        iv[i] = static_cast<uint8_t>(i);
    auto plain = from_hex("6bc1bee22e409f96e93d7e117393172a");
    std::vector<uint8_t> cipher;
    ASSERT_TRUE(encrypt_cbc(key, iv, std::string(plain.begin(), plain.end()), cipher));
    ASSERT_EQ(cipher.size(), 32U);
    EXPECT_EQ(to_hex(std::span(cipher).first(16)), "7649abac8119b246cee98e9b12e9197d");
}

// With private exponent 1 and a peer value of 3, the shared secret is 3:
// one byte of value, 127 leading zeros that must be hashed too (HKDF of
// the 128 bytes, worked out independently).
TEST(Crypto, SharedSecretKeepsItsLeadingZeros) {
    DhKeyPair keys(std::vector<uint8_t>{1});
    ASSERT_TRUE(keys.ok());
    PublicValue expected{};
    expected[127] = 2;
    EXPECT_EQ(keys.public_value(), expected);
    SessionKey key;
    ASSERT_TRUE(keys.derive_key(std::vector<uint8_t>{3}, key.span()));
    EXPECT_EQ(to_hex(key.span()), "4ef3e644a4c232ab12248a367b3aefed");
}

// 0, 1 and p - 1 give a shared secret anybody can guess; 2 and p - 2 one
// that is our public value or its negative. Leading zeros are no value.
TEST(Crypto, PeerValuesAnyoneCouldGuessAreRefused) {
    DhKeyPair keys;
    ASSERT_TRUE(keys.ok());
    SessionKey key;
    auto prime = from_hex(kGroupPrimeHex);
    ASSERT_EQ(prime.size(), kDhBytes);
    auto minus = [&](uint8_t n) {
        PublicValue value{};
        std::copy(prime.begin(), prime.end(), value.begin());
        value[kDhBytes - 1] = static_cast<uint8_t>(value[kDhBytes - 1] - n);
        return std::vector<uint8_t>(value.begin(), value.end());
    };
    auto with_zeros = [](size_t zeros, uint8_t last) {
        std::vector<uint8_t> value(zeros + 1, 0);
        value[zeros] = last;
        return value;
    };
    for (const auto &peer :
         {std::vector<uint8_t>{}, with_zeros(1, 0), with_zeros(0, 1), with_zeros(200, 2), minus(2),
          minus(1), prime, std::vector<uint8_t>(129, 1)})
        EXPECT_FALSE(keys.derive_key(peer, key.span())) << to_hex(peer).substr(0, 8);
    for (const auto &peer : {with_zeros(0, 3), minus(3), with_zeros(200, 3)})
        EXPECT_TRUE(keys.derive_key(peer, key.span())) << to_hex(peer).substr(0, 8);
}

// libgcrypt as another part of the process set it up: with or without
// secure memory, which decides whether libgcrypt wipes keys itself.
// Runs in a child; its exit status says what went wrong.
int use_libgcrypt_set_up_elsewhere(bool secure_memory) {
    gcry_check_version(nullptr);
    if (secure_memory)
        gcry_control(GCRYCTL_INIT_SECMEM, 16384, 0);
    else
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    int said[2];
    if (pipe2(said, O_NONBLOCK) != 0 || dup2(said[1], STDERR_FILENO) < 0)
        return 10;
    if (!crypto_ready())
        return 1;
    constexpr std::string_view kKey = "Zq8#marker-key!x";
    watch_freed_memory(kKey);
    {
        SessionKey key;
        std::copy(kKey.begin(), kKey.end(), key.span().begin());
    }
    if (freed_blocks_holding_secret() != 0)
        return 2;
    char byte = 0;
    return read(said[0], &byte, 1) == 1 ? 3 : 0;
}

TEST(Crypto, LibgcryptSetUpElsewhereStaysAsItWas) {
    if (!can_watch_freed_memory())
        GTEST_SKIP() << "the allocator is the sanitizer's";
    const char *const failures[] = {"", "not usable", "a key was released unwiped",
                                    "libgcrypt complained"};
    for (bool secure_memory : {true, false}) {
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0)
            _exit(use_libgcrypt_set_up_elsewhere(secure_memory));
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        int failed = WEXITSTATUS(status);
        EXPECT_EQ(failed, 0) << (failed < 4 ? failures[failed] : "could not set up")
                             << (secure_memory ? " with" : " without") << " secure memory";
    }
}

TEST(Crypto, EverySessionHasItsOwnPrivateExponent) {
    DhKeyPair first;
    DhKeyPair second;
    EXPECT_NE(first.public_value(), second.public_value());
}

} // namespace
