// The registry data under the six setting names, as anyone with access to the
// service key can leave it: any type, any length, any bytes, items missing,
// and settings the driver stored itself and that were then altered, cut short
// or deleted item by item.  A bus filter's creation loads the settings, then
// the service asks for the status and the read-only switch.
//
// The settings inspector (the service's tool) reads the same registry by the
// same rules, independently of the driver's buffers and registry calls: a
// setting the driver applies must be one the inspector verifies, and one the
// inspector cannot verify must leave the driver at its unset value.

#include <cstring>

#include "fuzz/fuzz_support.h"
#include "include/pcmfilter_ioctl.h"
#include "kernel/host/registry_control.h"
#include "sys/driver.h"
#include "tools/pcmfilterctl/settings_inspector.h"

namespace {

struct Item {
    const char16_t* key;
    const char16_t* name;
};

const Item kItems[6] = {
    {u"VexaPCMFilter", u"0"}, {u"VexaPCMFilter\\1", u"0"},   {u"VexaPCMFilter\\2", u"0"},
    {u"VexaPCMFilter", u"1"}, {u"VexaPCMFilter\\1", u"257"}, {u"VexaPCMFilter\\2", u"1"},
};

const ULONG kTypes[] = {REG_SZ,       REG_SZ,     REG_SZ,    REG_EXPAND_SZ,
                        REG_MULTI_SZ, REG_BINARY, REG_DWORD, REG_NONE};

const WCHAR* const kModes[] = {WIDE("OFF"), WIDE("ALLBLOCK"), WIDE("ON"), WIDE("BLOCK")};
const WCHAR* const kSwitches[] = {WIDE("YES"), WIDE("NO")};

// Alters one stored item as the input says.
void Alter(const Item& item, fuzz::Input& input) {
    const uint8_t op = input.U8() % 6;
    ULONG type = REG_SZ;
    std::vector<uint8_t> bytes;
    const bool present = hk::RegistryGetValue(item.key, item.name, &type, &bytes);
    switch (op) {
    case 0:
        return; // left as it is
    case 1:
        hk::RegistryDeleteValue(item.key, item.name);
        return;
    case 2: { // replaced by anything
        const uint8_t pick = input.U8();
        type = pick < 0xF0 ? kTypes[pick % 8] : input.U32();
        const uint16_t length = input.U16() % 600;
        bytes = input.Bytes(length);
        bytes.resize(length, 0);
        break;
    }
    case 3: // one byte changed
        if (!present || bytes.empty()) {
            return;
        }
        bytes[input.U16() % bytes.size()] ^= static_cast<uint8_t>(input.U8() | 1);
        break;
    case 4: // cut short, or grown by zeros or other bytes
        bytes.resize(input.U8(), input.U8());
        break;
    default: // same bytes, another type
        type = kTypes[input.U8() % 8];
        break;
    }
    hk::RegistrySetValue(item.key, item.name, type, bytes);
}

ULONG Query(PFILE_OBJECT file, ULONG code, ULONG outputLength, hk::Process* service) {
    hk::ProcessScope scope(service);
    hk::IoResult result = hk::DeviceControl(file, code, {}, outputLength);
    fuzz::Require(result.status == STATUS_SUCCESS && result.output.size() == outputLength,
                  "the query answers in full");
    ULONG value = 0;
    memcpy(&value, result.output.data() + outputLength - sizeof(ULONG), sizeof(value));
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    PDRIVER_OBJECT driver = fuzz::LoadFilterDriver();

    // The registry: settings the driver stored (at any millisecond), then
    // each of the six items altered or not.
    const uint8_t start = input.U8();
    if ((start & 1) != 0) {
        hk::SetLocalMilliseconds(input.U16() % 1000);
        StoreBlockMode(kModes[(start >> 1) % 4]);
        StoreReadOnly(kSwitches[(start >> 3) % 2]);
    }
    for (const Item& item : kItems) {
        Alter(item, input);
    }

    // A bus appears: its filter's creation loads the settings.
    PDRIVER_OBJECT pcmcia = fuzz::LoadFakeDriver("pcmcia");
    PDEVICE_OBJECT busPdo = fuzz::CreateFakeDevice(pcmcia, "bus pdo", [](PDEVICE_OBJECT, PIRP irp) {
        return fuzz::Complete(irp, STATUS_SUCCESS);
    });
    fuzz::Require(hk::CallAddDevice(driver, busPdo) == STATUS_SUCCESS, "the bus filter is added");
    const BLOCK_MODE mode = DriverState.BlockMode;
    const BOOLEAN readOnly = DriverState.ReadOnlyActive;
    fuzz::Require(mode <= BlockModeAllBlock, "the block mode is one of the four");
    fuzz::Require(DriverState.ReadOnlyConfigured == readOnly,
                  "a load sets the configured switch with the active one");

    bool blockVerified = false;
    bool readOnlyVerified = false;
    bool statusSeesSetting = false;
    for (const ctl::SettingReport& report : ctl::InspectSettings()) {
        const bool blockMode = report.setting == "block mode";
        (blockMode ? blockVerified : readOnlyVerified) = report.verified;
        statusSeesSetting = statusSeesSetting || report.statusVerified;
    }
    fuzz::Require(blockVerified || mode == BlockModeNone,
                  "a block mode the inspector cannot verify is unset in the driver");
    fuzz::Require(readOnlyVerified || !readOnly,
                  "a read-only switch the inspector cannot verify is off in the driver");

    // The service asks for the status and the switch.
    fuzz::Require(CreateControlDevice(busPdo->AttachedDevice) == STATUS_SUCCESS,
                  "the control device exists");
    hk::Process* service = hk::CreateProcess("service", hk::Identity::LocalSystem);
    PFILE_OBJECT file = nullptr;
    {
        hk::ProcessScope scope(service);
        hk::OpenResult open = hk::OpenDevice(u"\\DosDevices\\VexaFil2");
        fuzz::Require(open.status == STATUS_SUCCESS, "the service opens the control device");
        file = open.file;
    }
    const ULONG protection = Query(file, IOCTL_PCMCIA_FILTER_GET_STATUS, 8, service);
    fuzz::Require(protection <= 3, "the protection state is one of the four");
    fuzz::Require(statusSeesSetting || protection == 0,
                  "without a verified setting the status reports the unset protection");
    fuzz::Require(Query(file, IOCTL_PCMCIA_FILTER_GET_READONLY, 4, service) == (readOnly ? 1u : 0u),
                  "the switch read back is the one loaded");
    {
        hk::ProcessScope scope(service);
        hk::CloseFile(file);
    }
    hk::DestroyProcess(service);
    while (DriverState.ControlRefCount > 0) {
        DeleteControlDevice();
    }
    fuzz::RemoveFilterDevices(driver);
    fuzz::DestroyFakeDevice(busPdo);
    hk::UnloadDriver(pcmcia);
    hk::UnloadDriver(driver);
    fuzz::RequireCleanAndReset();
    return 0;
}
