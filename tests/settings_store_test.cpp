// The protected settings store: the registry bytes a store writes, what a load
// makes of stored, tampered and malformed values, and the partial state a
// failing store leaves.

#include <fstream>
#include <sstream>

#include "common/setting_codec.h"
#include "common/setting_signing.h"
#include "driver_fixture.h"
#include "golden/settings_vectors.h"
#include "kernel/host/registry_control.h"

// Golden vectors print as their test names.
void PrintTo(const SettingsVector& v, std::ostream* os) {
    *os << v.Name;
}

namespace {

typedef std::vector<uint8_t> Bytes;

const ULONG kBlockModeWorkTag = 0x53544131; // "1ATS"
const ULONG kReadOnlyWorkTag = 0x00524F31;  // "1OR" and a zero byte
const ULONG kDecodeTag = 0x44656331;        // "1ceD"
const uint8_t kPoison = 0xA5;

enum Setting { kBlockMode = 0, kReadOnly = 1 };
enum Item { kValue = 0, kMac = 1, kSalt = 2 };

const char* const kSettingNames[] = {"BlockMode", "ReadOnly"};
const char* const kItemNames[] = {"Value", "Mac", "Salt"};

// Where each item of each setting lives.
struct Place {
    const char16_t* Key;
    const char16_t* Name;
};

Place PlaceOf(int setting, int item) {
    static const Place places[2][3] = {
        {{u"VexaPCMFilter", u"0"}, {u"VexaPCMFilter\\1", u"0"}, {u"VexaPCMFilter\\2", u"0"}},
        {{u"VexaPCMFilter", u"1"}, {u"VexaPCMFilter\\1", u"257"}, {u"VexaPCMFilter\\2", u"1"}},
    };
    return places[setting][item];
}

// The bytes a load reads each item into: the value buffer of the load, the
// 40-byte MAC buffer and the 20-byte salt buffer.
USHORT ReadCapacity(int setting, int item) {
    if (item == kValue) {
        return setting == kBlockMode ? 40 : 20;
    }
    return item == kMac ? 40 : 20;
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back((uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

Bytes Utf16(const std::u16string& text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back((uint8_t)(unit & 0xFF));
        bytes.push_back((uint8_t)(unit >> 8));
    }
    return bytes;
}

// The stored form of a payload and back (the codec has tests of its own).
Bytes Stored(const Bytes& payload) {
    Bytes data((payload.size() + 2) / 3 * 4 + 2, 0);
    ULONG size = (ULONG)payload.size();
    EncodeSettingValue(payload.data(), data.data(), &size);
    data.resize(size + 2);
    return data;
}

Bytes Unstored(Bytes data) {
    Bytes payload(data.size() / 4 * 3 + 3, 0);
    ULONG size = (ULONG)data.size() - 2;
    EXPECT_EQ(DecodeSettingValue(data.data(), payload.data(), &size), STATUS_SUCCESS);
    payload.resize(size);
    return payload;
}

class SettingsStoreTest : public DriverTest {
protected:
    NTSTATUS Store(int setting, const char16_t* text, int milliseconds) {
        hk::SetLocalMilliseconds(milliseconds);
        return setting == kBlockMode ? StoreBlockMode(text) : StoreReadOnly(text);
    }

    // The settings in force after a load: BlockMode and ReadOnlyActive, and
    // ReadOnlyConfigured, which a load sets to ReadOnlyActive.
    struct Loaded {
        int Mode;
        int ReadOnly;
        bool operator==(const Loaded& other) const {
            return Mode == other.Mode && ReadOnly == other.ReadOnly;
        }
    };

    Loaded Load() {
        LoadSettings();
        EXPECT_EQ(DriverState.ReadOnlyConfigured, DriverState.ReadOnlyActive);
        return {(int)DriverState.BlockMode, (int)DriverState.ReadOnlyActive};
    }

    static int Of(const Loaded& loaded, int setting) {
        return setting == kBlockMode ? loaded.Mode : loaded.ReadOnly;
    }

    // The registry data of an item; absent: false.
    static bool Get(int setting, int item, Bytes* data) {
        ULONG type = REG_NONE;
        const Place place = PlaceOf(setting, item);
        if (!hk::RegistryGetValue(place.Key, place.Name, &type, data)) {
            return false;
        }
        EXPECT_EQ(type, (ULONG)REG_SZ);
        return true;
    }

    static Bytes Data(int setting, int item) {
        Bytes data;
        EXPECT_TRUE(Get(setting, item, &data)) << kSettingNames[setting] << kItemNames[item];
        return data;
    }

    static void Put(int setting, int item, ULONG type, const Bytes& data) {
        const Place place = PlaceOf(setting, item);
        hk::RegistrySetValue(place.Key, place.Name, type, data);
    }

    // Both settings stored and in force: ALLBLOCK and YES.
    void StoreBoth() {
        ASSERT_EQ(Store(kBlockMode, u"ALLBLOCK", kAllBlockMilliseconds), STATUS_SUCCESS);
        ASSERT_EQ(Store(kReadOnly, u"YES", kYesMilliseconds), STATUS_SUCCESS);
        ASSERT_EQ(Load(), (Loaded{BlockModeAllBlock, 1}));
    }

    // After one setting was spoilt: it is unset, the other still in force.
    void ExpectOnlyUnset(int spoilt) {
        const Loaded loaded = Load();
        EXPECT_EQ(Of(loaded, spoilt), 0) << kSettingNames[spoilt] << " still in force";
        const int other = 1 - spoilt;
        EXPECT_EQ(Of(loaded, other), other == kBlockMode ? BlockModeAllBlock : 1)
            << kSettingNames[other] << " lost";
    }
};

// ---------------------------------------------------------------------------
// Golden vectors: tests/golden/make_settings_vectors.py computes the registry
// bytes with Python's base64 and hmac (RFC 4648, RFC 2104).

class SettingsGolden : public SettingsStoreTest,
                       public ::testing::WithParamInterface<SettingsVector> {};

TEST_P(SettingsGolden, StoreWritesTheseBytesAndLoadReadsThem) {
    const SettingsVector& v = GetParam();
    const Bytes expected[3] = {FromHex(v.Value), FromHex(v.Mac), FromHex(v.Salt)};

    // A registry filled with the bytes loads as the independent model says;
    // a digest with a zero unit is stored cut and does not verify.
    for (int item = kValue; item <= kSalt; item++) {
        Put(v.Setting, item, REG_SZ, expected[item]);
    }
    EXPECT_EQ(Of(Load(), v.Setting), v.Loaded);

    // The status query's 20-byte buffer leaves a salt out that does not fit
    // behind the text, and then the MAC does not match.
    WCHAR buffer[10] = {};
    UNICODE_STRING value = {0, sizeof(buffer), buffer};
    const Place place = PlaceOf(v.Setting, kMac);
    EXPECT_EQ(VerifyProtectedSetting(PlaceOf(v.Setting, kValue).Name, place.Name, &value) != FALSE,
              v.VerifiesInStatusQuery);

    // A store at the same clock writes exactly these bytes.
    hk::RegistryClear();
    ASSERT_EQ(Store(v.Setting, v.Text, v.Milliseconds), STATUS_SUCCESS);
    for (int item = kValue; item <= kSalt; item++) {
        EXPECT_EQ(Data(v.Setting, item), expected[item]) << kItemNames[item];
    }
    EXPECT_EQ(Of(Load(), v.Setting), v.Loaded);
}

INSTANTIATE_TEST_SUITE_P(, SettingsGolden, ::testing::ValuesIn(kSettingsVectors),
                         [](const ::testing::TestParamInfo<SettingsVector>& info) {
                             return std::string(info.param.Name);
                         });

std::string ReadGoldenFile(const std::string& name) {
    std::ifstream file(std::string(PCMF_GOLDEN_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file.good()) << name;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The registry after storing ALLBLOCK and YES persists byte for byte as the
// independent generator wrote it, and a registry read from that file gives
// the driver both settings.
TEST_F(SettingsStoreTest, RegistryFileOfAllBlockAndYes) {
    const std::string golden = ReadGoldenFile("allblock_yes.reg");
    ASSERT_EQ(Store(kBlockMode, u"ALLBLOCK", kAllBlockMilliseconds), STATUS_SUCCESS);
    ASSERT_EQ(Store(kReadOnly, u"YES", kYesMilliseconds), STATUS_SUCCESS);
    EXPECT_EQ(hk::RegistryExport(), golden);

    hk::RegistryClear();
    std::string error;
    ASSERT_TRUE(hk::RegistryImport(golden, &error)) << error;
    LoadSettings();
    EXPECT_EQ(DriverState.BlockMode, BlockModeAllBlock);
    EXPECT_EQ(DriverState.ReadOnlyActive, 1);
    EXPECT_EQ(DriverState.ReadOnlyConfigured, 1);
}

// ---------------------------------------------------------------------------
// Stores and loads.

// Nothing stored means nothing in force; a store acts only at the next load.
TEST_F(SettingsStoreTest, StoreTakesEffectAtTheNextLoad) {
    EXPECT_EQ(Load(), (Loaded{BlockModeNone, 0}));

    ASSERT_EQ(Store(kBlockMode, u"ALLBLOCK", 1), STATUS_SUCCESS);
    ASSERT_EQ(Store(kReadOnly, u"YES", 2), STATUS_SUCCESS);
    EXPECT_EQ(DriverState.BlockMode, BlockModeNone);
    EXPECT_EQ(DriverState.ReadOnlyActive, 0);
    EXPECT_EQ(Load(), (Loaded{BlockModeAllBlock, 1}));

    ASSERT_EQ(Store(kBlockMode, u"OFF", 3), STATUS_SUCCESS);
    ASSERT_EQ(Store(kReadOnly, u"NO", 4), STATUS_SUCCESS);
    EXPECT_EQ(DriverState.BlockMode, BlockModeAllBlock);
    EXPECT_EQ(DriverState.ReadOnlyActive, 1);
    EXPECT_EQ(Load(), (Loaded{BlockModeNone, 0}));
}

// A digest stored cut does not verify; storing again draws a new salt, and
// with it a digest that is stored whole.
TEST_F(SettingsStoreTest, StoringAgainAfterACutMac) {
    for (const SettingsVector& v : kSettingsVectors) {
        if (FromHex(v.Mac).size() == 30) {
            continue;
        }
        SCOPED_TRACE(v.Name);
        ASSERT_EQ(Store(v.Setting, v.Text, v.Milliseconds), STATUS_SUCCESS);
        EXPECT_EQ(Of(Load(), v.Setting), 0);
        ASSERT_EQ(Store(v.Setting, v.Text, v.Milliseconds + 1), STATUS_SUCCESS);
        EXPECT_EQ(Of(Load(), v.Setting), v.Setting == kBlockMode ? BlockModeAllBlock : 1);
    }
}

struct PrefixCase {
    const char* Name;
    int Setting;
    const char16_t* Text;
    int Loaded;
};

void PrintTo(const PrefixCase& c, std::ostream* os) {
    *os << c.Name;
}

// A validly signed text counts by its case-sensitive prefix.
const PrefixCase kPrefixCases[] = {
    {"OnFollowedByMore", kBlockMode, u"ONWARD", BlockModeOn},
    {"BlockFollowedByMore", kBlockMode, u"BLOCKADE", BlockModeBlock},
    {"AllBlockFollowedByMore", kBlockMode, u"ALLBLOCKXYZ", BlockModeAllBlock},
    {"AllBlockInLowerCase", kBlockMode, u"allblock", BlockModeNone},
    {"OnInMixedCase", kBlockMode, u"On", BlockModeNone},
    {"KeywordNotAtTheStart", kBlockMode, u"XALLBLOCK", BlockModeNone},
    {"YesFollowedByMore", kReadOnly, u"YESSIR", 1},
    {"YesInLowerCase", kReadOnly, u"yes", 0},
    {"YesInMixedCase", kReadOnly, u"Yes", 0},
};

class SettingsPrefix : public SettingsStoreTest,
                       public ::testing::WithParamInterface<PrefixCase> {};

TEST_P(SettingsPrefix, VerifiedTextCountsByPrefix) {
    ASSERT_EQ(Store(GetParam().Setting, GetParam().Text, 321), STATUS_SUCCESS);
    EXPECT_EQ(Of(Load(), GetParam().Setting), GetParam().Loaded);
}

INSTANTIATE_TEST_SUITE_P(, SettingsPrefix, ::testing::ValuesIn(kPrefixCases),
                         [](const ::testing::TestParamInfo<PrefixCase>& info) {
                             return std::string(info.param.Name);
                         });

// Only the first 20 bytes of the MAC are compared: more bytes behind them are
// accepted as long as they fit the 40-byte MAC buffer; 41 do not.
TEST_F(SettingsStoreTest, MacWithTrailingBytesThatFitVerifies) {
    StoreBoth();
    const Bytes mac = Unstored(Data(kBlockMode, kMac));
    ASSERT_EQ(mac.size(), (size_t)SETTING_MAC_SIZE);
    for (size_t size : {39, 40, 41}) {
        Bytes longer = mac;
        longer.resize(size, 0x5A);
        Put(kBlockMode, kMac, REG_SZ, Stored(longer));
        EXPECT_EQ(Load().Mode, size <= 40 ? BlockModeAllBlock : BlockModeNone) << size;
    }
}

// The longest salt a read takes, nine digits (18 bytes: whole groups of 3
// decoded bytes within the 20-byte buffer), is read whole and signs as any
// other salt.
TEST_F(SettingsStoreTest, LongestSaltIsReadWhole) {
    StoreBoth();
    Bytes message = Utf16(u"ALLBLOCK123456789");
    UCHAR mac[SETTING_MAC_SIZE];
    ComputeSettingMac(message.data(), (ULONG)message.size(), mac);
    ASSERT_EQ(SettingMacPayloadSize(mac), (ULONG)SETTING_MAC_SIZE);
    Put(kBlockMode, kMac, REG_SZ, Stored(Bytes(mac, mac + SETTING_MAC_SIZE)));
    Put(kBlockMode, kSalt, REG_SZ, Stored(Utf16(u"123456789")));
    EXPECT_EQ(Load(), (Loaded{BlockModeAllBlock, 1}));
}

// A load that cannot have a decode buffer reads that item as missing: the
// first read, the block mode's MAC, fails and only that setting is unset.
TEST_F(SettingsStoreTest, DecodeBufferFailureUnsetsThatSetting) {
    StoreBoth();
    hk::FailNextAllocationWithTag(kDecodeTag);
    ExpectOnlyUnset(kBlockMode);
}

// ---------------------------------------------------------------------------
// Tampering: any one item replaced by the encoding of other bytes, or deleted.

struct TamperCase {
    int Setting;
    int Item;
    bool Delete;
};

void PrintTo(const TamperCase& c, std::ostream* os) {
    *os << kSettingNames[c.Setting] << kItemNames[c.Item] << (c.Delete ? "Deleted" : "Replaced");
}

class SettingsTampering : public SettingsStoreTest,
                          public ::testing::WithParamInterface<TamperCase> {};

TEST_P(SettingsTampering, OnlyThatSettingIsUnset) {
    const TamperCase& c = GetParam();
    StoreBoth();
    if (c.Delete) {
        const Place place = PlaceOf(c.Setting, c.Item);
        ASSERT_TRUE(hk::RegistryDeleteValue(place.Key, place.Name));
    } else {
        Bytes payload = Unstored(Data(c.Setting, c.Item));
        ASSERT_FALSE(payload.empty());
        payload[0] ^= 0x01;
        Put(c.Setting, c.Item, REG_SZ, Stored(payload));
    }
    ExpectOnlyUnset(c.Setting);
}

std::vector<TamperCase> TamperCases() {
    std::vector<TamperCase> cases;
    for (int setting : {kBlockMode, kReadOnly}) {
        for (int item : {kValue, kMac, kSalt}) {
            cases.push_back({setting, item, false});
            cases.push_back({setting, item, true});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(, SettingsTampering, ::testing::ValuesIn(TamperCases()),
                         [](const ::testing::TestParamInfo<TamperCase>& info) {
                             return std::string(kSettingNames[info.param.Setting]) +
                                    kItemNames[info.param.Item] +
                                    (info.param.Delete ? "Deleted" : "Replaced");
                         });

// ---------------------------------------------------------------------------
// Data this store never writes, under any of the six names: never read or
// decoded past a buffer, and read as missing.

enum Shape {
    kBinary,           // REG_BINARY with the stored bytes
    kExpandString,     // REG_EXPAND_SZ with the stored bytes
    kMultiString,      // REG_MULTI_SZ: the stored bytes as its one string
    kDword,            // REG_DWORD
    kEmpty,            // REG_SZ of 0 bytes
    kOneByte,          // REG_SZ of a single zero byte
    kOddLength,        // the stored bytes and one zero byte more
    kNoTerminator,     // the stored bytes without their zero unit
    kLongerThanBuffer, // encoded text one group larger than the read can hold
    kDecodesPastBuffer // fits the read, but decodes to more than the item's buffer
};

const char* const kShapeNames[] = {"Binary",
                                   "ExpandString",
                                   "MultiString",
                                   "Dword",
                                   "Empty",
                                   "OneByte",
                                   "OddLength",
                                   "NoTerminator",
                                   "LongerThanBuffer",
                                   "DecodesPastBuffer"};

struct ShapeCase {
    int Setting;
    int Item;
    Shape Form;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << kSettingNames[c.Setting] << kItemNames[c.Item] << kShapeNames[c.Form];
}

// Registry data of the given shape, from the item's stored bytes.
void MakeData(Shape shape, const Bytes& stored, USHORT capacity, ULONG* type, Bytes* data) {
    *type = REG_SZ;
    *data = stored;
    // The read's buffer holds capacity * 4 / 3 + 10 bytes; an encoded 'A' is 0xBE.
    const size_t readSize = (size_t)capacity * 4 / 3 + 10;
    switch (shape) {
    case kBinary:
        *type = REG_BINARY;
        break;
    case kExpandString:
        *type = REG_EXPAND_SZ;
        break;
    case kMultiString:
        *type = REG_MULTI_SZ;
        data->push_back(0);
        data->push_back(0);
        break;
    case kDword:
        *type = REG_DWORD;
        *data = {0x41, 0x41, 0x41, 0x41};
        break;
    case kEmpty:
        data->clear();
        break;
    case kOneByte:
        *data = {0};
        break;
    case kOddLength:
        data->push_back(0);
        break;
    case kNoTerminator:
        data->resize(data->size() - 2);
        break;
    case kLongerThanBuffer:
        *data = Bytes((readSize - 2) / 4 * 4 + 4, 0xBE);
        data->insert(data->end(), {0, 0});
        break;
    case kDecodesPastBuffer:
        // The longest whole groups the read holds: 45 bytes for a 40-byte
        // buffer, 24 for a 20-byte one.
        *data = Bytes((readSize - 2) / 4 * 4, 0xBE);
        data->insert(data->end(), {0, 0});
        EXPECT_GT((data->size() - 2) / 4 * 3, capacity);
        break;
    }
}

class SettingsUnwrittenShapes : public SettingsStoreTest,
                                public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(SettingsUnwrittenShapes, ReadAsMissingWithoutOverrun) {
    const ShapeCase& c = GetParam();
    const USHORT capacity = ReadCapacity(c.Setting, c.Item);
    StoreBoth();
    ULONG type = REG_NONE;
    Bytes data;
    MakeData(c.Form, Data(c.Setting, c.Item), capacity, &type, &data);
    Put(c.Setting, c.Item, type, data);

    // Read into a poisoned buffer of the item's capacity: refused, empty, and
    // not a byte written, neither inside the buffer nor behind it.
    Bytes buffer(capacity + 8, kPoison);
    UNICODE_STRING destination = {0, capacity, reinterpret_cast<PWSTR>(buffer.data())};
    const Place place = PlaceOf(c.Setting, c.Item);
    EXPECT_FALSE(
        NT_SUCCESS(ReadProtectedValue(RTL_REGISTRY_SERVICES, place.Key, place.Name, &destination)));
    EXPECT_EQ(destination.Length, 0);
    EXPECT_EQ(destination.MaximumLength, capacity);
    EXPECT_EQ(buffer, Bytes(capacity + 8, kPoison));

    ExpectOnlyUnset(c.Setting);
}

std::vector<ShapeCase> ShapeCases() {
    std::vector<ShapeCase> cases;
    for (int setting : {kBlockMode, kReadOnly}) {
        for (int item : {kValue, kMac, kSalt}) {
            for (int shape = kBinary; shape <= kDecodesPastBuffer; shape++) {
                cases.push_back({setting, item, (Shape)shape});
            }
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(, SettingsUnwrittenShapes, ::testing::ValuesIn(ShapeCases()),
                         [](const ::testing::TestParamInfo<ShapeCase>& info) {
                             return std::string(kSettingNames[info.param.Setting]) +
                                    kItemNames[info.param.Item] + kShapeNames[info.param.Form];
                         });

// ---------------------------------------------------------------------------
// Failing stores: the first failure ends the store with its status, and what
// was written before it stays.

enum Expect { kOld, kNew, kAbsent };

enum FaultKind { kWorkBuffer, kNthAllocation, kRegistry };

struct FaultCase {
    const char* Name;
    FaultKind Kind;
    uint64_t Nth;          // kNthAllocation: counted from the store's start
    hk::RegistryCall Call; // kRegistry
    const char16_t* Key;   // kRegistry
    bool EmptyRegistry;    // no earlier store: the keys must be created
    NTSTATUS Status;       // injected, and returned by the store
    Expect Items[3];       // value, MAC, salt afterwards
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.Name;
}

// The store allocates its work buffer, then one encode buffer per write.
const FaultCase kFaultCases[] = {
    {"WorkBuffer",
     kWorkBuffer,
     0,
     {},
     nullptr,
     false,
     STATUS_INSUFFICIENT_RESOURCES,
     {kOld, kOld, kOld}},
    {"ValueEncodeBuffer",
     kNthAllocation,
     2,
     {},
     nullptr,
     false,
     STATUS_INSUFFICIENT_RESOURCES,
     {kOld, kOld, kOld}},
    {"MacEncodeBuffer",
     kNthAllocation,
     3,
     {},
     nullptr,
     false,
     STATUS_INSUFFICIENT_RESOURCES,
     {kNew, kOld, kOld}},
    {"SaltEncodeBuffer",
     kNthAllocation,
     4,
     {},
     nullptr,
     false,
     STATUS_INSUFFICIENT_RESOURCES,
     {kNew, kNew, kOld}},
    {"ValueKeyCheck",
     kRegistry,
     0,
     hk::RegistryCall::CheckKey,
     u"VexaPCMFilter",
     false,
     STATUS_ACCESS_DENIED,
     {kOld, kOld, kOld}},
    {"MacKeyCheck",
     kRegistry,
     0,
     hk::RegistryCall::CheckKey,
     u"VexaPCMFilter\\1",
     false,
     STATUS_ACCESS_DENIED,
     {kNew, kOld, kOld}},
    {"SaltKeyCheck",
     kRegistry,
     0,
     hk::RegistryCall::CheckKey,
     u"VexaPCMFilter\\2",
     false,
     STATUS_ACCESS_DENIED,
     {kNew, kNew, kOld}},
    {"ValueKeyCreation",
     kRegistry,
     0,
     hk::RegistryCall::CreateKey,
     u"VexaPCMFilter",
     true,
     STATUS_ACCESS_DENIED,
     {kAbsent, kAbsent, kAbsent}},
    {"MacKeyCreation",
     kRegistry,
     0,
     hk::RegistryCall::CreateKey,
     u"VexaPCMFilter\\1",
     true,
     STATUS_ACCESS_DENIED,
     {kNew, kAbsent, kAbsent}},
    {"SaltKeyCreation",
     kRegistry,
     0,
     hk::RegistryCall::CreateKey,
     u"VexaPCMFilter\\2",
     true,
     STATUS_ACCESS_DENIED,
     {kNew, kNew, kAbsent}},
    {"ValueWrite",
     kRegistry,
     0,
     hk::RegistryCall::WriteValue,
     u"VexaPCMFilter",
     false,
     STATUS_MEDIA_WRITE_PROTECTED,
     {kOld, kOld, kOld}},
    {"MacWrite",
     kRegistry,
     0,
     hk::RegistryCall::WriteValue,
     u"VexaPCMFilter\\1",
     false,
     STATUS_MEDIA_WRITE_PROTECTED,
     {kNew, kOld, kOld}},
    {"SaltWrite",
     kRegistry,
     0,
     hk::RegistryCall::WriteValue,
     u"VexaPCMFilter\\2",
     false,
     STATUS_MEDIA_WRITE_PROTECTED,
     {kNew, kNew, kOld}},
};

class SettingsStoreFaults : public SettingsStoreTest,
                            public ::testing::WithParamInterface<std::tuple<FaultCase, int>> {};

TEST_P(SettingsStoreFaults, FirstFailureEndsTheStore) {
    const FaultCase& c = std::get<0>(GetParam());
    const int setting = std::get<1>(GetParam());
    const char16_t* oldText = setting == kBlockMode ? u"OFF" : u"NO";
    const char16_t* newText = setting == kBlockMode ? u"ALLBLOCK" : u"YES";

    // The bytes of the old and of the new store, each made undisturbed.
    Bytes oldData[3];
    Bytes newData[3];
    ASSERT_EQ(Store(setting, newText, 222), STATUS_SUCCESS);
    for (int item = kValue; item <= kSalt; item++) {
        newData[item] = Data(setting, item);
    }
    hk::RegistryClear();
    if (!c.EmptyRegistry) {
        ASSERT_EQ(Store(setting, oldText, 111), STATUS_SUCCESS);
        for (int item = kValue; item <= kSalt; item++) {
            oldData[item] = Data(setting, item);
        }
    }

    switch (c.Kind) {
    case kWorkBuffer:
        hk::FailNextAllocationWithTag(setting == kBlockMode ? kBlockModeWorkTag : kReadOnlyWorkTag);
        break;
    case kNthAllocation:
        hk::FailNthAllocation(c.Nth);
        break;
    case kRegistry:
        hk::RegistryFailNext(c.Call, c.Status, c.Key);
        break;
    }
    EXPECT_EQ(Store(setting, newText, 222), c.Status);

    for (int item = kValue; item <= kSalt; item++) {
        SCOPED_TRACE(kItemNames[item]);
        Bytes data;
        const bool present = Get(setting, item, &data);
        switch (c.Items[item]) {
        case kOld:
            EXPECT_TRUE(present && data == oldData[item]) << "the earlier store's bytes are gone";
            break;
        case kNew:
            EXPECT_TRUE(present && data == newData[item]) << "the new bytes are not there";
            break;
        case kAbsent:
            EXPECT_FALSE(present);
            break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, SettingsStoreFaults,
                         ::testing::Combine(::testing::ValuesIn(kFaultCases),
                                            ::testing::Values(kBlockMode, kReadOnly)),
                         [](const ::testing::TestParamInfo<std::tuple<FaultCase, int>>& info) {
                             return std::string(kSettingNames[std::get<1>(info.param)]) +
                                    std::get<0>(info.param).Name;
                         });

// A store that stopped behind the value text leaves the earlier MAC and salt,
// which still sign the same text: the setting stays in force.
TEST_F(SettingsStoreTest, StoreOfTheSameTextStoppedBehindTheValueStillVerifies) {
    StoreBoth();
    hk::RegistryFailNext(hk::RegistryCall::WriteValue, STATUS_MEDIA_WRITE_PROTECTED,
                         u"VexaPCMFilter\\1");
    EXPECT_EQ(Store(kBlockMode, u"ALLBLOCK", 5), STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(Load(), (Loaded{BlockModeAllBlock, 1}));
}

} // namespace
