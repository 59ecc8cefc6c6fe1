// SHA-1 (FIPS 180-1) as an incremental context, and HMAC-SHA1 (RFC 2104).
//
// The routines keep no state outside the context they are given, allocate
// nothing and may run at any IRQL.  A context is not to be used by two threads
// at once; distinct contexts may be used concurrently.
#pragma once
#include "common/nt_types.h"

// Result codes of the SHA-1 operations.
#define SHA1_SUCCESS 0
// A NULL context or buffer; also what stops a context whose message grew past
// 2^64 - 1 bits.
#define SHA1_NULL 1
// Input offered after the digest was computed.
#define SHA1_STATE_ERROR 3

#define SHA1_DIGEST_SIZE 20
#define SHA1_BLOCK_SIZE 64

typedef struct _SHA1_CONTEXT {
    ULONG Hash[5];      // intermediate hash value H0 to H4
    ULONG BitCountLow;  // message length so far in bits, low word
    ULONG BitCountHigh; // message length so far in bits, high word
    LONG BlockIndex;    // bytes held in Block, 0 to 63 between calls
    UCHAR Block[SHA1_BLOCK_SIZE];
    LONG Computed;  // nonzero once the digest has been computed
    LONG Corrupted; // 0, or the result code that stopped the context
} SHA1_CONTEXT, *PSHA1_CONTEXT;

// Starts a new message.  Returns SHA1_NULL for a NULL context.
LONG Sha1Reset(SHA1_CONTEXT* Context);

// Adds Length bytes at Bytes to the message.  A Length of 0 returns
// SHA1_SUCCESS and does nothing, whatever the pointers.  Otherwise returns
// SHA1_NULL for a NULL pointer; SHA1_STATE_ERROR, stopping the context, once
// the digest has been computed; the stopping code of a stopped context; and
// SHA1_SUCCESS after taking the bytes.  A message that grows past 2^64 - 1
// bits stops the context with SHA1_NULL, which Sha1Result then reports.
LONG Sha1Input(SHA1_CONTEXT* Context, const UCHAR* Bytes, ULONG Length);

// Finishes the message if that has not been done yet and writes its 20-byte
// digest (H0 to H4, most significant byte first).  Calling it again gives the
// same digest.  Returns SHA1_NULL for a NULL pointer and the stopping code of
// a stopped context, writing nothing; else SHA1_SUCCESS.
LONG Sha1Result(SHA1_CONTEXT* Context, UCHAR Digest[SHA1_DIGEST_SIZE]);

// Compresses the full Block into Hash and empties Block (BlockIndex 0).
void Sha1ProcessBlock(SHA1_CONTEXT* Context);

// Appends the padding and the 64-bit bit count to the message held in Block,
// processing one or two final blocks.
void Sha1PadMessage(SHA1_CONTEXT* Context);

// Writes the first min(OutputLength, 20) bytes of HMAC-SHA1(Key, Message) to
// Output; nothing when OutputLength is 0 or less.  A key longer than 64 bytes
// is replaced by its SHA-1 digest.  A negative KeyLength or MessageLength is
// taken as 0: an empty key or message.
void HmacSha1(const UCHAR* Key, LONG KeyLength, const UCHAR* Message, LONG MessageLength,
              UCHAR* Output, LONG OutputLength);
