// The host kernel's registry: the four services with the statuses the driver's
// settings store branches on, the direct string query's size rules (a value
// that does not fit leaves the caller's string untouched), the query table
// walk, and .reg export and import that keep every byte of every value.

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_fixture.h"
#include "kernel/host/host_control.h"
#include "kernel/host/registry_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RegistryTest : public HostKernelTest {};

// UTF-16LE bytes of a text and its terminator, as REG_SZ data is stored.
Bytes Sz(const std::u16string& text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// Names for failure messages (non-ASCII units as '?').
std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return out;
}

NTSTATUS Check(ULONG relativeTo, std::u16string path) {
    return RtlCheckRegistryKey(relativeTo, &path[0]);
}

NTSTATUS Create(ULONG relativeTo, std::u16string path) {
    return RtlCreateRegistryKey(relativeTo, &path[0]);
}

Bytes Stored(const std::u16string& key, const std::u16string& name, ULONG* type = nullptr) {
    Bytes data;
    EXPECT_TRUE(hk::RegistryGetValue(key, name, type, &data)) << Narrow(key) << " " << Narrow(name);
    return data;
}

// The driver's query: one required, direct entry and an all-zero end.
NTSTATUS QueryDirect(const WCHAR* path, const WCHAR* name, PVOID destination,
                     ULONG flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_DIRECT) {
    RTL_QUERY_REGISTRY_TABLE table[2];
    memset(table, 0, sizeof(table));
    table[0].Flags = flags;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = destination;
    table[0].DefaultType = REG_NONE;
    return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, path, table, nullptr, nullptr);
}

TEST_F(RegistryTest, KeyServicesReportWhatExists) {
    EXPECT_EQ(Check(RTL_REGISTRY_SERVICES, u"VexaPCMFilter"), STATUS_OBJECT_NAME_NOT_FOUND);

    // Only the last component is created: a missing parent fails the call and
    // creates nothing.
    EXPECT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\1"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hk::RegistryKeyExists(u"VexaPCMFilter"));

    EXPECT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter"), STATUS_SUCCESS);
    EXPECT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter"), STATUS_SUCCESS);
    EXPECT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\1"), STATUS_SUCCESS);
    EXPECT_EQ(Check(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\1"), STATUS_SUCCESS);
    EXPECT_EQ(Check(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"VEXAPCMFILTER"),
              STATUS_SUCCESS);

    // Names compare without regard to case, also through the absolute root.
    EXPECT_EQ(Check(RTL_REGISTRY_ABSOLUTE,
                    u"\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\vexapcmfilter\\1"),
              STATUS_SUCCESS);
    EXPECT_EQ(Check(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software"),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // Malformed requests.
    EXPECT_EQ(Check(5, u"VexaPCMFilter"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\\\1"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Check(RTL_REGISTRY_ABSOLUTE, u"Registry\\Machine"), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(RegistryTest, WriteStoresExactlyTheTypeAndBytesGiven) {
    ASSERT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter"), STATUS_SUCCESS);
    UCHAR odd[] = {0x41, 0x00, 0xFF};
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VexaPCMFilter", u"0", REG_SZ, odd,
                                    sizeof(odd)),
              STATUS_SUCCESS);
    ULONG type = 0;
    EXPECT_EQ(Stored(u"VexaPCMFilter", u"0", &type), Bytes(odd, odd + sizeof(odd)));
    EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));

    // Replaced in place under any spelling of the name.
    ULONG number = 7;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"vexapcmfilter", u"0", REG_DWORD,
                                    &number, sizeof(number)),
              STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"VexaPCMFilter", u"0", &type), Bytes({7, 0, 0, 0}));
    EXPECT_EQ(type, static_cast<ULONG>(REG_DWORD));

    // A missing key is created under an existing parent; a deeper missing
    // path fails and writes nothing.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\2", u"1", REG_BINARY,
                                    odd, sizeof(odd)),
              STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"VexaPCMFilter\\2", u"1"), Bytes(odd, odd + sizeof(odd)));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Other\\Deeper", u"1", REG_BINARY, odd,
                                    sizeof(odd)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(hk::RegistryKeyExists(u"Other"));
}

