// Bus filter creation over a PCMCIA bus device, and the three registries.

#include "driver_fixture.h"

namespace {

// A fake PCMCIA controller PDO with recognisable flags, type and
// characteristics, for the filter to copy.
class BusFilterTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        bus_ = std::make_unique<FakeDriver>("pcmcia");
    }

    void TearDown() override {
        for (PDEVICE_OBJECT device : created_) {
            if (hk::DeviceExists(device)) {
                RemoveFilter(device);
            }
        }
        for (PDEVICE_OBJECT pdo : pdos_) {
            FakeDriver::DestroyDevice(pdo);
        }
        bus_.reset();
        DriverTest::TearDown();
    }

    PDEVICE_OBJECT NewBusPdo() {
        PDEVICE_OBJECT pdo = bus_->CreateDevice("controller pdo " + std::to_string(pdos_.size()),
                                                fake::CompleteWith(STATUS_SUCCESS));
        pdo->DeviceType = FILE_DEVICE_BUS_EXTENDER;
        pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_MAP_IO_BUFFER;
        pdo->Characteristics = FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN;
        pdos_.push_back(pdo);
        return pdo;
    }

    // AddDevice as the PnP manager calls it; returns the new bus filter.
    PDEVICE_OBJECT AddDevice(PDEVICE_OBJECT pdo, NTSTATUS expected = STATUS_SUCCESS) {
        PDEVICE_OBJECT before = pdo->AttachedDevice;
        EXPECT_EQ(hk::CallAddDevice(driver_, pdo), expected);
        PDEVICE_OBJECT filter = hk::TopOfStack(pdo);
        if (filter == before || filter == pdo) {
            return nullptr;
        }
        created_.push_back(filter);
        return filter;
    }

    std::unique_ptr<FakeDriver> bus_;
    std::vector<PDEVICE_OBJECT> pdos_;
    std::vector<PDEVICE_OBJECT> created_;
};

// A fresh bus filter sits on the bus device, copies its I/O flags, type and
// characteristics, starts with both kind bytes clear, FirstRemovePending set,
// empty child lists and both PnP states NotStarted, and is registered.
TEST_F(BusFilterTest, AddDeviceCreatesAndRegistersABusFilter) {
    PDEVICE_OBJECT pdo = NewBusPdo();
    PDEVICE_OBJECT filter = AddDevice(pdo);
    ASSERT_NE(filter, nullptr);
    PFILTER_EXTENSION extension = Extension(filter);

    EXPECT_EQ(extension->Self, filter);
    EXPECT_EQ(extension->LowerDevice, pdo);
    EXPECT_EQ(extension->Pdo, pdo);
    EXPECT_EQ(filter->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE),
              ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(filter->Flags & (DO_MAP_IO_BUFFER | DO_DEVICE_INITIALIZING), 0u);
    EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(filter->Characteristics, ULONG(FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN));
    EXPECT_TRUE(IsBusFilter(extension));
    EXPECT_FALSE(extension->RemovalRelationsSeen);
    EXPECT_TRUE(extension->FirstRemovePending);
    EXPECT_EQ(extension->ChildCount, 0u);
    EXPECT_EQ(extension->PreviousChildCount, 0u);
    EXPECT_EQ(extension->PnpState, NotStarted);
    EXPECT_EQ(extension->PreviousPnpState, NotStarted);
    EXPECT_FALSE(extension->HoldsControlReference);

    EXPECT_EQ(DriverState.FilterCount, 1u);
    EXPECT_EQ(DriverState.FilterDevices[0], filter);
    EXPECT_EQ(DriverState.KnownCount, 1u);
    EXPECT_EQ(DriverState.KnownDevices[0], filter);
    EXPECT_EQ(DriverState.PairCount, 0u);
}

// On Windows XP and later the filter is created as an unknown device; before,
// with the type of the top of the bus device's stack.  Either way it ends
// with the type of the device it sits on.
TEST_F(BusFilterTest, DeviceTypeFollowsTheWdmVersion) {
    for (bool xp : {true, false}) {
        SCOPED_TRACE(xp ? "XP or later" : "before XP");
        hk::SetWdmVersionAvailable(xp);
        PDEVICE_OBJECT pdo = NewBusPdo();
        PDEVICE_OBJECT filter = AddDevice(pdo);
        ASSERT_NE(filter, nullptr);
        EXPECT_EQ(hk::CreatedDeviceType(filter),
                  xp ? ULONG(FILE_DEVICE_UNKNOWN) : ULONG(FILE_DEVICE_BUS_EXTENDER));
        EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
        EXPECT_EQ(hk::ReferenceCount(pdo), 1) << "the reference on the stack top was dropped";
    }
}

// Creation or attachment failing leaves nothing behind and nothing registered.
TEST_F(BusFilterTest, FailuresLeaveNothingRegistered) {
    PDEVICE_OBJECT pdo = NewBusPdo();
    hk::FailNextDeviceCreation(STATUS_NO_MEMORY);
    EXPECT_EQ(AddDevice(pdo, STATUS_NO_MEMORY), nullptr);
    hk::FailNextAttach();
    EXPECT_EQ(AddDevice(pdo, STATUS_UNSUCCESSFUL), nullptr);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(DriverState.FilterCount, 0u);
    EXPECT_EQ(DriverState.KnownCount, 0u);
    EXPECT_EQ(driver_->DeviceObject, nullptr) << "the device of the failed attach was deleted";
}

