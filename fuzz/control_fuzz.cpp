// Control requests as any caller can send them: any control code, any input
// and output length, any input bytes, from a service running as local
// system, an administrator or a plain user, with event handles of every kind
// (its own event with full or too little access, a kernel handle, a handle to
// something that is no event, another process's event) planted in the input.
// Each answer must be the one the control interface defines for that request,
// and nothing may be held after the service closes its handle.

#include <cstring>

#include "fuzz/fuzz_support.h"
#include "include/pcmfilter_ioctl.h"
#include "sys/driver.h"

namespace {

const ULONG kCodes[] = {
    IOCTL_PCMCIA_FILTER_RESUME,
    IOCTL_PCMCIA_FILTER_SUSPEND,
    IOCTL_PCMCIA_FILTER_REBASELINE,
    IOCTL_PCMCIA_FILTER_SET_OFF,
    IOCTL_PCMCIA_FILTER_SET_ALLBLOCK,
    IOCTL_PCMCIA_FILTER_SET_READONLY,
    IOCTL_PCMCIA_FILTER_CLEAR_READONLY,
    IOCTL_PCMCIA_FILTER_GET_READONLY,
    IOCTL_PCMCIA_FILTER_SET_EVENT,
    IOCTL_PCMCIA_FILTER_CLEAR_EVENT,
    IOCTL_PCMCIA_FILTER_GET_STATUS,
    IOCTL_SCSI_PASS_THROUGH,
    IOCTL_DISK_IS_WRITABLE,
};
const size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);
const hk::Identity kIdentities[] = {hk::Identity::LocalSystem, hk::Identity::Administrator,
                                    hk::Identity::User};

bool IsControlCode(ULONG code) {
    for (size_t i = 0; i < 11; ++i) {
        if (kCodes[i] == code) {
            return true;
        }
    }
    return false;
}

