// The control device's lifetime: created with the first reference (a bus
// filter's start or an open handle), deleted with the last.

#include "driver_fixture.h"

namespace {

const std::u16string kLink = u"\\DosDevices\\VexaFil2";
const std::u16string kName = u"\\Device\\VexaPCMFilter";
const ULONG kWorkTag = 0x4644494C; // "LIDF"

class ControlDeviceTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        // Stand-ins for two bus filters: only their driver object is used.
        for (PDEVICE_OBJECT& device : busFilters_) {
            ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                      STATUS_SUCCESS);
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }

    void TearDown() override {
        for (PFILE_OBJECT file : open_) {
            hk::CloseFile(file);
        }
        while (DriverState.ControlRefCount > 0) {
            DeleteControlDevice();
        }
        for (PDEVICE_OBJECT device : busFilters_) {
            IoDeleteDevice(device);
        }
        DriverTest::TearDown();
    }

    // A bus filter's first start, and its removal.
    NTSTATUS Start(int bus) { return CreateControlDevice(busFilters_[bus]); }
    void Remove() { DeleteControlDevice(); }

    NTSTATUS Open() {
        hk::OpenResult result = hk::OpenDevice(kLink);
        if (result.file != nullptr) {
            open_.push_back(result.file);
        }
        return result.status;
    }

    NTSTATUS Close() {
        PFILE_OBJECT file = open_.back();
        open_.pop_back();
        return hk::CloseFile(file);
    }

    void ExpectState(LONG count, bool present) {
        EXPECT_EQ(DriverState.ControlRefCount, count);
        EXPECT_EQ(DriverState.ControlDevice != nullptr, present);
        EXPECT_EQ(hk::DeviceByName(kName) != nullptr, present);
        EXPECT_EQ(hk::SymbolicLinkExists(kLink), present);
    }

    PDEVICE_OBJECT busFilters_[2] = {};
    std::vector<PFILE_OBJECT> open_;
};

// The device that the first reference creates: named, linked, unknown type,
// secure open, buffered, initialised, not exclusive.
TEST_F(ControlDeviceTest, FirstReferenceCreatesTheDeviceAndItsLink) {
    EXPECT_EQ(Start(0), STATUS_SUCCESS);
    ExpectState(1, true);
    PDEVICE_OBJECT control = DriverState.ControlDevice;
    EXPECT_EQ(hk::ResolveDeviceName(kLink), control);
    EXPECT_EQ(control->DriverObject, driver_);
    EXPECT_EQ(control->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(control->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(control->Flags & (DO_BUFFERED_IO | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
              ULONG(DO_BUFFERED_IO));
    auto* extension = static_cast<PCONTROL_EXTENSION>(control->DeviceExtension);
    EXPECT_EQ(extension->ControlDeleted, 0u);
    EXPECT_EQ(extension->ControlData, nullptr);
    // Any number of handles may be open at once.
    EXPECT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Open(), STATUS_SUCCESS);
    ExpectState(3, true);
}

// The lifecycle as steps: each line an event and the state it leaves.
struct Step {
    const char* event; // "start0", "start1", "remove", "open", "close", "fail-device", "fail-link"
    NTSTATUS status;   // of the event (starts and opens and closes)
    LONG count;
    bool present;
};

struct Story {
    const char* name;
    std::vector<Step> steps;
};

class ControlDeviceLifecycle : public ControlDeviceTest,
                               public ::testing::WithParamInterface<Story> {};

TEST_P(ControlDeviceLifecycle, CountAndDeviceChangeTogether) {
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.event);
        std::string event = step.event;
        NTSTATUS status = STATUS_SUCCESS;
        if (event == "fail-device") {
            hk::FailNextDeviceCreation(STATUS_OBJECT_NAME_COLLISION);
            status = Start(0);
        } else if (event == "fail-link") {
            hk::FailNextSymbolicLink(STATUS_INSUFFICIENT_RESOURCES);
            status = Start(0);
        } else if (event == "start0") {
            status = Start(0);
        } else if (event == "start1") {
            status = Start(1);
        } else if (event == "remove") {
            Remove();
        } else if (event == "open") {
            status = Open();
        } else if (event == "close") {
            status = Close();
        }
        EXPECT_EQ(status, step.status);
        ExpectState(step.count, step.present);
    }
}

