// The service's control requests through the control device, as a user-mode
// service sends them: opened by its DOS name with a caller identity, buffered
// input and output of chosen lengths.

#include <cstring>

#include "driver_fixture.h"
#include "include/pcmfilter_ioctl.h"
#include "kernel/host/registry_control.h"

namespace {

const std::u16string kLink = u"\\DosDevices\\VexaFil2";

std::vector<UCHAR> EventInput(HANDLE handle) {
    FILTER_EVENT_INPUT input{0xFFFFFFFFu, HandleToULong(handle)};
    std::vector<UCHAR> bytes(sizeof(input));
    memcpy(bytes.data(), &input, sizeof(input));
    return bytes;
}

// A driver with its control device (taken by a bus filter's start) and a
// service process holding a handle to it.
class ControlRequestTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &starter_),
                  STATUS_SUCCESS);
        starter_->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(CreateControlDevice(starter_), STATUS_SUCCESS);
        service_ = hk::CreateProcess("service", hk::Identity::LocalSystem);
        hk::ProcessScope scope(service_);
        hk::OpenResult open = hk::OpenDevice(kLink);
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        file_ = open.file;
    }

    void TearDown() override {
        {
            hk::ProcessScope scope(service_);
            if (file_ != nullptr) {
                hk::CloseFile(file_);
            }
        }
        hk::DestroyProcess(service_);
        while (DriverState.ControlRefCount > 0) {
            DeleteControlDevice();
        }
        IoDeleteDevice(starter_);
        DriverTest::TearDown();
    }

    hk::IoResult Control(ULONG code, std::vector<UCHAR> input = {}, ULONG outputLength = 0) {
        hk::ProcessScope scope(service_);
        return hk::DeviceControl(file_, code, input, outputLength);
    }

    HANDLE NewEvent(ACCESS_MASK access = EVENT_ALL_ACCESS) {
        return hk::CreateEventHandle(service_, NotificationEvent, access);
    }

    ULONG Status(ULONG field) {
        hk::IoResult result = Control(IOCTL_PCMCIA_FILTER_GET_STATUS, {}, sizeof(FILTER_STATUS));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output.size(), sizeof(FILTER_STATUS));
        FILTER_STATUS status{};
        memcpy(&status, result.output.data(), std::min(result.output.size(), sizeof(status)));
        return field == 0 ? status.DeviceState : status.ProtectionState;
    }

    PDEVICE_OBJECT starter_ = nullptr;
    hk::Process* service_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

// Codes, buffer lengths and the answers the service sees.
struct CodeCase {
    const char* name;
    ULONG code;
    size_t inputLength;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
};

class ControlCodes : public ControlRequestTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(ControlCodes, AnswerAsSpecified) {
    const CodeCase& c = GetParam();
    hk::IoResult result = Control(c.code, std::vector<UCHAR>(c.inputLength, 0), c.outputLength);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.information, c.information);
}

const CodeCase kCodes[] = {
    {"Resume", IOCTL_PCMCIA_FILTER_RESUME, 0, 0, STATUS_SUCCESS, 0},
    {"Suspend", IOCTL_PCMCIA_FILTER_SUSPEND, 0, 0, STATUS_SUCCESS, 0},
    {"Rebaseline", IOCTL_PCMCIA_FILTER_REBASELINE, 0, 0, STATUS_SUCCESS, 0},
    {"SetOff", IOCTL_PCMCIA_FILTER_SET_OFF, 0, 0, STATUS_SUCCESS, 0},
    {"SetAllBlock", IOCTL_PCMCIA_FILTER_SET_ALLBLOCK, 0, 0, STATUS_SUCCESS, 0},
    {"SetReadOnly", IOCTL_PCMCIA_FILTER_SET_READONLY, 0, 0, STATUS_SUCCESS, 0},
    {"ClearReadOnly", IOCTL_PCMCIA_FILTER_CLEAR_READONLY, 0, 0, STATUS_SUCCESS, 0},
    {"GetReadOnly", IOCTL_PCMCIA_FILTER_GET_READONLY, 0, 4, STATUS_SUCCESS, 4},
    // A short answer buffer: nothing written, the size needed reported.
    {"GetReadOnlyShort", IOCTL_PCMCIA_FILTER_GET_READONLY, 0, 3, STATUS_BUFFER_TOO_SMALL, 4},
    {"SetEventShortInput", IOCTL_PCMCIA_FILTER_SET_EVENT, 7, 0, STATUS_BUFFER_TOO_SMALL, 0},
    {"ClearEventWithNoneRegistered", IOCTL_PCMCIA_FILTER_CLEAR_EVENT, 0, 0, STATUS_SUCCESS, 0},
    {"GetStatus", IOCTL_PCMCIA_FILTER_GET_STATUS, 0, 8, STATUS_SUCCESS, 8},
    // The status answer is 8 bytes: a shorter buffer is refused as the
    // read-only request refuses one, never written past.
    {"GetStatusShort", IOCTL_PCMCIA_FILTER_GET_STATUS, 0, 7, STATUS_BUFFER_TOO_SMALL, 8},
    {"JustBelowTheTable", IOCTL_PCMCIA_FILTER_RESUME - 4, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"JustAboveTheTable", IOCTL_PCMCIA_FILTER_CLEAR_EVENT + 4, 0, 0, STATUS_INVALID_PARAMETER, 0},
    {"JustBelowStatus", IOCTL_PCMCIA_FILTER_GET_STATUS - 4, 0, 8, STATUS_INVALID_PARAMETER, 0},
};

