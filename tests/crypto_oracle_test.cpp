// Comparison of SHA-1, HMAC-SHA1 and base64 with an independent
// implementation (OpenSSL) over seeded random inputs.
#include "common/setting_codec.h"
#include "common/sha1.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <vector>

namespace {

typedef std::vector<UCHAR> Bytes;

const int Iterations = 3000;

Bytes RandomBytes(std::mt19937& random, size_t length) {
    Bytes bytes(length);
    for (UCHAR& b : bytes) {
        b = (UCHAR)random();
    }
    return bytes;
}

size_t Uniform(std::mt19937& random, size_t low, size_t high) {
    return std::uniform_int_distribution<size_t>(low, high)(random);
}

// Random messages, mostly within a few blocks, offered in random pieces.
TEST(CryptoOracle, Sha1InRandomPieces) {
    std::mt19937 random(1802);
    for (int iteration = 0; iteration < Iterations; iteration++) {
        const Bytes message = RandomBytes(random, Uniform(random, 0, iteration % 10 ? 300 : 5000));

        UCHAR expected[EVP_MAX_MD_SIZE];
        unsigned int expectedLength = 0;
        ASSERT_EQ(1, EVP_Digest(message.data(), message.size(), expected, &expectedLength,
                                EVP_sha1(), nullptr));
        ASSERT_EQ((unsigned)SHA1_DIGEST_SIZE, expectedLength);

        SHA1_CONTEXT context;
        UCHAR digest[SHA1_DIGEST_SIZE];
        Sha1Reset(&context);
        size_t offset = 0;
        while (offset < message.size()) {
            const size_t piece = Uniform(random, 0, message.size() - offset);
            ASSERT_EQ(SHA1_SUCCESS, Sha1Input(&context, message.data() + offset, (ULONG)piece));
            offset += piece;
        }
        ASSERT_EQ(SHA1_SUCCESS, Sha1Result(&context, digest));
        ASSERT_EQ(Bytes(expected, expected + SHA1_DIGEST_SIZE),
                  Bytes(digest, digest + SHA1_DIGEST_SIZE))
            << "message of " << message.size() << " bytes, iteration " << iteration;
    }
}

// Keys on both sides of a block (0-100 bytes) and random messages.
TEST(CryptoOracle, HmacSha1RandomKeysAndMessages) {
    std::mt19937 random(2104);
    for (int iteration = 0; iteration < Iterations; iteration++) {
        const Bytes key = RandomBytes(random, Uniform(random, 0, 100));
        const Bytes message = RandomBytes(random, Uniform(random, 0, 300));
        // OpenSSL wants a key pointer even for an empty key.
        const UCHAR none = 0;

        UCHAR expected[EVP_MAX_MD_SIZE];
        unsigned int expectedLength = 0;
        ASSERT_NE(nullptr, HMAC(EVP_sha1(), key.empty() ? &none : key.data(), (int)key.size(),
                                message.data(), message.size(), expected, &expectedLength));
        ASSERT_EQ((unsigned)SHA1_DIGEST_SIZE, expectedLength);

        UCHAR mac[SHA1_DIGEST_SIZE];
        HmacSha1(key.data(), (LONG)key.size(), message.data(), (LONG)message.size(), mac,
                 SHA1_DIGEST_SIZE);
        ASSERT_EQ(Bytes(expected, expected + SHA1_DIGEST_SIZE), Bytes(mac, mac + SHA1_DIGEST_SIZE))
            << "key of " << key.size() << " bytes, message of " << message.size() << " bytes";
    }
}

// Base64 text of 0-64 random bytes matches, and decodes back to the bytes.
TEST(CryptoOracle, Base64RandomData) {
    std::mt19937 random(4648);
    for (int iteration = 0; iteration < Iterations; iteration++) {
        const Bytes data = RandomBytes(random, Uniform(random, 0, 64));

        Bytes expected(((data.size() + 2) / 3) * 4 + 1);
        const int expectedLength = EVP_EncodeBlock(expected.data(), data.data(), (int)data.size());
        expected.resize((size_t)expectedLength);

        Bytes text(expected.size() + 4);
        ULONG size = (ULONG)data.size();
        Base64Encode(data.data(), text.data(), &size);
        text.resize(size);
        ASSERT_EQ(expected, text) << "data of " << data.size() << " bytes";

        Bytes decoded(data.size() + 4);
        size = (ULONG)text.size();
        ASSERT_EQ(STATUS_SUCCESS, Base64Decode(text.data(), decoded.data(), &size));
        decoded.resize(size);
        ASSERT_EQ(data, decoded);
    }
}

} // namespace