// Direct string queries into a 32-byte buffer poisoned with 0xCC.
struct DirectStringCase {
    const char* name;
    Bytes data;
    USHORT maximumLength;
    NTSTATUS status;
    USHORT length; // afterwards (the initial 2 when refused)
};

void PrintTo(const DirectStringCase& c, std::ostream* os) {
    *os << c.name;
}

class RegistryDirectString : public RegistryTest,
                             public ::testing::WithParamInterface<DirectStringCase> {};

TEST_P(RegistryDirectString, CopiesWhatFitsAndCountsUnitsWithoutTerminator) {
    const DirectStringCase& c = GetParam();
    hk::RegistrySetValue(u"VexaPCMFilter", u"0", REG_SZ, c.data);
    UCHAR buffer[32];
    memset(buffer, 0xCC, sizeof(buffer));
    UNICODE_STRING s{2, c.maximumLength, reinterpret_cast<PWSTR>(buffer)};

    EXPECT_EQ(QueryDirect(u"VexaPCMFilter", u"0", &s), c.status);
    EXPECT_EQ(s.Length, c.length);
    EXPECT_LE(s.Length, s.MaximumLength);
    EXPECT_EQ(s.MaximumLength, c.maximumLength);
    // On success exactly the data bytes are copied; on failure nothing.
    const size_t copied = c.status == STATUS_SUCCESS ? c.data.size() : 0;
    for (size_t i = 0; i < sizeof(buffer); ++i) {
        EXPECT_EQ(buffer[i], i < copied ? c.data[i] : 0xCC) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryDirectString,
    ::testing::Values(
        DirectStringCase{"Roomy", Sz(u"NO"), 20, STATUS_SUCCESS, 4},
        // The data with its terminator exactly fills the buffer.
        DirectStringCase{"ExactFit", Sz(u"NO"), 6, STATUS_SUCCESS, 4},
        // One byte short: refused, the string keeps its Length and buffer.
        DirectStringCase{"TooLarge", Sz(u"NO"), 5, STATUS_BUFFER_TOO_SMALL, 2},
        DirectStringCase{"EmptyData", {}, 8, STATUS_SUCCESS, 0},
        DirectStringCase{"TerminatorOnly", Sz(u""), 8, STATUS_SUCCESS, 0},
        // Data another writer stored without a terminator counts in full...
        DirectStringCase{"NoTerminator", {0x41, 0x00, 0x42, 0x00}, 4, STATUS_SUCCESS, 4},
        // ...but never a trailing half unit.
        DirectStringCase{"OddLength", {0x41, 0x00, 0x42}, 8, STATUS_SUCCESS, 2},
        DirectStringCase{"SingleByte", {0x41}, 8, STATUS_SUCCESS, 0},
        DirectStringCase{
            "OddWithTerminator", {0x41, 0x00, 0x00, 0x00, 0x7F}, 8, STATUS_SUCCESS, 2}),
    [](const ::testing::TestParamInfo<DirectStringCase>& info) { return info.param.name; });

TEST_F(RegistryTest, DirectQueryOfMissingValueOrKeyLeavesStringUntouched) {
    WCHAR buffer[8] = {u'x', u'y'};
    UNICODE_STRING s{4, sizeof(buffer), buffer};
    EXPECT_EQ(QueryDirect(u"VexaPCMFilter", u"0", &s), STATUS_OBJECT_NAME_NOT_FOUND);

    hk::RegistrySetValue(u"VexaPCMFilter", u"1", REG_SZ, Sz(u"YES"));
    EXPECT_EQ(QueryDirect(u"VexaPCMFilter", u"0", &s), STATUS_OBJECT_NAME_NOT_FOUND);
    // Not required and no default: skipped.
    EXPECT_EQ(QueryDirect(u"VexaPCMFilter", u"0", &s, RTL_QUERY_REGISTRY_DIRECT), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 4);
    EXPECT_EQ(std::u16string(buffer), u"xy");

    // A missing optional key is an empty answer.
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(u"0");
    table[0].EntryContext = &s;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Absent",
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 4);

    // A null buffer (which the platform would allocate) is refused.
    UNICODE_STRING unallocated{0, 0, nullptr};
    EXPECT_EQ(QueryDirect(u"VexaPCMFilter", u"1", &unallocated), STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, DirectNonStringDataAndDefaults) {
    hk::RegistrySetValue(u"Svc", u"Start", REG_DWORD, {3, 0, 0, 0});
    hk::RegistrySetValue(u"Svc", u"Blob", REG_BINARY, {1, 2, 3, 4, 5, 6});

    ULONG start = 0;
    EXPECT_EQ(QueryDirect(u"Svc", u"Start", &start), STATUS_SUCCESS);
    EXPECT_EQ(start, 3u);

    // More than four bytes: the buffer starts with its size.  Negative: the
    // data alone; positive: length, type, data.
    LONG raw[4] = {-8, -1, -1, -1};
    EXPECT_EQ(QueryDirect(u"Svc", u"Blob", raw), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(reinterpret_cast<UCHAR*>(raw), reinterpret_cast<UCHAR*>(raw) + 8),
              Bytes({1, 2, 3, 4, 5, 6, 0xFF, 0xFF}));
    LONG tooSmall[2] = {-4, 0};
    EXPECT_EQ(QueryDirect(u"Svc", u"Blob", tooSmall), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall[0], -4);
    ULONG full[4] = {16, 0, 0, 0};
    EXPECT_EQ(QueryDirect(u"Svc", u"Blob", full), STATUS_SUCCESS);
    EXPECT_EQ(full[0], 6u);
    EXPECT_EQ(full[1], static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(Bytes(reinterpret_cast<UCHAR*>(&full[2]), reinterpret_cast<UCHAR*>(&full[2]) + 6),
              Bytes({1, 2, 3, 4, 5, 6}));
    ULONG cramped[3] = {13, 0, 0};
    EXPECT_EQ(QueryDirect(u"Svc", u"Blob", cramped), STATUS_BUFFER_TOO_SMALL);

    // Missing values that are not required take the entry's default; a
    // string default of length 0 is measured up to its terminator.
    ULONG fallback = 42;
    ULONG number = 0;
    WCHAR text[8];
    memset(text, 0xCC, sizeof(text));
    UNICODE_STRING s{0, sizeof(text), text};
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = {
        nullptr,   RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Absent"), &number, REG_DWORD,
        &fallback, sizeof(fallback)};
    table[1] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT,
                const_cast<PWSTR>(u"AbsentText"),
                &s,
                REG_SZ,
                const_cast<PWSTR>(u"OFF"),
                0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 42u);
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(std::u16string(text), u"OFF");

    // A direct entry with DELETE removes the value it read.
    table[0] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_DELETE,
                const_cast<PWSTR>(u"Start"),
                &number,
                REG_NONE,
                nullptr,
                0};
    table[1] = {};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 3u);
    EXPECT_FALSE(hk::RegistryGetValue(u"Svc", u"Start", nullptr, nullptr));
}

