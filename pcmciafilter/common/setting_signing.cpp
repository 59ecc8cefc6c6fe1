// The signing rules of the protected settings.
#include "common/setting_signing.h"
#include "common/sha1.h"

// The settings key: the letters "MintRaft" and two zero bytes, all ten of
// them key bytes.
static const UCHAR SettingKey[10] = {'M', 'i', 'n', 't', 'R', 'a', 'f', 't', 0, 0};

// The keywords as UTF-16LE bytes, without terminator.
static const UCHAR KeywordOn[] = {'O', 0, 'N', 0};
static const UCHAR KeywordBlock[] = {'B', 0, 'L', 0, 'O', 0, 'C', 0, 'K', 0};
static const UCHAR KeywordAllBlock[] = {'A', 0, 'L', 0, 'L', 0, 'B', 0,
                                        'L', 0, 'O', 0, 'C', 0, 'K', 0};
static const UCHAR KeywordYes[] = {'Y', 0, 'E', 0, 'S', 0};

// Whether the first Size bytes of Text begin with the KeywordSize bytes of
// Keyword.
static BOOLEAN BeginsWith(const UCHAR* Text, ULONG Size, const UCHAR* Keyword, ULONG KeywordSize) {
    if (Size < KeywordSize) {
        return FALSE;
    }
    for (ULONG i = 0; i < KeywordSize; i++) {
        if (Text[i] != Keyword[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

ULONG SettingTextSize(const UCHAR* Text, ULONG Capacity) {
    for (ULONG offset = 0; offset + 1 < Capacity; offset += 2) {
        if (Text[offset] == 0 && Text[offset + 1] == 0) {
            return offset;
        }
    }
    return Capacity;
}

ULONG SettingMessage(const UCHAR* Value, ULONG ValueSize, const UCHAR* Salt, ULONG SaltSize,
                     UCHAR* Message, ULONG Capacity) {
    ULONG size = ValueSize < Capacity ? ValueSize : Capacity;
    for (ULONG i = 0; i < size; i++) {
        Message[i] = Value[i];
    }
    if (SaltSize <= Capacity - size) {
        for (ULONG i = 0; i < SaltSize; i++) {
            Message[size + i] = Salt[i];
        }
        size += SaltSize;
    }
    return size;
}

VOID ComputeSettingMac(const UCHAR* Message, ULONG MessageSize, UCHAR Mac[SETTING_MAC_SIZE]) {
    HmacSha1(SettingKey, (LONG)sizeof(SettingKey), Message, (LONG)MessageSize, Mac,
             SETTING_MAC_SIZE);
}

ULONG SettingMacPayloadSize(const UCHAR Mac[SETTING_MAC_SIZE]) {
    return SettingTextSize(Mac, SETTING_MAC_SIZE);
}

ULONG SettingBlockMode(const UCHAR* Text, ULONG Size) {
    ULONG mode = SETTING_MODE_NONE;
    if (BeginsWith(Text, Size, KeywordOn, sizeof(KeywordOn))) {
        mode = SETTING_MODE_ON;
    }
    if (BeginsWith(Text, Size, KeywordBlock, sizeof(KeywordBlock))) {
        mode = SETTING_MODE_BLOCK;
    }
    if (BeginsWith(Text, Size, KeywordAllBlock, sizeof(KeywordAllBlock))) {
        mode = SETTING_MODE_ALLBLOCK;
    }
    return mode;
}

BOOLEAN SettingReadOnly(const UCHAR* Text, ULONG Size) {
    return BeginsWith(Text, Size, KeywordYes, sizeof(KeywordYes));
}
