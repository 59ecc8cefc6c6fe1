// Tests of SHA-1 and HMAC-SHA1 against published vectors.
#include "common/sha1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<UCHAR> Bytes;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string Hex(const UCHAR* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; i++) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0x0F];
    }
    return hex;
}

// Digest of a message offered in pieces of the given sizes (the rest last).
std::string Digest(const Bytes& message, const std::vector<size_t>& pieces = {}) {
    SHA1_CONTEXT context;
    UCHAR digest[SHA1_DIGEST_SIZE];
    EXPECT_EQ(SHA1_SUCCESS, Sha1Reset(&context));
    size_t offset = 0;
    for (size_t piece : pieces) {
        EXPECT_EQ(SHA1_SUCCESS, Sha1Input(&context, message.data() + offset, (ULONG)piece));
        offset += piece;
    }
    EXPECT_EQ(SHA1_SUCCESS,
              Sha1Input(&context, message.data() + offset, (ULONG)(message.size() - offset)));
    EXPECT_EQ(SHA1_SUCCESS, Sha1Result(&context, digest));
    return Hex(digest, sizeof(digest));
}

struct Sha1Vector {
    std::string Text;
    size_t Repeat;
    const char* Digest;
};

// FIPS 180-1 appendices A-C and the test driver of RFC 3174 section 7.3; the
// empty message completes the set.
const Sha1Vector Sha1Vectors[] = {
    {"", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"0123456701234567012345670123456701234567012345670123456701234567", 10,
     "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
};

TEST(Sha1, PublishedVectors) {
    for (const Sha1Vector& vector : Sha1Vectors) {
        SCOPED_TRACE(vector.Text.substr(0, 16) + " x " + std::to_string(vector.Repeat));
        // Offered in one piece, and as the repeated unit over and over.
        Bytes message;
        std::vector<size_t> pieces;
        for (size_t i = 0; i < vector.Repeat; i++) {
            message.insert(message.end(), vector.Text.begin(), vector.Text.end());
            pieces.push_back(vector.Text.size());
        }
        pieces.pop_back();
        EXPECT_EQ(vector.Digest, Digest(message));
        EXPECT_EQ(vector.Digest, Digest(message, pieces));
    }
}

// Splitting the input anywhere gives the same digest: every split point of
// messages whose lengths straddle the padding limits (55/56 bytes into a
// block) and the block boundary (64), for one and two splits.
TEST(Sha1, SplitInputGivesSameDigest) {
    for (size_t length : {55, 56, 57, 63, 64, 65, 119, 120, 128, 130}) {
        Bytes message(length);
        for (size_t i = 0; i < length; i++) {
            message[i] = (UCHAR)(i * 7 + length);
        }
        const std::string whole = Digest(message);
        for (size_t split = 0; split <= length; split++) {
            ASSERT_EQ(whole, Digest(message, {split})) << length << " split at " << split;
        }
        for (size_t first : {1, 55, 56, 63, 64}) {
            for (size_t second = 0; first + second <= length; second++) {
                ASSERT_EQ(whole, Digest(message, {first, second}))
                    << length << " split at " << first << " and " << first + second;
            }
        }
    }
}

// Once the digest is taken the context accepts no more input and stays
// stopped; an empty input is no input and changes nothing.
TEST(Sha1, InputAfterResultStopsContext) {
    const Bytes abc = Text("abc");
    SHA1_CONTEXT context;
    UCHAR digest[SHA1_DIGEST_SIZE];
    UCHAR again[SHA1_DIGEST_SIZE];
    Sha1Reset(&context);
    Sha1Input(&context, abc.data(), 3);
    ASSERT_EQ(SHA1_SUCCESS, Sha1Result(&context, digest));

    // A second result repeats the digest.
    ASSERT_EQ(SHA1_SUCCESS, Sha1Result(&context, again));
    EXPECT_EQ(Hex(digest, 20), Hex(again, 20));

    SHA1_CONTEXT before = context;
    EXPECT_EQ(SHA1_SUCCESS, Sha1Input(&context, abc.data(), 0));
    EXPECT_EQ(0, std::memcmp(&before, &context, sizeof(context)));

    EXPECT_EQ(SHA1_STATE_ERROR, Sha1Input(&context, abc.data(), 1));
    std::memset(again, 0xA5, sizeof(again));
    EXPECT_EQ(SHA1_STATE_ERROR, Sha1Result(&context, again));
    EXPECT_EQ(SHA1_STATE_ERROR, Sha1Input(&context, abc.data(), 1));
    EXPECT_EQ(Hex(Bytes(20, 0xA5).data(), 20), Hex(again, 20))
        << "a stopped context writes no digest";

    // A reset starts over.
    ASSERT_EQ(SHA1_SUCCESS, Sha1Reset(&context));
    EXPECT_EQ(SHA1_SUCCESS, Sha1Input(&context, abc.data(), 3));
    EXPECT_EQ(SHA1_SUCCESS, Sha1Result(&context, again));
    EXPECT_EQ(Hex(digest, 20), Hex(again, 20));
}

// Taking the digest leaves nothing of the message in the context.
TEST(Sha1, ResultClearsMessageFromContext) {
    const Bytes secret = Text("a secret of some length");
    SHA1_CONTEXT context;
    UCHAR digest[SHA1_DIGEST_SIZE];
    Sha1Reset(&context);
    Sha1Input(&context, secret.data(), (ULONG)secret.size());
    ASSERT_EQ(SHA1_SUCCESS, Sha1Result(&context, digest));
    EXPECT_EQ(Bytes(SHA1_BLOCK_SIZE, 0), Bytes(context.Block, context.Block + SHA1_BLOCK_SIZE));
    EXPECT_EQ(0u, context.BitCountLow);
    EXPECT_EQ(0u, context.BitCountHigh);
}

// A message longer than 2^64 - 1 bits stops the context; the digest is refused.
TEST(Sha1, LengthOverflowStopsContext) {
    SHA1_CONTEXT context;
    UCHAR digest[SHA1_DIGEST_SIZE];
    const UCHAR byte = 0x61;
    Sha1Reset(&context);
    context.BitCountHigh = 0xFFFFFFFF;
    context.BitCountLow = 0xFFFFFFF8;
    // The byte that overflows is still taken; the stop shows from then on.
    EXPECT_EQ(SHA1_SUCCESS, Sha1Input(&context, &byte, 1));
    EXPECT_EQ(SHA1_NULL, Sha1Input(&context, &byte, 1));
    EXPECT_EQ(SHA1_NULL, Sha1Result(&context, digest));
}

TEST(Sha1, NullPointers) {
    SHA1_CONTEXT context;
    UCHAR byte = 0;
    UCHAR digest[SHA1_DIGEST_SIZE];
    Sha1Reset(&context);
    EXPECT_EQ(SHA1_NULL, Sha1Reset(nullptr));
    EXPECT_EQ(SHA1_NULL, Sha1Input(nullptr, &byte, 1));
    EXPECT_EQ(SHA1_NULL, Sha1Input(&context, nullptr, 1));
    EXPECT_EQ(SHA1_NULL, Sha1Result(nullptr, digest));
    EXPECT_EQ(SHA1_NULL, Sha1Result(&context, nullptr));
    // An empty input is accepted whatever the pointers.
    EXPECT_EQ(SHA1_SUCCESS, Sha1Input(nullptr, nullptr, 0));
    // None of it disturbed the context.
    EXPECT_EQ(SHA1_SUCCESS, Sha1Result(&context, digest));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Hex(digest, 20));
}