struct Call {
    std::u16string name; // "<null>" for a null name
    ULONG type;
    Bytes data;
    bool dataNull;
    PVOID entryContext;
};

struct Recorder {
    std::vector<Call> calls;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                PVOID entryContext) {
    auto* recorder = static_cast<Recorder*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    recorder->calls.push_back(Call{name == nullptr ? u"<null>" : name, type,
                                   bytes == nullptr ? Bytes() : Bytes(bytes, bytes + length),
                                   data == nullptr, entryContext});
    return recorder->answer;
}

TEST_F(RegistryTest, QueryRoutineTableWalk) {
    hk::RegistrySetValue(u"Svc", u"A", REG_DWORD, {1, 0, 0, 0});
    hk::RegistrySetValue(u"Svc", u"B", REG_SZ, Sz(u"x"));
    hk::RegistrySetValue(u"Svc\\Sub", u"C", REG_MULTI_SZ, {'p', 0, 0, 0, 'q', 0, 0, 0, 0, 0});

    int tagAll = 0, tagSplit = 0, tagWhole = 0, tagBare = 0, tagDefault = 0;
    ULONG fallback = 9;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Record, 0, nullptr, &tagAll, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_SUBKEY, const_cast<PWSTR>(u"Sub"), nullptr, REG_NONE, nullptr,
         0},
        {Record, 0, const_cast<PWSTR>(u"C"), &tagSplit, REG_NONE, nullptr, 0},
        {Record, RTL_QUERY_REGISTRY_NOEXPAND, const_cast<PWSTR>(u"c"), &tagWhole, REG_NONE, nullptr,
         0},
        // Back at the top key: "C" is not there.
        {nullptr, RTL_QUERY_REGISTRY_TOPKEY, nullptr, nullptr, REG_NONE, nullptr, 0},
        {Record, 0, const_cast<PWSTR>(u"C"), &tagDefault, REG_DWORD, &fallback, sizeof(fallback)},
        {Record, RTL_QUERY_REGISTRY_NOVALUE, nullptr, &tagBare, REG_NONE, nullptr, 0},
        {Record, 0, const_cast<PWSTR>(u"Missing"), &tagBare, REG_NONE, nullptr, 0},
        {},
    };
    Recorder recorder;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, &recorder, nullptr),
              STATUS_SUCCESS);

    const std::vector<Call> expected = {
        {u"A", REG_DWORD, {1, 0, 0, 0}, false, &tagAll},
        {u"B", REG_SZ, Sz(u"x"), false, &tagAll},
        // Without NOEXPAND each string of a multi-string comes on its own.
        {u"C", REG_SZ, Sz(u"p"), false, &tagSplit},
        {u"C", REG_SZ, Sz(u"q"), false, &tagSplit},
        {u"c", REG_MULTI_SZ, {'p', 0, 0, 0, 'q', 0, 0, 0, 0, 0}, false, &tagWhole},
        {u"C", REG_DWORD, {9, 0, 0, 0}, false, &tagDefault},
        {u"<null>", REG_NONE, {}, true, &tagBare},
    };
    ASSERT_EQ(recorder.calls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Call& got = recorder.calls[i];
        EXPECT_EQ(got.name, expected[i].name) << "call " << i;
        EXPECT_EQ(got.type, expected[i].type) << "call " << i;
        EXPECT_EQ(got.data, expected[i].data) << "call " << i;
        EXPECT_EQ(got.dataNull, expected[i].dataNull) << "call " << i;
        EXPECT_EQ(got.entryContext, expected[i].entryContext) << "call " << i;
    }
}

