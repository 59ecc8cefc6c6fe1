// The host kernel's string, memory and time services, held to the behaviour
// the driver relies on: counted-string appends that refuse whole, the C
// library's case folding and number formatting, and a Gregorian calendar that
// is right on leap days and century years.

#include <climits>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_fixture.h"
#include "kernel/host/host_control.h"

namespace {

class RtlTest : public HostKernelTest {};

std::u16string Text(const WCHAR* text) {
    return text == nullptr ? u"<null>" : text;
}

TEST_F(RtlTest, InitUnicodeStringCountsBytesWithoutTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"GenDisk");
    EXPECT_EQ(s.Length, 14);
    EXPECT_EQ(s.MaximumLength, 16);

    const WCHAR* empty = u"";
    RtlInitUnicodeString(&s, empty);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 2);
    EXPECT_EQ(s.Buffer, empty);

    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

// A buffer of 16 units poisoned with 0xCC so that every byte the append
// writes, and every byte it must not, is visible.
struct AppendCase {
    const char* name;
    USHORT maximumLength;
    const WCHAR* initial;
    const WCHAR* source;
    NTSTATUS status;
    std::u16string text;  // the counted text afterwards
    bool terminatorAfter; // a zero unit directly behind the text
};

void PrintTo(const AppendCase& c, std::ostream* os) {
    *os << c.name;
}

class RtlAppend : public RtlTest, public ::testing::WithParamInterface<AppendCase> {};

TEST_P(RtlAppend, AppendsWholeOrNothing) {
    const AppendCase& c = GetParam();
    WCHAR buffer[16];
    memset(buffer, 0xCC, sizeof(buffer));
    const size_t initialUnits = std::u16string(c.initial).size();
    memcpy(buffer, c.initial, initialUnits * sizeof(WCHAR));
    std::vector<UCHAR> before(reinterpret_cast<UCHAR*>(buffer),
                              reinterpret_cast<UCHAR*>(buffer) + sizeof(buffer));
    UNICODE_STRING s{static_cast<USHORT>(initialUnits * sizeof(WCHAR)), c.maximumLength, buffer};

    EXPECT_EQ(RtlAppendUnicodeToString(&s, c.source), c.status);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)), c.text);
    EXPECT_EQ(s.MaximumLength, c.maximumLength);
    EXPECT_EQ(s.Buffer, buffer);

    // Nothing is written beyond the text and its terminator, and a refused
    // append writes nothing at all.
    const size_t written = s.Length + (c.terminatorAfter ? sizeof(WCHAR) : 0);
    if (c.terminatorAfter) {
        EXPECT_EQ(buffer[s.Length / sizeof(WCHAR)], 0);
    }
    const auto* after = reinterpret_cast<const UCHAR*>(buffer);
    for (size_t i = c.status == STATUS_SUCCESS ? written : 0; i < sizeof(buffer); ++i) {
        EXPECT_EQ(after[i], before[i]) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtlAppend,
    ::testing::Values(
        AppendCase{"RoomForTerminator", 12, u"ab", u"cd", STATUS_SUCCESS, u"abcd", true},
        AppendCase{"ExactFitNoTerminator", 8, u"ab", u"cd", STATUS_SUCCESS, u"abcd", false},
        // An odd maximum leaves one byte behind the text: no half unit is written.
        AppendCase{"OddMaximumNoTerminator", 9, u"ab", u"cd", STATUS_SUCCESS, u"abcd", false},
        AppendCase{"OneByteShortRefused", 7, u"ab", u"cd", STATUS_BUFFER_TOO_SMALL, u"ab", false},
        AppendCase{"LongTextRefused", 32, u"ALLBLOCK", u"0123456789", STATUS_BUFFER_TOO_SMALL,
                   u"ALLBLOCK", false},
        AppendCase{"NullSourceDoesNothing", 12, u"ab", nullptr, STATUS_SUCCESS, u"ab", false},
        AppendCase{"IntoEmpty", 32, u"", u"NO", STATUS_SUCCESS, u"NO", true}),
    [](const ::testing::TestParamInfo<AppendCase>& info) { return info.param.name; });

TEST_F(RtlTest, WcsicmpFoldsAsciiToLowerCase) {
    struct Case {
        const WCHAR* a;
        const WCHAR* b;
        int sign;
    };
    const Case cases[] = {
        {u"GenDisk", u"gendisk", 0},
        {u"GENCDROM", u"GenCdRom", 0},
        {u"", u"", 0},
        {u"GenDisk", u"GenDisk2", -1}, // a prefix sorts first
        {u"abd", u"ABC", 1},
        // Folding goes to lower case: '_' (0x5F) sorts before 'z' (0x7A),
        // though it would sort after 'Z' (0x5A).
        {u"a_", u"AZ", -1},
        // Only ASCII letters fold.
        {u"\u00C4", u"\u00E4", -1},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const int result = _wcsicmp(cases[i].a, cases[i].b);
        const int sign = (result > 0) - (result < 0);
        EXPECT_EQ(sign, cases[i].sign) << "case " << i;
    }
}

