// SHA-1 and HMAC-SHA1.
#include "common/sha1.h"

// Initial hash value H0 to H4.
static const ULONG Sha1InitialHash[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                         0xC3D2E1F0};

// Round constants of rounds 0-19, 20-39, 40-59 and 60-79.
static const ULONG Sha1RoundConstant[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

// Where the bit count starts in the last block of a message.
static const LONG Sha1LengthOffset = SHA1_BLOCK_SIZE - 8;

#define HMAC_INNER_PAD 0x36
#define HMAC_OUTER_PAD 0x5C

static ULONG RotateLeft(ULONG Word, ULONG Bits) {
    return (Word << Bits) | (Word >> (32 - Bits));
}

// Stores a 32-bit word most significant byte first.
static void StoreBigEndian(UCHAR* Bytes, ULONG Word) {
    Bytes[0] = (UCHAR)(Word >> 24);
    Bytes[1] = (UCHAR)(Word >> 16);
    Bytes[2] = (UCHAR)(Word >> 8);
    Bytes[3] = (UCHAR)Word;
}

LONG Sha1Reset(SHA1_CONTEXT* Context) {
    if (Context == NULL) {
        return SHA1_NULL;
    }
    for (ULONG i = 0; i < 5; i++) {
        Context->Hash[i] = Sha1InitialHash[i];
    }
    Context->BitCountLow = 0;
    Context->BitCountHigh = 0;
    Context->BlockIndex = 0;
    Context->Computed = 0;
    Context->Corrupted = 0;
    return SHA1_SUCCESS;
}

LONG Sha1Input(SHA1_CONTEXT* Context, const UCHAR* Bytes, ULONG Length) {
    if (Length == 0) {
        return SHA1_SUCCESS;
    }
    if (Context == NULL || Bytes == NULL) {
        return SHA1_NULL;
    }
    if (Context->Computed) {
        Context->Corrupted = SHA1_STATE_ERROR;
        return SHA1_STATE_ERROR;
    }
    if (Context->Corrupted) {
        return Context->Corrupted;
    }

    for (ULONG i = 0; i < Length && Context->Corrupted == 0; i++) {
        Context->Block[Context->BlockIndex++] = Bytes[i];

        Context->BitCountLow = Context->BitCountLow + 8;
        if (Context->BitCountLow == 0) {
            Context->BitCountHigh = Context->BitCountHigh + 1;
            if (Context->BitCountHigh == 0) {
                // The message is longer than its 64-bit length can say.
                Context->Corrupted = SHA1_NULL;
            }
        }

        if (Context->BlockIndex == SHA1_BLOCK_SIZE) {
            Sha1ProcessBlock(Context);
        }
    }
    return SHA1_SUCCESS;
}

LONG Sha1Result(SHA1_CONTEXT* Context, UCHAR Digest[SHA1_DIGEST_SIZE]) {
    if (Context == NULL || Digest == NULL) {
        return SHA1_NULL;
    }
    if (Context->Corrupted) {
        return Context->Corrupted;
    }

    if (!Context->Computed) {
        Sha1PadMessage(Context);
        // The message is no longer needed: leave none of it in the context.
        for (ULONG i = 0; i < SHA1_BLOCK_SIZE; i++) {
            Context->Block[i] = 0;
        }
        Context->BitCountLow = 0;
        Context->BitCountHigh = 0;
        Context->Computed = 1;
    }

    for (ULONG i = 0; i < 5; i++) {
        StoreBigEndian(Digest + 4 * i, Context->Hash[i]);
    }
    return SHA1_SUCCESS;
}

void Sha1ProcessBlock(SHA1_CONTEXT* Context) {
    ULONG w[80];

    for (ULONG t = 0; t < 16; t++) {
        const UCHAR* bytes = Context->Block + 4 * t;
        w[t] = ((ULONG)bytes[0] << 24) | ((ULONG)bytes[1] << 16) | ((ULONG)bytes[2] << 8) |
               (ULONG)bytes[3];
    }
    for (ULONG t = 16; t < 80; t++) {
        w[t] = RotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    }

    ULONG a = Context->Hash[0];
    ULONG b = Context->Hash[1];
    ULONG c = Context->Hash[2];
    ULONG d = Context->Hash[3];
    ULONG e = Context->Hash[4];

    for (ULONG t = 0; t < 80; t++) {
        // Choice in rounds 0-19, majority in 40-59, parity in the others.
        ULONG f;
        if (t < 20) {
            f = (b & c) | (~b & d);
        } else if (t >= 40 && t < 60) {
            f = (b & c) | (b & d) | (c & d);
        } else {
            f = b ^ c ^ d;
        }
        const ULONG temp = RotateLeft(a, 5) + f + e + w[t] + Sha1RoundConstant[t / 20];
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = temp;
    }

    Context->Hash[0] += a;
    Context->Hash[1] += b;
    Context->Hash[2] += c;
    Context->Hash[3] += d;
    Context->Hash[4] += e;
    Context->BlockIndex = 0;
}

void Sha1PadMessage(SHA1_CONTEXT* Context) {
    // The message is followed by a single 1 bit, zeros, and its length in
    // bits; when the length does not fit behind the 1 bit, it goes into a
    // block of its own.
    const BOOLEAN needsExtraBlock = (Context->BlockIndex >= Sha1LengthOffset) ? TRUE : FALSE;
    Context->Block[Context->BlockIndex++] = 0x80;

    if (needsExtraBlock) {
        while (Context->BlockIndex < SHA1_BLOCK_SIZE) {
            Context->Block[Context->BlockIndex++] = 0;
        }
        Sha1ProcessBlock(Context);
    }
    while (Context->BlockIndex < Sha1LengthOffset) {
        Context->Block[Context->BlockIndex++] = 0;
    }

    StoreBigEndian(Context->Block + Sha1LengthOffset, Context->BitCountHigh);
    StoreBigEndian(Context->Block + Sha1LengthOffset + 4, Context->BitCountLow);
    Sha1ProcessBlock(Context);
}

void HmacSha1(const UCHAR* Key, LONG KeyLength, const UCHAR* Message, LONG MessageLength,
              UCHAR* Output, LONG OutputLength) {
    SHA1_CONTEXT context;
    UCHAR keyDigest[SHA1_DIGEST_SIZE] = {0};
    UCHAR pad[SHA1_BLOCK_SIZE];
    UCHAR digest[SHA1_DIGEST_SIZE] = {0};

    // Negative lengths are not something a caller means; they count as empty
    // rather than as huge unsigned counts.
    if (KeyLength < 0) {
        KeyLength = 0;
    }
    if (MessageLength < 0) {
        MessageLength = 0;
    }

    // A key longer than a block is used through its digest.
    if (KeyLength > SHA1_BLOCK_SIZE) {
        Sha1Reset(&context);
        Sha1Input(&context, Key, (ULONG)KeyLength);
        Sha1Result(&context, keyDigest);
        Key = keyDigest;
        KeyLength = SHA1_DIGEST_SIZE;
    }

    // Inner hash: H((K ^ ipad) || message).
    Sha1Reset(&context);
    for (LONG i = 0; i < SHA1_BLOCK_SIZE; i++) {
        pad[i] = (UCHAR)((i < KeyLength ? Key[i] : 0) ^ HMAC_INNER_PAD);
    }
    Sha1Input(&context, pad, SHA1_BLOCK_SIZE);
    Sha1Input(&context, Message, (ULONG)MessageLength);
    Sha1Result(&context, digest);

    // Outer hash: H((K ^ opad) || inner digest).
    Sha1Reset(&context);
    for (LONG i = 0; i < SHA1_BLOCK_SIZE; i++) {
        pad[i] = (UCHAR)((i < KeyLength ? Key[i] : 0) ^ HMAC_OUTER_PAD);
    }
    Sha1Input(&context, pad, SHA1_BLOCK_SIZE);
    Sha1Input(&context, digest, SHA1_DIGEST_SIZE);
    Sha1Result(&context, digest);

    const LONG count = OutputLength < SHA1_DIGEST_SIZE ? OutputLength : SHA1_DIGEST_SIZE;
    for (LONG i = 0; i < count; i++) {
        Output[i] = digest[i];
    }
}