TEST_F(RegistryTest, QueryRoutineStatusEndsTheWalk) {
    hk::RegistrySetValue(u"Svc", u"A", REG_DWORD, {1, 0, 0, 0});
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Record, 0, const_cast<PWSTR>(u"A"), nullptr, REG_NONE, nullptr, 0},
        {Record, 0, const_cast<PWSTR>(u"A"), nullptr, REG_NONE, nullptr, 0},
        {},
    };
    Recorder failing;
    failing.answer = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, &failing, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failing.calls.size(), 1u);

    // A routine's STATUS_BUFFER_TOO_SMALL does not end it.
    Recorder small;
    small.answer = STATUS_BUFFER_TOO_SMALL;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, &small, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(small.calls.size(), 2u);

    // Required entries fail on a missing value, and on a key without values
    // when they ask for all values.
    RTL_QUERY_REGISTRY_TABLE required[] = {
        {Record, RTL_QUERY_REGISTRY_REQUIRED, nullptr, nullptr, REG_NONE, nullptr, 0},
        {},
    };
    ASSERT_EQ(Create(RTL_REGISTRY_SERVICES, u"Empty"), STATUS_SUCCESS);
    Recorder none;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Empty", required, &none, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // A direct entry without a name is malformed, not the end of the table.
    RTL_QUERY_REGISTRY_TABLE nameless[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, nullptr, &none, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", nameless, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
}