INSTANTIATE_TEST_SUITE_P(, ControlCodes, ::testing::ValuesIn(kCodes),
                         [](const ::testing::TestParamInfo<CodeCase>& info) {
                             return std::string(info.param.name);
                         });

// The read-only setting requests change ReadOnlyConfigured at once, which the
// two status requests report, but not what the enforcing paths use.
TEST_F(ControlRequestTest, SettingRequestsActOnTheReportedStateOnly) {
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_READONLY).status, STATUS_SUCCESS);
    hk::IoResult readOnly = Control(IOCTL_PCMCIA_FILTER_GET_READONLY, {}, 4);
    EXPECT_EQ(readOnly.output, (std::vector<UCHAR>{1, 0, 0, 0}));
    EXPECT_EQ(Status(1), 3u);
    EXPECT_FALSE(DriverState.ReadOnlyActive) << "enforcement follows at the next settings load";

    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_GET_READONLY, {}, 4).output,
              (std::vector<UCHAR>{0, 0, 0, 0}));
    EXPECT_EQ(Status(1), 1u);

    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_ALLBLOCK).status, STATUS_SUCCESS);
    EXPECT_EQ(Status(1), 0u);
    EXPECT_EQ(DriverState.BlockMode, BlockModeNone);
    LoadSettings();
    EXPECT_EQ(DriverState.BlockMode, BlockModeAllBlock);
}

// ProtectionState from the stored settings and ReadOnlyConfigured.
TEST_F(ControlRequestTest, ProtectionStateTable) {
    struct Row {
        const WCHAR* mode;     // stored block mode, or null for none
        const WCHAR* readOnly; // stored read-only switch, or null
        bool configured;       // ReadOnlyConfigured
        ULONG expected;
    };
    const Row rows[] = {
        {nullptr, nullptr, false, 0},         {nullptr, nullptr, true, 0},
        {WIDE("OFF"), nullptr, false, 1},     {WIDE("OFF"), nullptr, true, 1},
        {WIDE("ON"), nullptr, false, 2},      {WIDE("ON"), nullptr, true, 3},
        {WIDE("BLOCK"), nullptr, true, 0},    {WIDE("ALLBLOCK"), nullptr, true, 0},
        {WIDE("OFF"), WIDE("YES"), false, 3}, {WIDE("ALLBLOCK"), WIDE("YES"), false, 3},
        {WIDE("ON"), WIDE("NO"), false, 2},   {nullptr, WIDE("YES"), false, 3},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        hk::RegistryDeleteKey(u"VexaPCMFilter");
        if (row.mode != nullptr) {
            ASSERT_EQ(StoreBlockMode(row.mode), STATUS_SUCCESS);
        }
        if (row.readOnly != nullptr) {
            ASSERT_EQ(StoreReadOnly(row.readOnly), STATUS_SUCCESS);
        }
        DriverState.ReadOnlyConfigured = row.configured;
        EXPECT_EQ(Status(1), row.expected);
    }
}