std::string Hmac(const Bytes& key, const Bytes& message, LONG outputLength = 20) {
    UCHAR output[SHA1_DIGEST_SIZE];
    HmacSha1(key.data(), (LONG)key.size(), message.data(), (LONG)message.size(), output,
             outputLength);
    return Hex(output, (size_t)outputLength);
}

struct HmacVector {
    Bytes Key;
    Bytes Message;
    const char* Mac;
};

Bytes Repeated(UCHAR byte, size_t count) {
    return Bytes(count, byte);
}

Bytes Counting(UCHAR first, UCHAR last) {
    Bytes bytes;
    for (int b = first; b <= last; b++) {
        bytes.push_back((UCHAR)b);
    }
    return bytes;
}

// RFC 2202 section 3, test cases 1 to 7 (6 and 7 with a key longer than a block).
const HmacVector HmacVectors[] = {
    {Repeated(0x0B, 20), Text("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
    {Text("Jefe"), Text("what do ya want for nothing?"),
     "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {Repeated(0xAA, 20), Repeated(0xDD, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
    {Counting(0x01, 0x19), Repeated(0xCD, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
    {Repeated(0x0C, 20), Text("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    {Repeated(0xAA, 80), Text("Test Using Larger Than Block-Size Key - Hash Key First"),
     "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {Repeated(0xAA, 80),
     Text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
     "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
};

TEST(HmacSha1, Rfc2202Vectors) {
    int number = 1;
    for (const HmacVector& vector : HmacVectors) {
        SCOPED_TRACE("test case " + std::to_string(number++));
        EXPECT_EQ(vector.Mac, Hmac(vector.Key, vector.Message));
    }
    // Test case 5 also gives the MAC truncated to 96 bits.
    EXPECT_EQ("4c1a03424b55e07fe7f27be1",
              Hmac(Repeated(0x0C, 20), Text("Test With Truncation"), 12));
}

struct OutputLengthCase {
    LONG OutputLength;
    size_t Written;
};

// The output receives min(length, 20) bytes and nothing beyond them; a
// length of 0 or less writes nothing.
TEST(HmacSha1, WritesOnlyTheAskedPrefix) {
    const OutputLengthCase cases[] = {{20, 20}, {10, 10}, {1, 1}, {0, 0}, {-1, 0}, {32, 20}};
    const Bytes key = Text("Jefe");
    const Bytes message = Text("what do ya want for nothing?");
    const std::string mac = "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79";
    for (const OutputLengthCase& c : cases) {
        SCOPED_TRACE("output length " + std::to_string(c.OutputLength));
        Bytes output(40, 0xA5);
        HmacSha1(key.data(), (LONG)key.size(), message.data(), (LONG)message.size(), output.data(),
                 c.OutputLength);
        EXPECT_EQ(mac.substr(0, 2 * c.Written), Hex(output.data(), c.Written));
        EXPECT_EQ(Bytes(40 - c.Written, 0xA5), Bytes(output.begin() + c.Written, output.end()));
    }
}

// A short key is padded with zeros to a block, so zeros at its end do not
// change the MAC, up to a key of a full block.
TEST(HmacSha1, TrailingZeroKeyBytesDoNotChangeMac) {
    const Bytes message = Text("value and salt");
    for (size_t length : {0, 4, 10, 62}) {
        Bytes key(length);
        for (size_t i = 0; i < length; i++) {
            key[i] = (UCHAR)(0x31 + i);
        }
        Bytes padded = key;
        padded.push_back(0);
        padded.push_back(0);
        EXPECT_EQ(Hmac(key, message), Hmac(padded, message)) << "key of " << length;
    }
}

// A negative key or message length counts as empty, not as a huge count.
TEST(HmacSha1, NegativeLengthsCountAsEmpty) {
    const UCHAR data[4] = {1, 2, 3, 4};
    UCHAR output[SHA1_DIGEST_SIZE];
    HmacSha1(data, -1, data, -5, output, SHA1_DIGEST_SIZE);
    EXPECT_EQ(Hmac(Bytes(), Bytes()), Hex(output, SHA1_DIGEST_SIZE));
    EXPECT_EQ("fbdb1d1b18aa6c08324b7d64b71fb76370690e1d", Hex(output, SHA1_DIGEST_SIZE));
}

} // namespace