NTSTATUS WriteBack(PWSTR, ULONG, PVOID data, ULONG length, PVOID, PVOID) {
    return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Svc", u"Copy", REG_BINARY, data, length);
}

TEST_F(RegistryTest, QueryRoutineMayUseTheRegistry) {
    hk::RegistrySetValue(u"Svc", u"A", REG_BINARY, {5, 6, 7});
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {WriteBack, 0, const_cast<PWSTR>(u"A"), nullptr, REG_NONE, nullptr, 0},
        {},
    };
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Svc", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Svc", u"Copy"), Bytes({5, 6, 7}));
}

TEST_F(RegistryTest, ServicesAbovePassiveLevelAreFindings) {
    hk::RegistrySetValue(u"Svc", u"A", REG_DWORD, {1, 0, 0, 0});
    ULONG number = 0;
    {
        hk::IrqlScope raised(DISPATCH_LEVEL);
        Check(RTL_REGISTRY_SERVICES, u"Svc");
        Create(RTL_REGISTRY_SERVICES, u"Svc");
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Svc", u"B", REG_DWORD, &number,
                              sizeof(number));
        QueryDirect(u"Svc", u"A", &number);
    }
    const auto findings = hk::Violations();
    ASSERT_EQ(findings.size(), 4u);
    const char* services[] = {"RtlCheckRegistryKey", "RtlCreateRegistryKey",
                              "RtlWriteRegistryValue", "RtlQueryRegistryValues"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(findings[i].rule, "irql-too-high");
        EXPECT_NE(findings[i].detail.find(services[i]), std::string::npos) << findings[i].detail;
    }
    hk::ClearViolations();
}

TEST_F(RegistryTest, InjectedFailureHitsOneCallOnOneKey) {
    ASSERT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter"), STATUS_SUCCESS);
    ASSERT_EQ(Create(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\1"), STATUS_SUCCESS);
    hk::RegistryFailNext(hk::RegistryCall::WriteValue, STATUS_INSUFFICIENT_RESOURCES,
                         u"vexapcmfilter\\1");
    UCHAR data[] = {1};
    // Another key is not affected.
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VexaPCMFilter", u"0", REG_BINARY, data, 1),
        STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\1", u"0", REG_BINARY,
                                    data, 1),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(hk::RegistryGetValue(u"VexaPCMFilter\\1", u"0", nullptr, nullptr));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VexaPCMFilter\\1", u"0", REG_BINARY,
                                    data, 1),
              STATUS_SUCCESS);
}

TEST_F(RegistryTest, ControlsSeedInspectAndDelete) {
    hk::RegistrySetValue(u"A\\B\\C", u"v", REG_DWORD, {1, 0, 0, 0});
    EXPECT_TRUE(hk::RegistryKeyExists(u"a\\b"));
    EXPECT_TRUE(hk::RegistryDeleteValue(u"A\\B\\C", u"V"));
    EXPECT_FALSE(hk::RegistryDeleteValue(u"A\\B\\C", u"V"));
    EXPECT_TRUE(hk::RegistryDeleteKey(u"A\\B"));
    EXPECT_FALSE(hk::RegistryKeyExists(u"A\\B\\C"));
    EXPECT_TRUE(hk::RegistryKeyExists(u"A"));
    EXPECT_FALSE(hk::RegistryDeleteKey(u""));
    hk::RegistryClear();
    EXPECT_FALSE(hk::RegistryKeyExists(u"A"));
    EXPECT_TRUE(hk::RegistryKeyExists(u""));
}

// ---------------------------------------------------------------------------
// Registry files.

const char kHeader[] = "Windows Registry Editor Version 5.00";

