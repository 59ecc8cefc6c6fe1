// Tests of base64 and the complemented storage form of setting items.
#include "common/setting_codec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<UCHAR> Bytes;

const UCHAR Poison = 0xA5;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Complemented(Bytes bytes) {
    for (UCHAR& b : bytes) {
        b = (UCHAR)~b;
    }
    return bytes;
}

// Encodes into a poisoned buffer and checks nothing is written behind the
// reported size.
Bytes Encode(void (*Encoder)(const UCHAR*, UCHAR*, ULONG*), const Bytes& input) {
    Bytes output(((input.size() + 2) / 3) * 4 + 8, Poison);
    ULONG size = (ULONG)input.size();
    Encoder(input.data(), output.data(), &size);
    for (size_t i = size; i < output.size(); i++) {
        EXPECT_EQ(Poison, output[i]) << "byte " << i << " written behind the text";
    }
    output.resize(size);
    return output;
}

struct DecodeResult {
    NTSTATUS Status;
    Bytes Data;
};

DecodeResult Decode(const Bytes& text) {
    Bytes output((text.size() / 4) * 3 + 8, Poison);
    ULONG size = (ULONG)text.size();
    const NTSTATUS status = Base64Decode(text.data(), output.data(), &size);
    EXPECT_LE(size, (text.size() / 4) * 3);
    for (size_t i = size; i < output.size(); i++) {
        EXPECT_EQ(Poison, output[i]) << "byte " << i << " written behind the data";
    }
    output.resize(size);
    return {status, output};
}

struct ExampleCase {
    Bytes Input;
    std::string Base64;
    Bytes Stored;
};

// The setting encoding examples: value bytes, their base64 text and the
// complemented text that is stored.
const ExampleCase Examples[] = {
    {{}, "", {}},
    {{0x4E}, "Tg==", {0xAB, 0x98, 0xC2, 0xC2}},
    {{0x4E, 0x4F}, "Tk8=", {0xAB, 0x94, 0xC7, 0xC2}},
    {{0x61, 0x62, 0x63}, "YWJj", {0xA6, 0xA8, 0xB5, 0x95}},
    // The text "NO" in UTF-16LE.
    {{0x4E, 0x00, 0x4F, 0x00}, "TgBPAA==", {0xAB, 0x98, 0xBD, 0xAF, 0xBE, 0xBE, 0xC2, 0xC2}},
};

TEST(SettingCodec, EncodingExamples) {
    for (const ExampleCase& example : Examples) {
        SCOPED_TRACE(example.Base64);
        EXPECT_EQ(Text(example.Base64), Encode(Base64Encode, example.Input));
        EXPECT_EQ(example.Stored, Encode(EncodeSettingValue, example.Input));

        // Reading the stored form gives back the value, and leaves the plain
        // text in the caller's buffer.
        Bytes stored = example.Stored;
        Bytes output(example.Input.size() + 8, Poison);
        ULONG size = (ULONG)stored.size();
        EXPECT_EQ(STATUS_SUCCESS, DecodeSettingValue(stored.data(), output.data(), &size));
        output.resize(size);
        EXPECT_EQ(example.Input, output);
        EXPECT_EQ(Text(example.Base64), stored);
    }
}

struct DecodeCase {
    const char* Name;
    std::string Text;
    NTSTATUS Status;
    size_t Size;
    // The bytes, where the group held nothing undecodable.
    const char* Data; // hex, or nullptr when only the size is fixed
};