// A setting whose MAC no longer matches counts as not verified.
TEST_F(ControlRequestTest, TamperedSettingCountsAsNotVerified) {
    ASSERT_EQ(StoreBlockMode(WIDE("ON")), STATUS_SUCCESS);
    EXPECT_EQ(Status(1), 2u);
    hk::RegistryDeleteValue(u"VexaPCMFilter\\1", u"0");
    EXPECT_EQ(Status(1), 0u);
}

// DeviceState: every bus device of the baseline still registered (0), one
// gone (1), a re-baseline makes it 0 again; a filter removed with a child
// filter left wins over both (2).
TEST_F(ControlRequestTest, DeviceStateFollowsTheBaseline) {
    EXPECT_EQ(Status(0), 0u) << "no bus filter ever created";
    FakeDriver bus("pcmcia");
    PDEVICE_OBJECT pdos[2];
    PDEVICE_OBJECT filters[2];
    for (int i = 0; i < 2; ++i) {
        pdos[i] =
            bus.CreateDevice("controller " + std::to_string(i), fake::CompleteWith(STATUS_SUCCESS));
        filters[i] = CreateFilter(pdos[i], "bus filter " + std::to_string(i));
        Extension(filters[i])->Pdo = pdos[i];
        RegisterFilterDevice(filters[i]);
        DriverState.KnownDevices[DriverState.KnownCount++] = filters[i];
    }
    EXPECT_EQ(Status(0), 0u);
    UnregisterFilterDevice(filters[0]);
    EXPECT_EQ(Status(0), 1u) << "a bus device of the baseline has gone";
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_REBASELINE).status, STATUS_SUCCESS);
    EXPECT_EQ(DriverState.KnownCount, 1u);
    EXPECT_EQ(Status(0), 0u);
    UnregisterFilterDevice(filters[1]);
    EXPECT_EQ(Status(0), 1u) << "the last bus filter removed while known";
    DriverState.ChildFiltersOrphaned = TRUE;
    EXPECT_EQ(Status(0), 2u);
    Control(IOCTL_PCMCIA_FILTER_REBASELINE);
    EXPECT_EQ(Status(0), 2u) << "orphaned child filters stay reported";
    for (int i = 0; i < 2; ++i) {
        RemoveFilter(filters[i]);
        FakeDriver::DestroyDevice(pdos[i]);
    }
}

// Suspend and resume set the flag at once and make every registered bus
// re-enumerate, each time they are sent.
TEST_F(ControlRequestTest, SuspendAndResumeReenumerateEveryBus) {
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SUSPEND).status, STATUS_SUCCESS);
    EXPECT_TRUE(DriverState.EnforcementSuspended);
    EXPECT_TRUE(hk::TakeInvalidations().empty()) << "no bus registered";

    FakeDriver bus("pcmcia");
    PDEVICE_OBJECT pdos[2];
    PDEVICE_OBJECT filters[2];
    for (int i = 0; i < 2; ++i) {
        pdos[i] =
            bus.CreateDevice("controller " + std::to_string(i), fake::CompleteWith(STATUS_SUCCESS));
        filters[i] = CreateFilter(pdos[i], "bus filter " + std::to_string(i));
        Extension(filters[i])->Pdo = pdos[i];
        RegisterFilterDevice(filters[i]);
    }
    for (ULONG code :
         {IOCTL_PCMCIA_FILTER_SUSPEND, IOCTL_PCMCIA_FILTER_SUSPEND, IOCTL_PCMCIA_FILTER_RESUME}) {
        EXPECT_EQ(Control(code).status, STATUS_SUCCESS);
        std::vector<hk::RelationsInvalidation> invalidated = hk::TakeInvalidations();
        ASSERT_EQ(invalidated.size(), 2u);
        EXPECT_EQ(invalidated[0].device, pdos[0]);
        EXPECT_EQ(invalidated[1].device, pdos[1]);
        EXPECT_EQ(invalidated[0].type, BusRelations);
    }
    EXPECT_FALSE(DriverState.EnforcementSuspended);
    for (int i = 0; i < 2; ++i) {
        RemoveFilter(filters[i]);
        FakeDriver::DestroyDevice(pdos[i]);
    }
}

