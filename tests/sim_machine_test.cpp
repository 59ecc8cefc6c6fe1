// The simulated machine on its own, with a minimal correct upper filter: the
// PnP manager builds and removes stacks as the platform does, and the machine
// ends clean.  (The driver's behaviour in the machine has its own tests.)

#include "host_fixture.h"
#include "sim/machine.h"

namespace {

// The smallest correct upper filter: attaches, forwards everything, and on
// remove forwards, detaches and deletes itself.
struct MinimalFilterExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS MinimalDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<MinimalFilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = extension->lower;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    bool remove =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS MinimalAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(MinimalFilterExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    static_cast<MinimalFilterExtension*>(device->DeviceExtension)->lower =
        IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS MinimalEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = MinimalDispatch;
    }
    driver->DriverExtension->AddDevice = MinimalAddDevice;
    return STATUS_SUCCESS;
}

class SimMachineTest : public HostKernelTest, public ::testing::WithParamInterface<LowerMode> {
protected:
    sim::Answering Mode() const {
        return GetParam() == LowerMode::Synchronous ? sim::Answering::Synchronous
                                                    : sim::Answering::Pending;
    }
};

INSTANTIATE_TEST_SUITE_P(BothModes, SimMachineTest,
                         ::testing::Values(LowerMode::Synchronous, LowerMode::Pending),
                         LowerModeName);

// Cards that appear get a started stack with their function driver on top;
// a pulled card's stack is surprise-removed and its PDO deletes itself; the
// controller's orderly removal takes everything with it.
TEST_P(SimMachineTest, StacksComeAndGoWithTheCards) {
    {
        sim::Machine machine(MinimalEntry, Mode());
        ASSERT_TRUE(machine.AddController("bus0"));
        machine.InsertCard("bus0", 0, sim::DiskCard());
        machine.InsertCard("bus0", 1, sim::NetCard());
        EXPECT_TRUE(machine.CardVisible("bus0", 0));
        EXPECT_TRUE(machine.CardVisible("bus0", 1));
        PDEVICE_OBJECT above = machine.DeviceAboveCard("bus0", 0);
        ASSERT_NE(above, nullptr);
        EXPECT_EQ(hk::DeviceLabel(above), "bus0 socket 0 disk storage class");

        machine.PullCard("bus0", 1);
        EXPECT_FALSE(machine.CardVisible("bus0", 1));
        EXPECT_EQ(machine.CardPdo("bus0", 1), nullptr) << "the PDO of a pulled card deletes itself";
        std::vector<UCHAR> minors;
        for (const sim::Received& r : machine.CardRequests("bus0", 1)) {
            if (r.major == IRP_MJ_PNP) {
                minors.push_back(r.minor);
            }
        }
        EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_DEVICE_RELATIONS,
                                              IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));

        machine.RemoveController("bus0");
        EXPECT_EQ(machine.RemoveRequestsAtCard("bus0", 0), 1)
            << "the controller's orderly removal removed the card's stack first";
        EXPECT_EQ(machine.CardPdo("bus0", 0), nullptr) << "and the card's PDO went with its bus";
    }
    EXPECT_TRUE(hk::LiveDevices().empty());
}

// Relation queries on request: the PnP manager gets the list and lets go of
// its references.
TEST_P(SimMachineTest, TargetRelationNamesTheDeviceItself) {
    sim::Machine machine(MinimalEntry, Mode());
    ASSERT_TRUE(machine.AddController("bus0"));
    machine.InsertCard("bus0", 3, sim::CdRomCard());
    PDEVICE_OBJECT pdo = machine.CardPdo("bus0", 3);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::vector<PDEVICE_OBJECT> target = machine.QueryRelations(pdo, TargetDeviceRelation, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(target, std::vector<PDEVICE_OBJECT>{pdo});
    EXPECT_EQ(hk::ReferenceCount(pdo), 1);
}

} // namespace