const Story kStories[] = {
    // A second start counts and creates nothing; the last removal deletes.
    {"TwoBusesStartedAndRemoved",
     {{"start0", STATUS_SUCCESS, 1, true},
      {"start1", STATUS_UNSUCCESSFUL, 2, true},
      {"remove", STATUS_SUCCESS, 1, true},
      {"remove", STATUS_SUCCESS, 0, false}}},
    // An open handle keeps the device after the last bus has gone.
    {"HandleOutlivesTheBus",
     {{"start0", STATUS_SUCCESS, 1, true},
      {"open", STATUS_SUCCESS, 2, true},
      {"remove", STATUS_SUCCESS, 1, true},
      {"close", STATUS_SUCCESS, 0, false}}},
    {"TwoHandlesAfterTheLastBus",
     {{"start0", STATUS_SUCCESS, 1, true},
      {"open", STATUS_SUCCESS, 2, true},
      {"open", STATUS_SUCCESS, 3, true},
      {"remove", STATUS_SUCCESS, 2, true},
      {"close", STATUS_SUCCESS, 1, true},
      {"close", STATUS_SUCCESS, 0, false}}},
    // A failed creation keeps its reference and is not retried until the
    // count has come back to 0.
    {"DeviceCreationFails",
     {{"fail-device", STATUS_OBJECT_NAME_COLLISION, 1, false},
      {"open", STATUS_OBJECT_NAME_NOT_FOUND, 1, false},
      {"start1", STATUS_UNSUCCESSFUL, 2, false},
      {"remove", STATUS_SUCCESS, 1, false},
      {"remove", STATUS_SUCCESS, 0, false},
      {"start0", STATUS_SUCCESS, 1, true},
      {"remove", STATUS_SUCCESS, 0, false}}},
    // A failed link deletes the device created a moment before.
    {"LinkCreationFails",
     {{"fail-link", STATUS_INSUFFICIENT_RESOURCES, 1, false},
      {"remove", STATUS_SUCCESS, 0, false}}},
};

INSTANTIATE_TEST_SUITE_P(, ControlDeviceLifecycle, ::testing::ValuesIn(kStories),
                         [](const ::testing::TestParamInfo<Story>& info) {
                             return std::string(info.param.name);
                         });

// Cleanup never changes the count.  A create whose work block cannot be had
// fails and counts nothing; a close and a cleanup never fail (the handle is
// gone whatever they answer), so a close drops its handle's reference even
// without a work block.
TEST_F(ControlDeviceTest, CleanupAndWorkBlockFailuresKeepTheCountRight) {
    ASSERT_EQ(Start(0), STATUS_SUCCESS);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    hk::FailNextAllocationWithTag(kWorkTag);
    EXPECT_EQ(Open(), STATUS_INSUFFICIENT_RESOURCES);
    ExpectState(2, true);

    PFILE_OBJECT file = open_.back();
    open_.pop_back();
    hk::FailNextAllocationWithTag(kWorkTag);
    hk::FailNextAllocationWithTag(kWorkTag);
    NTSTATUS cleanup = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(hk::CloseFile(file, UserMode, &cleanup), STATUS_SUCCESS);
    EXPECT_EQ(cleanup, STATUS_SUCCESS);
    ExpectState(1, true);
    Remove();
    ExpectState(0, false);
}

// A create that arrives while the device is being deleted is refused and
// counts nothing; so is every other request.
TEST_F(ControlDeviceTest, RequestsDuringDeletionAreRefused) {
    ASSERT_EQ(Start(0), STATUS_SUCCESS);
    auto* extension = static_cast<PCONTROL_EXTENSION>(DriverState.ControlDevice->DeviceExtension);
    extension->ControlDeleted = 1;
    EXPECT_EQ(Open(), STATUS_DEVICE_REMOVED);
    ExpectState(1, true);
    extension->ControlDeleted = 0;
}

} // namespace
