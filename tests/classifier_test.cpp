// Tests of the write-class command classifier over bare command blocks.
#include "common/classifier.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

struct ClassifierCase {
    const char* Name;
    UCHAR Bytes[32]; // unlisted bytes are zero
    USHORT Length;
    BOOLEAN Expected;
    const char* Why;
};

// Opcodes from SBC, SPC and MMC; service actions of the 32-byte commands in
// bytes 8-9, big-endian.
const ClassifierCase ClassifierCases[] = {
    // The operation codes that always write.
    {"FormatUnit", {0x04}, 6, TRUE, "formatting rewrites the whole medium"},
    {"Write6", {0x0A}, 6, TRUE, "WRITE (6)"},
    {"Write10", {0x2A}, 10, TRUE, "WRITE (10), the common write of a disk"},
    {"Erase10", {0x2C}, 10, TRUE, "ERASE (10)"},
    {"WriteAndVerify10", {0x2E}, 10, TRUE, "WRITE AND VERIFY (10)"},
    {"BlankOrAtaPassThrough12", {0xA1}, 12, TRUE, "BLANK; the same code carries ATA commands"},
    {"ExtendedCopy", {0x83}, 16, TRUE, "EXTENDED COPY writes to a copy target"},
    {"Write12", {0xAA}, 12, TRUE, "WRITE (12)"},
    {"Write16", {0x8A}, 16, TRUE, "WRITE (16)"},
    {"WriteAndVerify12", {0xAE}, 12, TRUE, "WRITE AND VERIFY (12)"},
    {"WriteAndVerify16", {0x8E}, 16, TRUE, "WRITE AND VERIFY (16)"},
    {"WriteAttribute", {0x8D}, 16, TRUE, "WRITE ATTRIBUTE"},
    {"WriteBuffer", {0x3B}, 10, TRUE, "WRITE BUFFER can replace firmware"},
    {"WriteLong10", {0x3F}, 10, TRUE, "WRITE LONG (10)"},
    {"WriteSame10", {0x41}, 10, TRUE, "WRITE SAME (10)"},
    {"WriteSame16", {0x93}, 16, TRUE, "WRITE SAME (16)"},
    {"XdWrite10", {0x50}, 10, TRUE, "XDWRITE (10)"},

    // XDWRITEREAD (10) writes unless DISABLE WRITE (byte 1 bit 2) is set.
    {"XdWriteRead10", {0x53, 0x00}, 10, TRUE, "DISABLE WRITE clear"},
    {"XdWriteRead10DisableWrite", {0x53, 0x04}, 10, FALSE, "DISABLE WRITE set: a pure read"},
    {"XdWriteRead10OtherBitsSet", {0x53, 0xFB}, 10, TRUE, "only bit 2 disables the write"},

    // 32-byte variable-length commands, decided by their service action.
    {"Write32", {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0B}, 32, TRUE, "WRITE (32)"},
    {"WriteAndVerify32",
     {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0C},
     32,
     TRUE,
     "WRITE AND VERIFY (32)"},
    {"WriteSame32", {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0D}, 32, TRUE, "WRITE SAME (32)"},
    {"XdWrite32", {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x04}, 32, TRUE, "XDWRITE (32)"},
    {"XpWrite32", {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x06}, 32, TRUE, "XPWRITE (32)"},
    {"XdWriteRead32",
     {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x07, 0x00},
     32,
     TRUE,
     "DISABLE WRITE (byte 10 bit 2) clear"},
    {"XdWriteRead32DisableWrite",
     {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x07, 0x04},
     32,
     FALSE,
     "DISABLE WRITE set: a pure read"},
    {"Read32", {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x09}, 32, FALSE, "READ (32) is no write"},
    {"Verify32", {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0A}, 32, FALSE, "VERIFY (32) is no write"},
    {"ServiceActionByteOrder",
     {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x0B, 0x00},
     32,
     FALSE,
     "byte 8 is the high byte: 0x0B00 is not WRITE (32)"},
    {"VariableLengthShort",
     {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0B},
     20,
     FALSE,
     "below 32 bytes the service action is not looked at"},
    {"VariableLengthJustShort",
     {0x7F, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x0B},
     31,
     FALSE,
     "32 is the least length with a service action"},

    // SERVICE ACTION OUT (16) is a write whatever its service action, when
    // the length admits a 16-byte command.
    {"ServiceActionOut16", {0x9F}, 16, TRUE, "every service action counts"},
    {"ServiceActionOut16Long", {0x9F}, 32, TRUE, "a longer length still admits it"},
    {"ServiceActionOut16Short", {0x9F}, 15, FALSE, "below 16 bytes it is not a write"},
    {"ServiceActionOut16Twelve", {0x9F}, 12, FALSE, "below 16 bytes it is not a write"},

    // The length is compared with 0, 16 and 32 only.
    {"ZeroLength", {0x2A}, 0, FALSE, "an empty command is no write, whatever its storage holds"},
    {"LengthBelowCommandSize",
     {0x8A},
     1,
     TRUE,
     "the length is not compared with the command's size"},

    // Commands outside the set.
    {"TestUnitReady", {0x00}, 6, FALSE, "no data moves"},
    {"Read10", {0x28}, 10, FALSE, "READ (10)"},
    {"SynchronizeCache10", {0x35}, 10, FALSE, "flushes, writes nothing new"},
    {"XpWrite10", {0x51}, 10, FALSE, "XPWRITE (10) is outside the set"},
    {"ModeSelect10", {0x55}, 10, FALSE, "MODE SELECT (10) is outside the set"},
    {"CompareAndWrite", {0x89}, 16, FALSE, "COMPARE AND WRITE is outside the set"},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const ClassifierCase& c, std::ostream* os) {
    *os << c.Name;
}

class ClassifierTable : public ::testing::TestWithParam<ClassifierCase> {};

TEST_P(ClassifierTable, AnswersWhetherCommandWrites) {
    const ClassifierCase& c = GetParam();
    EXPECT_EQ(c.Expected, IsWriteCommand(c.Bytes, c.Length)) << c.Why;
}

INSTANTIATE_TEST_SUITE_P(Commands, ClassifierTable, ::testing::ValuesIn(ClassifierCases),
                         [](const ::testing::TestParamInfo<ClassifierCase>& info) {
                             return std::string(info.param.Name);
                         });

// A zero length answers without reading a byte.
TEST(Classifier, ZeroLengthReadsNothing) {
    EXPECT_EQ(FALSE, IsWriteCommand(nullptr, 0));
}

// The set of write-class operation codes is closed, and a command block with
// a large length is read only within the 16 bytes its callers have: a heap
// block of exactly 16 bytes lets the address sanitizer see any read beyond.
TEST(Classifier, WriteSetIsClosedAndReadsWithinSixteenBytes) {
    const std::set<int> expected = {0x04, 0x0A, 0x2A, 0x2C, 0x2E, 0xA1, 0x83, 0x8A, 0x8D, 0x8E,
                                    0xAA, 0xAE, 0x3B, 0x3F, 0x41, 0x93, 0x50, 0x53, 0x9F};
    for (USHORT length : {USHORT(16), USHORT(32), USHORT(255), USHORT(0xFFFF)}) {
        std::set<int> writes;
        for (int opcode = 0; opcode < 256; opcode++) {
            std::vector<UCHAR> cdb(16, 0);
            cdb[0] = (UCHAR)opcode;
            if (IsWriteCommand(cdb.data(), length)) {
                writes.insert(opcode);
            }
        }
        EXPECT_EQ(expected, writes) << "length " << length;
    }
}

} // namespace