// A full filter registry fails the AddDevice cleanly: an unregistered bus
// filter would escape re-enumeration and the status baseline.  A full
// known-device list only leaves the new bus out of the baseline.
TEST_F(BusFilterTest, FullRegistriesNeverOverflow) {
    for (ULONG i = 0; i < FILTER_REGISTRY_CAPACITY; ++i) {
        ASSERT_NE(AddDevice(NewBusPdo()), nullptr);
    }
    EXPECT_EQ(DriverState.FilterCount, ULONG(FILTER_REGISTRY_CAPACITY));
    EXPECT_EQ(DriverState.KnownCount, ULONG(KNOWN_DEVICE_CAPACITY));
    PDEVICE_OBJECT extra = NewBusPdo();
    EXPECT_EQ(AddDevice(extra, STATUS_INSUFFICIENT_RESOURCES), nullptr);
    EXPECT_EQ(extra->AttachedDevice, nullptr);
    EXPECT_EQ(DriverState.FilterCount, ULONG(FILTER_REGISTRY_CAPACITY));
}

// The registries' own rules, on hand-made entries.
TEST_F(DriverTest, RegistryOperations) {
    int objects[4];
    auto device = [&](int i) { return reinterpret_cast<PDEVICE_OBJECT>(&objects[i]); };

    // Registering twice leaves one entry; removing the first of three leaves
    // the former third first; removing the only entry empties the registry.
    EXPECT_TRUE(RegisterFilterDevice(device(0)));
    EXPECT_TRUE(RegisterFilterDevice(device(0)));
    EXPECT_EQ(DriverState.FilterCount, 1u);
    UnregisterFilterDevice(device(0));
    EXPECT_EQ(DriverState.FilterCount, 0u);
    EXPECT_EQ(DriverState.FilterDevices[0], nullptr);
    for (int i = 0; i < 3; ++i) {
        RegisterFilterDevice(device(i));
    }
    UnregisterFilterDevice(device(0));
    EXPECT_EQ(DriverState.FilterCount, 2u);
    EXPECT_EQ(DriverState.FilterDevices[0], device(2));
    EXPECT_EQ(DriverState.FilterDevices[1], device(1));
    EXPECT_EQ(DriverState.FilterDevices[2], nullptr);
    UnregisterFilterDevice(device(3)); // not registered: nothing happens
    EXPECT_EQ(DriverState.FilterCount, 2u);

    // A pair whose AttachedTo already occurs leaves the first pair unchanged.
    EXPECT_TRUE(RegisterAttachPair(device(0), device(1)));
    EXPECT_TRUE(RegisterAttachPair(device(2), device(1)));
    EXPECT_EQ(DriverState.PairCount, 1u);
    EXPECT_EQ(DriverState.AttachPairs[0].Pdo, device(0));
    EXPECT_TRUE(IsPdoFiltered(device(0)));
    EXPECT_FALSE(IsPdoFiltered(device(2)));

    // IsPdoFiltered(NULL) is false even when a pair has a NULL Pdo.
    RegisterAttachPair(nullptr, device(3));
    EXPECT_FALSE(IsPdoFiltered(nullptr));

    // Unregistering a filter leaves the pairs alone.
    UnregisterFilterDevice(device(1));
    EXPECT_EQ(DriverState.PairCount, 2u);
}

// UnregisterAttachPair removes the pair whose AttachedTo is the device's
// LowerDevice, moving the last pair into its place.
TEST_F(DriverTest, UnregisterAttachPairFindsThePairByTheLowerDevice) {
    FakeDriver cards("cards");
    PDEVICE_OBJECT first = cards.CreateDevice("card 0", fake::CompleteWith(STATUS_SUCCESS));
    PDEVICE_OBJECT second = cards.CreateDevice("card 1", fake::CompleteWith(STATUS_SUCCESS));
    PDEVICE_OBJECT firstFilter = CreateFilter(first, "filter 0");
    CreateFilter(second, "filter 1");
    RegisterAttachPair(first, first);
    RegisterAttachPair(second, second);
    UnregisterAttachPair(firstFilter);
    EXPECT_EQ(DriverState.PairCount, 1u);
    EXPECT_EQ(DriverState.AttachPairs[0].Pdo, second);
    EXPECT_EQ(DriverState.AttachPairs[1].Pdo, nullptr);
    EXPECT_EQ(DriverState.AttachPairs[1].AttachedTo, nullptr);
    for (PDEVICE_OBJECT filter : filters_) {
        RemoveFilter(filter);
    }
    FakeDriver::DestroyDevice(first);
    FakeDriver::DestroyDevice(second);
}

// A full attach-pair registry refuses a new pair and never writes past it.
TEST_F(DriverTest, FullAttachPairRegistryRefuses) {
    static int objects[ATTACH_PAIR_CAPACITY + 1];
    for (ULONG i = 0; i < ATTACH_PAIR_CAPACITY; ++i) {
        auto* object = reinterpret_cast<PDEVICE_OBJECT>(&objects[i]);
        ASSERT_TRUE(RegisterAttachPair(object, object));
    }
    auto* extra = reinterpret_cast<PDEVICE_OBJECT>(&objects[ATTACH_PAIR_CAPACITY]);
    EXPECT_FALSE(RegisterAttachPair(extra, extra));
    EXPECT_EQ(DriverState.PairCount, ULONG(ATTACH_PAIR_CAPACITY));
    EXPECT_FALSE(IsPdoFiltered(extra));
}

} // namespace