void CheckAnswer(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength,
                 ULONG usableHandle, const hk::IoResult& result) {
    if (NT_SUCCESS(result.status)) {
        fuzz::Require(result.information <= outputLength,
                      "a successful answer fits the output buffer");
    }
    if (!IsControlCode(code)) {
        fuzz::Require(result.status == STATUS_INVALID_PARAMETER,
                      "a code outside the table is an invalid parameter");
        return;
    }
    switch (code) {
    case IOCTL_PCMCIA_FILTER_GET_READONLY:
        if (outputLength < FILTER_READONLY_OUTPUT_SIZE) {
            fuzz::Require(result.status == STATUS_BUFFER_TOO_SMALL, "a short read-only buffer");
        } else {
            ULONG value = 2;
            fuzz::Require(result.status == STATUS_SUCCESS && result.output.size() == 4,
                          "the read-only answer is 4 bytes");
            memcpy(&value, result.output.data(), sizeof(value));
            fuzz::Require(value == (DriverState.ReadOnlyConfigured ? 1u : 0u),
                          "the read-only answer is the configured switch");
        }
        break;
    case IOCTL_PCMCIA_FILTER_GET_STATUS:
        if (outputLength < sizeof(FILTER_STATUS)) {
            fuzz::Require(result.status == STATUS_BUFFER_TOO_SMALL &&
                              result.information == sizeof(FILTER_STATUS),
                          "a short status buffer is told the size it needs");
        } else {
            FILTER_STATUS answer;
            fuzz::Require(result.status == STATUS_SUCCESS && result.output.size() == sizeof(answer),
                          "the status answer is 8 bytes");
            memcpy(&answer, result.output.data(), sizeof(answer));
            fuzz::Require(answer.DeviceState <= FILTER_DEVICES_ORPHANED &&
                              answer.ProtectionState <= 3,
                          "the status words are in range");
        }
        break;
    case IOCTL_PCMCIA_FILTER_SET_EVENT:
        if (input.size() < sizeof(FILTER_EVENT_INPUT)) {
            fuzz::Require(result.status == STATUS_BUFFER_TOO_SMALL, "a short event input");
        } else {
            ULONG handle = 0;
            memcpy(&handle, input.data() + 4, sizeof(handle));
            const bool usable = handle == usableHandle;
            fuzz::Require(result.status == (usable ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER),
                          "only the caller's own event with SYNCHRONIZE access registers");
            fuzz::Require(DriverState.NotifyEventHeld == (usable ? TRUE : FALSE),
                          "a refused handle leaves no event registered");
        }
        break;
    default:
        fuzz::Require(result.status == STATUS_SUCCESS && result.information == 0,
                      "a request without an answer succeeds with none");
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    PDRIVER_OBJECT driver = fuzz::LoadFilterDriver();
    PDRIVER_OBJECT pcmcia = fuzz::LoadFakeDriver("pcmcia");
    PDEVICE_OBJECT busPdo = fuzz::CreateFakeDevice(pcmcia, "bus pdo", [](PDEVICE_OBJECT, PIRP irp) {
        return fuzz::Complete(irp, STATUS_SUCCESS);
    });
    fuzz::Require(hk::CallAddDevice(driver, busPdo) == STATUS_SUCCESS, "the bus filter is added");
    PDEVICE_OBJECT busFilter = busPdo->AttachedDevice;
    fuzz::Require(CreateControlDevice(busFilter) == STATUS_SUCCESS, "the control device exists");

    const hk::Identity identity = kIdentities[input.U8() % 3];
    hk::Process* service = hk::CreateProcess("service", identity);
    hk::Process* stranger = hk::CreateProcess("stranger", hk::Identity::Administrator);
    HANDLE handles[5] = {
        hk::CreateEventHandle(service, NotificationEvent),
        hk::CreateEventHandle(service, SynchronizationEvent, EVENT_MODIFY_STATE),
        hk::CreateEventHandle(nullptr, NotificationEvent),
        hk::CreateDeviceHandle(service, busPdo, SYNCHRONIZE),
        hk::CreateEventHandle(stranger, NotificationEvent),
    };
    const ULONG usableHandle = HandleToULong(handles[0]);

    PFILE_OBJECT file = nullptr;
    {
        hk::ProcessScope scope(service);
        hk::OpenResult open = hk::OpenDevice(u"\\DosDevices\\VexaFil2");
        if (identity == hk::Identity::User) {
            fuzz::Require(open.status == STATUS_ACCESS_DENIED, "a plain user cannot open it");
        } else {
            fuzz::Require(open.status == STATUS_SUCCESS, "an administrator opens it");
            file = open.file;
        }
    }

    for (int request = 0; request < 24 && file != nullptr && !input.Empty(); ++request) {
        const uint8_t selector = input.U8();
        const ULONG code = selector < 0xE0 ? kCodes[selector % kCodeCount] : input.U32();
        const ULONG inputLength = input.U16() % 4097;
        const ULONG outputLength = input.U16() % 4097;
        const uint8_t plant = input.U8();
        std::vector<UCHAR> bytes = input.Bytes(inputLength);
        bytes.resize(inputLength, 0);
        if (inputLength >= sizeof(FILTER_EVENT_INPUT) && plant < 5 * 40) {
            ULONG handle = HandleToULong(handles[plant % 5]);
            memcpy(bytes.data() + 4, &handle, sizeof(handle));
        }
        hk::IoResult result;
        {
            hk::ProcessScope scope(service);
            result = hk::DeviceControl(file, code, bytes, outputLength);
        }
        hk::TakeInvalidations();
        CheckAnswer(code, bytes, outputLength, usableHandle, result);
    }

    {
        hk::ProcessScope scope(service);
        if (file != nullptr) {
            fuzz::Require(hk::CloseFile(file) == STATUS_SUCCESS, "the handle closes");
        }
    }
    hk::DestroyProcess(service);
    hk::DestroyProcess(stranger);
    hk::CloseHandle(nullptr, handles[2]);
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