TEST_F(RegistryTest, ExportGoldenFile) {
    hk::RegistrySetValue(u"VexaPCMFilter", u"0", REG_SZ, Sz(u"ON"));
    hk::RegistrySetValue(u"VexaPCMFilter", u"Start", REG_DWORD, {3, 0, 0, 0});
    // The stored form of "NO" in the settings store: not text.
    hk::RegistrySetValue(u"VexaPCMFilter\\1", u"0", REG_SZ,
                         {0xAB, 0x98, 0xBD, 0xAF, 0xBE, 0xBE, 0xC2, 0xC2, 0x00, 0x00});
    hk::RegistrySetValue(u"beta", u"", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
    hk::RegistrySetValue(u"Alpha", u"Say \"hi\" \\ bye", REG_BINARY, {0x01, 0x02, 0xFE});

    const std::string expected =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Alpha]\r\n"
        "\"Say \\\"hi\\\" \\\\ bye\"=hex:01,02,fe\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\beta]\r\n"
        "@=hex(7):61,00,00,00,00,00\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
        "VexaPCMFilter]\r\n"
        "\"0\"=\"ON\"\r\n"
        "\"Start\"=dword:00000003\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
        "VexaPCMFilter\\1]\r\n"
        "\"0\"=hex(1):ab,98,bd,af,be,be,c2,c2,00,00\r\n"
        "\r\n";
    EXPECT_EQ(hk::RegistryExport(), expected);
}

struct Seed {
    std::u16string key;
    std::u16string name;
    ULONG type;
    Bytes data;
};