// Event registration: a usable handle of the requester registers its event; a
// second registration releases the first; a short input leaves the event
// registered; a bad handle (invalid, not an event, a kernel handle named by a
// user-mode request, or without SYNCHRONIZE access) leaves none; clear
// releases it.
TEST_F(ControlRequestTest, EventRegistration) {
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    PVOID firstObject = hk::ObjectOfHandle(service_, first);
    PVOID secondObject = hk::ObjectOfHandle(service_, second);

    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(first)).status, STATUS_SUCCESS);
    EXPECT_EQ(DriverState.NotifyEvent, firstObject);
    EXPECT_EQ(hk::ReferenceCount(firstObject), 2);
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(second)).status, STATUS_SUCCESS);
    EXPECT_EQ(DriverState.NotifyEvent, secondObject);
    EXPECT_EQ(hk::ReferenceCount(firstObject), 1) << "the first event was released";

    std::vector<UCHAR> shortInput = EventInput(first);
    shortInput.pop_back();
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, shortInput).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(DriverState.NotifyEvent, secondObject) << "a short input changes nothing";

    FakeDriver other("other");
    PDEVICE_OBJECT device = other.CreateDevice("not an event", fake::CompleteWith(STATUS_SUCCESS));
    HANDLE kernel = hk::CreateEventHandle(nullptr, NotificationEvent);
    const HANDLE bad[] = {ULongToHandle(0x7FF0),
                          hk::CreateDeviceHandle(service_, device, GENERIC_ALL), kernel,
                          NewEvent(EVENT_QUERY_STATE)};
    for (HANDLE handle : bad) {
        ASSERT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(second)).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(handle)).status,
                  STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(DriverState.NotifyEventHeld);
        EXPECT_EQ(hk::ReferenceCount(secondObject), 1) << "the event held before was released";
    }
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(first)).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_CLEAR_EVENT).status, STATUS_SUCCESS);
    EXPECT_FALSE(DriverState.NotifyEventHeld);
    EXPECT_EQ(hk::ReferenceCount(firstObject), 1);

    // Cleanup on the control device changes nothing, not even the event.
    EXPECT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(first)).status, STATUS_SUCCESS);
    hk::IrpSpec cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    cleanup.fileObject = file_;
    EXPECT_EQ(hk::SendIrp(DriverState.ControlDevice, cleanup).status, STATUS_SUCCESS);
    EXPECT_TRUE(DriverState.NotifyEventHeld);
    EXPECT_EQ(DriverState.ControlRefCount, 2);
    Control(IOCTL_PCMCIA_FILTER_CLEAR_EVENT);

    hk::CloseHandle(nullptr, kernel);
    FakeDriver::DestroyDevice(device);
}

// An event still registered when the driver unloads is released then.
TEST_F(ControlRequestTest, UnloadReleasesARegisteredEvent) {
    HANDLE event = NewEvent();
    PVOID object = hk::ObjectOfHandle(service_, event);
    ASSERT_EQ(Control(IOCTL_PCMCIA_FILTER_SET_EVENT, EventInput(event)).status, STATUS_SUCCESS);
    EXPECT_EQ(hk::ReferenceCount(object), 2);
    DriverUnload(driver_);
    EXPECT_EQ(hk::ReferenceCount(object), 1);
    EXPECT_FALSE(DriverState.NotifyEventHeld);
}

// Only local system and administrators may open the control device; a plain
// user's create is refused and counts no reference.
TEST_F(ControlRequestTest, OnlyAdministratorsMayOpen) {
    const struct {
        hk::Identity identity;
        NTSTATUS status;
    } callers[] = {{hk::Identity::LocalSystem, STATUS_SUCCESS},
                   {hk::Identity::Administrator, STATUS_SUCCESS},
                   {hk::Identity::User, STATUS_ACCESS_DENIED}};
    for (const auto& caller : callers) {
        hk::Process* process = hk::CreateProcess("caller", caller.identity);
        LONG before = DriverState.ControlRefCount;
        hk::OpenResult open;
        {
            hk::ProcessScope scope(process);
            open = hk::OpenDevice(kLink);
        }
        EXPECT_EQ(open.status, caller.status);
        EXPECT_EQ(DriverState.ControlRefCount, before + (NT_SUCCESS(open.status) ? 1 : 0));
        if (open.file != nullptr) {
            hk::ProcessScope scope(process);
            EXPECT_EQ(hk::CloseFile(open.file), STATUS_SUCCESS);
        }
        hk::DestroyProcess(process);
    }
}

} // namespace