const DecodeCase DecodeCases[] = {
    {"Empty", "", STATUS_SUCCESS, 0, ""},
    {"TwoPads", "TgBPAA==", STATUS_SUCCESS, 4, "4E004F00"},
    {"NoPad", "YWJj", STATUS_SUCCESS, 3, "616263"},
    // Trailing characters of a partial group are ignored but reported.
    {"PartialGroup", "TgBPAA", STATUS_DATA_ERROR, 3, "4E004F"},
    {"PartialGroupAfterPads", "TgBPAA==Tk", STATUS_DATA_ERROR, 4, "4E004F00"},
    {"CarriageReturnAfterText", "Tk8=\r\n", STATUS_DATA_ERROR, 2, "4E4F"},
    // A pad is known by its position in the last whole group.
    {"PadThenLetter", "Tk=A", STATUS_SUCCESS, 2, "4E40"},
    {"PadFirst", "=AAA", STATUS_DATA_ERROR, 2, nullptr},
    {"PadSecond", "A=AA", STATUS_DATA_ERROR, 2, nullptr},
    {"ThreePads", "A===", STATUS_DATA_ERROR, 0, ""},
    {"FourPads", "====", STATUS_DATA_ERROR, 0, ""},
    {"FourPadsAfterData", "YWJj====", STATUS_DATA_ERROR, 3, "616263"},
    // A '=' before the last group is not a pad: the group still gives three bytes.
    {"PadInEarlierGroup", "Tg==YWJj", STATUS_DATA_ERROR, 6, nullptr},
    // Characters outside the alphabet.
    {"UrlSafeCharacters", "Tk-_", STATUS_DATA_ERROR, 3, nullptr},
    {"Space", "Tk8 ", STATUS_DATA_ERROR, 3, nullptr},
    {"LineBreak", "YWJj\nYWJ", STATUS_DATA_ERROR, 6, nullptr},
    {"ZeroByte", std::string("YW\0j", 4), STATUS_DATA_ERROR, 3, nullptr},
    {"StoredFormNotComplemented", "\xAB\x98\xC2\xC2", STATUS_DATA_ERROR, 3, nullptr},
};

Bytes FromHex(const char* hex) {
    Bytes bytes;
    for (size_t i = 0; hex[i] != '\0'; i += 2) {
        bytes.push_back((UCHAR)std::stoi(std::string(hex + i, 2), nullptr, 16));
    }
    return bytes;
}

// Failures name the case rather than dump its bytes.
void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.Name;
}

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, StatusAndBytes) {
    const DecodeCase& c = GetParam();
    const DecodeResult result = Decode(Text(c.Text));
    EXPECT_EQ(c.Status, result.Status);
    EXPECT_EQ(c.Size, result.Data.size());
    if (c.Data != nullptr) {
        EXPECT_EQ(FromHex(c.Data), result.Data);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, DecodeTable, ::testing::ValuesIn(DecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) {
                             return std::string(info.param.Name);
                         });

// The stored text is left plain in the caller's buffer even when it does not
// decode.
TEST(SettingCodec, DecodeLeavesPlainTextOnError) {
    Bytes stored = Complemented(Text("TgBPAA"));
    Bytes output(8, Poison);
    ULONG size = (ULONG)stored.size();
    EXPECT_EQ(STATUS_DATA_ERROR, DecodeSettingValue(stored.data(), output.data(), &size));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(Text("TgBPAA"), stored);
}

// The stored form must never hold a zero byte (it is kept in a registry
// string), and must read back as what was written: every single byte value,
// then random values of every length up to 100.
TEST(SettingCodec, StoredFormHasNoZeroByteAndRoundTrips) {
    std::vector<Bytes> values;
    values.reserve(256 + 101);
    for (int b = 0; b < 256; b++) {
        values.push_back(Bytes(1, (UCHAR)b));
    }
    std::mt19937 random(20240601);
    for (size_t length = 0; length <= 100; length++) {
        Bytes value(length);
        for (UCHAR& b : value) {
            b = (UCHAR)random();
        }
        values.push_back(value);
    }

    for (const Bytes& value : values) {
        Bytes stored = Encode(EncodeSettingValue, value);
        for (UCHAR b : stored) {
            ASSERT_NE(0, b) << "value of " << value.size() << " bytes";
        }
        Bytes output(value.size() + 8, Poison);
        ULONG size = (ULONG)stored.size();
        ASSERT_EQ(STATUS_SUCCESS, DecodeSettingValue(stored.data(), output.data(), &size));
        output.resize(size);
        ASSERT_EQ(value, output);
    }
}

} // namespace