// Values whose bytes a careless text form would lose.
std::vector<Seed> AwkwardValues() {
    Bytes longBinary;
    for (int i = 0; i < 200; ++i) {
        longBinary.push_back(static_cast<uint8_t>(i * 7));
    }
    return {
        {u"Svc", u"plain", REG_SZ, Sz(u"Hello, \"world\" \\ 100%")},
        {u"Svc", u"odd", REG_SZ, {0x41, 0x00, 0x42}},
        {u"Svc", u"unterminated", REG_SZ, {0x41, 0x00, 0x42, 0x00}},
        {u"Svc", u"high", REG_SZ, {0xFF, 0xFE, 0x80, 0x00, 0x00, 0x00}},
        {u"Svc", u"embedded", REG_SZ, {0x41, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00}},
        {u"Svc", u"twoTerminators", REG_SZ, {0x41, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {u"Svc", u"empty", REG_SZ, {}},
        {u"Svc", u"", REG_SZ, Sz(u"default")},
        {u"Svc", u"shortDword", REG_DWORD, {1, 2, 3}},
        {u"Svc", u"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"Svc", u"none", REG_NONE, {}},
        {u"Svc", u"custom", 0x12345, {0xAA}},
        {u"Svc\\Deep\\Er", u"long", REG_BINARY, longBinary},
        {u"Svc\\Deep", u"na\"me\\", REG_EXPAND_SZ, Sz(u"%SystemRoot%")},
        {u"Other", u"\u00e9t\u00e9", REG_SZ, Sz(u"\u00e9t\u00e9")},
    };
}

TEST_F(RegistryTest, ExportImportRoundTripKeepsEveryByte) {
    const std::vector<Seed> seeds = AwkwardValues();
    for (const Seed& s : seeds) {
        hk::RegistrySetValue(s.key, s.name, s.type, s.data);
    }
    const std::string exported = hk::RegistryExport();
    for (size_t start = 0; start < exported.size();) {
        const size_t end = exported.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 80u) << exported.substr(start, end - start);
        start = end + 2;
    }

    // The same content unwrapped and with LF line ends reads back the same.
    std::string plain;
    for (size_t i = 0; i < exported.size(); ++i) {
        if (exported.compare(i, 5, "\\\r\n  ") == 0) {
            i += 4;
        } else if (exported[i] != '\r') {
            plain.push_back(exported[i]);
        }
    }
    ASSERT_NE(plain, exported);

    for (const std::string& file : {exported, plain}) {
        hk::RegistryClear();
        hk::RegistrySetValue(u"Stale", u"x", REG_DWORD, {0, 0, 0, 0});
        std::string error;
        ASSERT_TRUE(hk::RegistryImport(file, &error)) << error;
        EXPECT_FALSE(hk::RegistryKeyExists(u"Stale"));
        for (const Seed& s : seeds) {
            ULONG type = 0;
            EXPECT_EQ(Stored(s.key, s.name, &type), s.data) << Narrow(s.name);
            EXPECT_EQ(type, s.type) << Narrow(s.name);
        }
        EXPECT_EQ(hk::RegistryExport(), exported);
    }
}

TEST_F(RegistryTest, ImportAcceptsRegeditExtras) {
    const std::string file = std::string("\xEF\xBB\xBF") + kHeader +
                             "\n\n; a comment\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\A\\B]\n"
                             "\"keep\"=dword:1\n"
                             "\"drop\"=hex:01\n"
                             "\"drop\"=-\n"
                             "[HKLM\\System\\CurrentControlSet\\Services\\Gone]\n"
                             "\"x\"=\"y\"\n"
                             "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Gone]\n";
    std::string error;
    ASSERT_TRUE(hk::RegistryImport(file, &error)) << error;
    EXPECT_EQ(Stored(u"A\\B", u"keep"), Bytes({1, 0, 0, 0}));
    EXPECT_FALSE(hk::RegistryGetValue(u"A\\B", u"drop", nullptr, nullptr));
    EXPECT_FALSE(hk::RegistryKeyExists(u"Gone"));
}

struct BadFile {
    const char* name;
    bool header;       // the file starts with the header line
    std::string body;  // after it
    const char* error; // prefix of the message
};

void PrintTo(const BadFile& c, std::ostream* os) {
    *os << c.name;
}

class RegistryBadImport : public RegistryTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(RegistryBadImport, RefusedWithLineAndNothingChanged) {
    const BadFile& c = GetParam();
    hk::RegistrySetValue(u"VexaPCMFilter", u"0", REG_SZ, Sz(u"ON"));
    const std::string before = hk::RegistryExport();
    std::string error;
    const std::string file = (c.header ? kHeader + std::string("\r\n") : std::string()) + c.body;
    EXPECT_FALSE(hk::RegistryImport(file, &error));
    EXPECT_EQ(error.compare(0, strlen(c.error), c.error), 0) << error;
    EXPECT_EQ(hk::RegistryExport(), before);
}

#define KEY_LINE "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\X]\r\n"

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryBadImport,
    ::testing::Values(
        BadFile{"NoHeader", false, KEY_LINE, "line 1:"},
        BadFile{"ValueBeforeKey", true, "\r\n\"a\"=dword:00000001\r\n", "line 3:"},
        BadFile{"KeyOutsideServices", true, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n", "line 2:"},
        BadFile{"KeyWithoutBracket", true,
                "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\r\n", "line 2:"},
        BadFile{"BadHexByte", true, KEY_LINE "\"a\"=hex:01,1g\r\n", "line 3:"},
        BadFile{"HexByteTooWide", true, KEY_LINE "\"a\"=hex:100\r\n", "line 3:"},
        BadFile{"BadDword", true, KEY_LINE "\"a\"=dword:123456789\r\n", "line 3:"},
        BadFile{"UnknownForm", true, KEY_LINE "\"a\"=qword:1\r\n", "line 3:"},
        BadFile{"UnterminatedString", true, KEY_LINE "\"a\"=\"abc\r\n", "line 3:"},
        BadFile{"BadEscape", true, KEY_LINE "\"a\"=\"a\\n\"\r\n", "line 3:"},
        BadFile{"DanglingContinuation", true, KEY_LINE "\"a\"=hex:01,\\\r\n", "line 3:"},
        BadFile{"StrayText", true, KEY_LINE "garbage\r\n", "line 3:"}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return info.param.name; });

} // namespace