TEST_F(RtlTest, ItowFormatsInEveryRadix) {
    struct Case {
        int value;
        int radix;
        const WCHAR* text;
    };
    const Case cases[] = {
        {0, 10, u"0"},
        {999, 10, u"999"},
        {-42, 10, u"-42"},
        {INT_MAX, 10, u"2147483647"},
        {INT_MIN, 10, u"-2147483648"},
        // Outside radix 10 the bits are read as unsigned: no sign.
        {-1, 16, u"ffffffff"},
        {-2, 2, u"11111111111111111111111111111110"},
        {255, 2, u"11111111"},
        {35, 36, u"z"},
        {8, 8, u"10"},
    };
    for (const Case& c : cases) {
        WCHAR buffer[40];
        memset(buffer, 0xCC, sizeof(buffer));
        EXPECT_EQ(_itow(c.value, buffer, c.radix), buffer);
        EXPECT_EQ(Text(buffer), Text(c.text)) << c.value << " radix " << c.radix;
    }
}

TEST_F(RtlTest, ItowRefusesInvalidRadixAsFinding) {
    WCHAR buffer[8];
    memset(buffer, 0xCC, sizeof(buffer));
    EXPECT_EQ(_itow(5, buffer, 1), buffer);
    EXPECT_EQ(buffer[0], 0);
    ExpectViolation("invalid-parameter");
}

TEST_F(RtlTest, CompareMemoryCountsEqualLeadingBytes) {
    const UCHAR a[] = {1, 2, 3, 4, 5};
    const UCHAR b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof(a)), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, sizeof(a)), sizeof(a));
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
    EXPECT_EQ(RtlCompareMemory(b, a, 1), 1u);
}

// Instants in 100-ns units since 1601-01-01.  The 1970 value is the offset of
// the Unix epoch that Microsoft's "Converting a time_t value to a FILETIME"
// gives; the others were computed with Python's datetime module (proleptic
// Gregorian calendar).  Weekday 0 is Sunday.
struct TimeCase {
    const char* name;
    LONGLONG time;
    TIME_FIELDS fields; // Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday
};

void PrintTo(const TimeCase& c, std::ostream* os) {
    *os << c.name;
}

class RtlTimeFields : public RtlTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(RtlTimeFields, SplitsIntoGregorianFields) {
    const TimeCase& c = GetParam();
    LARGE_INTEGER time;
    time.QuadPart = c.time;
    TIME_FIELDS f;
    memset(&f, 0xCC, sizeof(f));
    RtlTimeToTimeFields(&time, &f);
    EXPECT_EQ(f.Year, c.fields.Year);
    EXPECT_EQ(f.Month, c.fields.Month);
    EXPECT_EQ(f.Day, c.fields.Day);
    EXPECT_EQ(f.Hour, c.fields.Hour);
    EXPECT_EQ(f.Minute, c.fields.Minute);
    EXPECT_EQ(f.Second, c.fields.Second);
    EXPECT_EQ(f.Milliseconds, c.fields.Milliseconds);
    EXPECT_EQ(f.Weekday, c.fields.Weekday);
}

INSTANTIATE_TEST_SUITE_P(
    Instants, RtlTimeFields,
    ::testing::Values(
        TimeCase{"Origin1601IsMonday", 0, {1601, 1, 1, 0, 0, 0, 0, 1}},
        TimeCase{"UnixEpochIsThursday", 116444736000000000LL, {1970, 1, 1, 0, 0, 0, 0, 4}},
        TimeCase{"LeapDay2000", 125963423999990000LL, {2000, 2, 29, 23, 59, 59, 999, 2}},
        TimeCase{"LastDayOfLeapYear2000", 126227807990000000LL, {2000, 12, 31, 23, 59, 59, 0, 0}},
        // 1900 and 2100 are not leap years: March follows February 28.
        TimeCase{"Century1900NotLeap", 94405824000000000LL, {1900, 3, 1, 0, 0, 0, 0, 4}},
        TimeCase{"Century2100NotLeap", 157520160000000000LL, {2100, 3, 1, 0, 0, 0, 0, 1}},
        TimeCase{"Year9999", 2650467743990000000LL, {9999, 12, 31, 23, 59, 59, 0, 5}}),
    [](const ::testing::TestParamInfo<TimeCase>& info) { return info.param.name; });

TIME_FIELDS LocalNow() {
    LARGE_INTEGER system;
    LARGE_INTEGER local;
    TIME_FIELDS fields;
    KeQuerySystemTime(&system);
    ExSystemTimeToLocalTime(&system, &local);
    RtlTimeToTimeFields(&local, &fields);
    return fields;
}

TEST_F(RtlTest, ClockStandsStillWithSettableMilliseconds) {
    // The fixed instant: Friday 2026-12-11 10:00:00 local (bias 0).
    TIME_FIELDS f = LocalNow();
    EXPECT_EQ(f.Year, 2026);
    EXPECT_EQ(f.Month, 12);
    EXPECT_EQ(f.Day, 11);
    EXPECT_EQ(f.Hour, 10);
    EXPECT_EQ(f.Minute, 0);
    EXPECT_EQ(f.Second, 0);
    EXPECT_EQ(f.Milliseconds, 0);
    EXPECT_EQ(f.Weekday, 5);

    hk::SetLocalMilliseconds(537);
    f = LocalNow();
    EXPECT_EQ(f.Milliseconds, 537);
    EXPECT_EQ(f.Second, 0);
    EXPECT_EQ(f.Day, 11);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, 134414568005370000LL);

    // The time services run at DISPATCH_LEVEL without findings.
    {
        hk::IrqlScope raised(DISPATCH_LEVEL);
        EXPECT_EQ(LocalNow().Milliseconds, 537);
    }

    hk::Reset();
    EXPECT_EQ(LocalNow().Milliseconds, 0);
}

} // namespace
