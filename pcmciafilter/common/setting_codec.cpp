// Base64 and the complemented storage form of protected setting items.
#include "common/setting_codec.h"

// The 64 characters of the alphabet, in the order of their values.
static const UCHAR Base64Alphabet[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

static const UCHAR Base64Pad = '=';

// Gives the six bits of an alphabet character, or FALSE for any other
// character (the pad included).
static BOOLEAN Base64Value(UCHAR Character, ULONG* Value) {
    if (Character >= 'A' && Character <= 'Z') {
        *Value = (ULONG)(Character - 'A');
    } else if (Character >= 'a' && Character <= 'z') {
        *Value = (ULONG)(Character - 'a') + 26;
    } else if (Character >= '0' && Character <= '9') {
        *Value = (ULONG)(Character - '0') + 52;
    } else if (Character == '+') {
        *Value = 62;
    } else if (Character == '/') {
        *Value = 63;
    } else {
        return FALSE;
    }
    return TRUE;
}

void Base64Encode(const UCHAR* Input, UCHAR* Output, ULONG* Size) {
    const ULONG length = *Size;
    ULONG in = 0;
    ULONG out = 0;

    for (; length - in >= 3; in += 3) {
        const UCHAR b0 = Input[in];
        const UCHAR b1 = Input[in + 1];
        const UCHAR b2 = Input[in + 2];
        Output[out++] = Base64Alphabet[b0 >> 2];
        Output[out++] = Base64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        Output[out++] = Base64Alphabet[((b1 & 0x0F) << 2) | (b2 >> 6)];
        Output[out++] = Base64Alphabet[b2 & 0x3F];
    }

    if (length - in == 1) {
        const UCHAR b0 = Input[in];
        Output[out++] = Base64Alphabet[b0 >> 2];
        Output[out++] = Base64Alphabet[(b0 & 0x03) << 4];
        Output[out++] = Base64Pad;
        Output[out++] = Base64Pad;
    } else if (length - in == 2) {
        const UCHAR b0 = Input[in];
        const UCHAR b1 = Input[in + 1];
        Output[out++] = Base64Alphabet[b0 >> 2];
        Output[out++] = Base64Alphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        Output[out++] = Base64Alphabet[(b1 & 0x0F) << 2];
        Output[out++] = Base64Pad;
    }

    *Size = ((length + 2) / 3) * 4;
}

NTSTATUS Base64Decode(const UCHAR* Input, UCHAR* Output, ULONG* Size) {
    const ULONG length = *Size;
    const ULONG groups = length / 4;
    NTSTATUS status = (length % 4 == 0) ? STATUS_SUCCESS : STATUS_DATA_ERROR;
    ULONG out = 0;

    for (ULONG group = 0; group < groups; group++) {
        const UCHAR* characters = Input + group * 4;
        const BOOLEAN lastGroup = (group + 1 == groups) ? TRUE : FALSE;
        ULONG value = 0;
        ULONG pads = 0;

        for (ULONG i = 0; i < 4; i++) {
            ULONG bits = 0;
            if (Base64Value(characters[i], &bits)) {
                // An alphabet character.
            } else if (characters[i] == Base64Pad && lastGroup) {
                // Padding is recognised by position alone; it may not stand
                // where a group needs data for its first byte.
                pads++;
                if (i < 2) {
                    status = STATUS_DATA_ERROR;
                }
            } else {
                // Not decodable here: reported through the status, and the
                // group carries zero bits in its place.
                status = STATUS_DATA_ERROR;
            }
            value = (value << 6) | bits;
        }

        // Three bytes, less one per pad; three or four pads give none.
        const ULONG bytes = (pads < 3) ? 3 - pads : 0;
        for (ULONG i = 0; i < bytes; i++) {
            Output[out++] = (UCHAR)(value >> (16 - 8 * i));
        }
    }

    *Size = out;
    return status;
}

void EncodeSettingValue(const UCHAR* Input, UCHAR* Output, ULONG* Size) {
    Base64Encode(Input, Output, Size);
    for (ULONG i = 0; i < *Size; i++) {
        Output[i] = (UCHAR)~Output[i];
    }
}

NTSTATUS DecodeSettingValue(UCHAR* Input, UCHAR* Output, ULONG* Size) {
    for (ULONG i = 0; i < *Size; i++) {
        Input[i] = (UCHAR)~Input[i];
    }
    return Base64Decode(Input, Output, Size);
}
