// Storage form of protected setting items: base64 text with every byte
// complemented.
//
// Base64 here is the standard alphabet with '=' padding and no line breaks.
// The complement keeps the stored text free of zero bytes and unreadable at a
// glance.  None of these routines checks the capacity of Output: the caller
// sizes it as stated below.  They keep no state, allocate nothing and may run
// at any IRQL on buffers the caller owns.
#pragma once
#include "common/nt_types.h"

// Encodes *Size bytes at Input as base64 text in Output, and sets *Size to the
// number of characters written, ((n + 2) / 3) * 4 for n input bytes.  Output
// must hold that many bytes; nothing is written behind them.
void Base64Encode(const UCHAR* Input, UCHAR* Output, ULONG* Size);

// Decodes *Size base64 characters at Input into Output, and sets *Size to the
// number of bytes written.  Output must hold 3 * (n / 4) bytes for n input
// characters.
//
// Only whole groups of four characters are decoded; trailing characters are
// ignored.  '=' counts as padding only in the last whole group.  Returns
// STATUS_DATA_ERROR for a length that is not a multiple of 4, a character
// outside the alphabet, a '=' before the last group or as the first or second
// character of it; every whole group is still decoded, an invalid character
// standing for six zero bits.  Otherwise STATUS_SUCCESS.
NTSTATUS Base64Decode(const UCHAR* Input, UCHAR* Output, ULONG* Size);

// Base64Encode, then complements each character written: the form in which a
// setting item is stored.  The result never holds a zero byte.
void EncodeSettingValue(const UCHAR* Input, UCHAR* Output, ULONG* Size);

// Complements the *Size bytes at Input in place, then decodes them with
// Base64Decode and returns its status.  On return Input holds the plain base64
// text, whatever the status.
NTSTATUS DecodeSettingValue(UCHAR* Input, UCHAR* Output, ULONG* Size);
