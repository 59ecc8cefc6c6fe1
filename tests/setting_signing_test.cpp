// Tests of the signing rules of the protected settings: the MAC, the part of
// it that is stored, the signed message and the keyword prefixes.
#include "common/setting_signing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "golden/settings_vectors.h"

namespace {

typedef std::vector<UCHAR> Bytes;

Bytes Utf16(const std::u16string& text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back((UCHAR)(unit & 0xFF));
        bytes.push_back((UCHAR)(unit >> 8));
    }
    return bytes;
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back((UCHAR)std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

// The digests of the golden table, computed by Python's hmac over the value
// text followed by the salt text (tests/golden/make_settings_vectors.py).
TEST(SigningMac, MatchesIndependentDigests) {
    for (const SettingsVector& vector : kSettingsVectors) {
        SCOPED_TRACE(vector.Name);
        const std::string salt = std::to_string(vector.Milliseconds);
        const Bytes message = Utf16(std::u16string(vector.Text) + Wide(salt));
        Bytes mac(SETTING_MAC_SIZE + 4, 0xA5);
        ComputeSettingMac(message.data(), (ULONG)message.size(), mac.data());
        EXPECT_EQ(Bytes(mac.begin(), mac.begin() + SETTING_MAC_SIZE), FromHex(vector.Digest));
        EXPECT_EQ(Bytes(mac.begin() + SETTING_MAC_SIZE, mac.end()), Bytes(4, 0xA5))
            << "written behind the MAC";
    }
}

struct PayloadCase {
    const char* Name;
    std::vector<int> ZeroBytes; // offsets of the zero bytes in an otherwise 0x11 digest
    ULONG Stored;
};

// The stored MAC ends at the first zero 16-bit unit at an even offset; zero
// bytes that straddle two units do not end it.
const PayloadCase PayloadCases[] = {
    {"NoZeroUnit", {}, 20},
    {"ZeroUnitFirst", {0, 1}, 0},
    {"ZeroUnitInside", {6, 7}, 6},
    {"ZeroUnitLast", {18, 19}, 18},
    {"FirstOfTwoZeroUnits", {8, 9, 12, 13}, 8},
    {"ZeroBytesAcrossUnits", {5, 6}, 20},
    {"SingleZeroBytes", {0, 3, 19}, 20},
};

TEST(SigningMacPayload, EndsAtFirstZeroUnit) {
    for (const PayloadCase& c : PayloadCases) {
        UCHAR digest[SETTING_MAC_SIZE];
        memset(digest, 0x11, sizeof(digest));
        for (int offset : c.ZeroBytes) {
            digest[offset] = 0;
        }
        EXPECT_EQ(SettingMacPayloadSize(digest), c.Stored) << c.Name;
    }
}

// The text in a buffer ends at its first zero unit, or fills the buffer.
TEST(SigningText, SizeUpToFirstZeroUnit) {
    Bytes buffer = Utf16(u"AB");
    buffer.resize(8, 0);
    EXPECT_EQ(SettingTextSize(buffer.data(), (ULONG)buffer.size()), 4u);
    EXPECT_EQ(SettingTextSize(buffer.data(), 3), 3u) << "no whole zero unit within 3 bytes";
    const Bytes full = Utf16(u"ALLBLOCK42");
    EXPECT_EQ(SettingTextSize(full.data(), (ULONG)full.size()), 20u);
    EXPECT_EQ(SettingTextSize(full.data(), 0), 0u);
}

struct MessageCase {
    const char* Name;
    const char16_t* Value;
    const char16_t* Salt;
    ULONG Capacity;
    const char16_t* Message;
};

// The salt joins the value only when both fit the reader's buffer, as with
// the status query's 20-byte buffer and a three-digit salt behind "ALLBLOCK".
const MessageCase MessageCases[] = {
    {"ValueThenSalt", u"YES", u"123", 40, u"YES123"},
    {"ExactlyFull", u"ALLBLOCK", u"42", 20, u"ALLBLOCK42"},
    {"SaltLeftOut", u"ALLBLOCK", u"999", 20, u"ALLBLOCK"},
    {"ValueCutAtCapacity", u"ALLBLOCKALLBLOCK", u"1", 20, u"ALLBLOCKAL"},
    {"EmptyValue", u"", u"7", 20, u"7"},
};

TEST(SigningMessage, ValueThenSaltWhenBothFit) {
    for (const MessageCase& c : MessageCases) {
        const Bytes value = Utf16(c.Value);
        const Bytes salt = Utf16(c.Salt);
        Bytes message(c.Capacity + 4, 0xA5);
        const ULONG size = SettingMessage(value.data(), (ULONG)value.size(), salt.data(),
                                          (ULONG)salt.size(), message.data(), c.Capacity);
        EXPECT_EQ(Bytes(message.begin(), message.begin() + size), Utf16(c.Message)) << c.Name;
        EXPECT_EQ(Bytes(message.begin() + c.Capacity, message.end()), Bytes(4, 0xA5)) << c.Name;
    }
}

struct KeywordCase {
    const char16_t* Text;
    ULONG Size; // bytes of the buffer the test looks at; 0: a 40-byte zero-filled buffer
    ULONG BlockMode;
    BOOLEAN ReadOnly;
};

// Case-sensitive prefixes of UTF-16LE text; a keyword that does not fit the
// bytes looked at never matches.
const KeywordCase KeywordCases[] = {
    {u"ON", 0, SETTING_MODE_ON, FALSE},
    {u"ONWARD", 0, SETTING_MODE_ON, FALSE},
    {u"BLOCK", 0, SETTING_MODE_BLOCK, FALSE},
    {u"BLOCKADE", 0, SETTING_MODE_BLOCK, FALSE},
    {u"ALLBLOCK", 0, SETTING_MODE_ALLBLOCK, FALSE},
    {u"ALLBLOCK417", 0, SETTING_MODE_ALLBLOCK, FALSE},
    {u"OFF", 0, SETTING_MODE_NONE, FALSE},
    {u"on", 0, SETTING_MODE_NONE, FALSE},
    {u"Block", 0, SETTING_MODE_NONE, FALSE},
    {u"allblock", 0, SETTING_MODE_NONE, FALSE},
    {u"ALLBLOC", 0, SETTING_MODE_NONE, FALSE},
    {u"XON", 0, SETTING_MODE_NONE, FALSE},
    {u"", 0, SETTING_MODE_NONE, FALSE},
    {u"ALLBLOCK", 15, SETTING_MODE_NONE, FALSE},
    {u"ON", 4, SETTING_MODE_ON, FALSE},
    {u"O", 3, SETTING_MODE_NONE, FALSE},
    {u"YES", 0, SETTING_MODE_NONE, TRUE},
    {u"YES82", 0, SETTING_MODE_NONE, TRUE},
    {u"YESTERDAY", 0, SETTING_MODE_NONE, TRUE},
    {u"yes", 0, SETTING_MODE_NONE, FALSE},
    {u"YEs", 0, SETTING_MODE_NONE, FALSE},
    {u"YE", 0, SETTING_MODE_NONE, FALSE},
    {u"NO", 0, SETTING_MODE_NONE, FALSE},
    {u"YES", 5, SETTING_MODE_NONE, FALSE},
    {u"YES", 6, SETTING_MODE_NONE, TRUE},
};

TEST(SigningKeywords, PrefixOfTheVerifiedText) {
    for (const KeywordCase& c : KeywordCases) {
        Bytes text = Utf16(c.Text);
        const ULONG size = c.Size != 0 ? c.Size : 40;
        text.resize(size > text.size() ? size : text.size(), 0);
        const std::u16string wide(c.Text);
        const std::string name =
            std::string(wide.begin(), wide.end()) + " in " + std::to_string(size) + " bytes";
        EXPECT_EQ(SettingBlockMode(text.data(), size), c.BlockMode) << name;
        EXPECT_EQ(SettingReadOnly(text.data(), size), c.ReadOnly) << name;
    }
}

// The keywords are UTF-16LE: the same letters in another byte order do not
// match.
TEST(SigningKeywords, LittleEndianUnitsOnly) {
    const UCHAR bigEndian[] = {0, 'O', 0, 'N', 0, 0};
    EXPECT_EQ(SettingBlockMode(bigEndian, sizeof(bigEndian)), (ULONG)SETTING_MODE_NONE);
    const UCHAR narrow[] = {'Y', 'E', 'S', 0, 0, 0};
    EXPECT_FALSE(SettingReadOnly(narrow, sizeof(narrow)));
}

} // namespace
