// The signing rules of the protected settings: the key, the signed message,
// the part of a MAC that is stored, and what a verified value text means.
//
// A setting is three registry items: its value text, a MAC and a salt (the
// milliseconds of the store, as decimal text).  Texts are UTF-16LE bytes
// without terminator.  The MAC is HMAC-SHA1 with a key built into the driver
// over the value text immediately followed by the salt text.  Only the digest
// up to its first zero 16-bit unit is stored, so that it can travel as a
// zero-terminated text.
//
// Pure routines over caller-supplied byte buffers: no kernel, no state, no
// allocation, any IRQL.  The driver and the user-mode settings inspector share
// them, so both read a stored setting the same way.
#pragma once
#include "common/nt_types.h"

// Bytes of a computed MAC (a SHA-1 digest).
#define SETTING_MAC_SIZE 20

// What a verified block-mode text stands for; the numbers are the driver's
// BLOCK_MODE values.
#define SETTING_MODE_NONE 0
#define SETTING_MODE_ON 1
#define SETTING_MODE_BLOCK 2
#define SETTING_MODE_ALLBLOCK 3

// Bytes of the UTF-16LE text in a buffer of Capacity bytes: up to, not
// including, its first zero 16-bit unit (at an even offset); Capacity when the
// buffer holds none.
ULONG SettingTextSize(const UCHAR* Text, ULONG Capacity);

// Builds the signed message of a setting in Message (Capacity bytes): the
// ValueSize bytes of value text immediately followed by the SaltSize bytes of
// salt text.  When both together do not fit, the salt is left out and the value
// alone (at most Capacity bytes of it) is the message, as a reader whose value
// buffer is too small for both verifies it.  Returns the message's size.
ULONG SettingMessage(const UCHAR* Value, ULONG ValueSize, const UCHAR* Salt, ULONG SaltSize,
                     UCHAR* Message, ULONG Capacity);

// Computes the 20-byte MAC of a message with the settings key.
VOID ComputeSettingMac(const UCHAR* Message, ULONG MessageSize, UCHAR Mac[SETTING_MAC_SIZE]);

// Bytes of a computed MAC that are stored: up to, not including, its first
// zero 16-bit unit at an even offset; all 20 when it has none.  Always even.
ULONG SettingMacPayloadSize(const UCHAR Mac[SETTING_MAC_SIZE]);

// The block mode a verified text stands for, by case-sensitive prefix over the
// first Size bytes of Text: "ON" gives SETTING_MODE_ON, "BLOCK"
// SETTING_MODE_BLOCK, "ALLBLOCK" SETTING_MODE_ALLBLOCK (tested in this order,
// a later match replacing an earlier one), anything else SETTING_MODE_NONE.
// A keyword longer than Size never matches.
ULONG SettingBlockMode(const UCHAR* Text, ULONG Size);

// Whether a verified read-only text switches read-only protection on: its
// first Size bytes begin with "YES" (case-sensitive).
BOOLEAN SettingReadOnly(const UCHAR* Text, ULONG Size);
