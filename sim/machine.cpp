// The simulated machine: a PCI root that enumerates PCMCIA controllers, the
// PCMCIA controller bus driver with a PDO per card, a function driver for the
// cards, and the PnP manager that builds and removes their stacks.

#include "sim/machine.h"

#include <algorithm>
#include <functional>
#include <mutex>

namespace sim {

namespace {

// Pool tag of the compatible-ID strings the bus driver hands out: "PcId".
const ULONG kIdTag = 0x64496350;

enum class Role { ControllerPdo, BusFdo, CardPdo, CardFdo };

// Every device of the machine's drivers carries one of these as its
// extension (a pointer to the host-side record).
struct DeviceRecord {
    Role role;
    Machine::Impl* machine;
    Controller* controller;
    Card* card;
    PDEVICE_OBJECT lower; // for FDOs
};

DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
    return *static_cast<DeviceRecord**>(device->DeviceExtension);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS PassPowerDown(PDEVICE_OBJECT lower, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
}

PDEVICE_RELATIONS NewRelations(const std::vector<PDEVICE_OBJECT>& objects) {
    size_t count = objects.size();
    size_t bytes =
        FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (count == 0 ? 1 : count) * sizeof(PDEVICE_OBJECT);
    auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePool(NonPagedPool, bytes));
    if (list == nullptr) {
        return nullptr;
    }
    list->Count = static_cast<ULONG>(count);
    for (size_t i = 0; i < count; ++i) {
        ObReferenceObject(objects[i]);
        list->Objects[i] = objects[i];
    }
    return list;
}

} // namespace

struct Card {
    CardSpec spec;
    Controller* controller = nullptr;
    int socket = 0;
    bool present = true;
    PDEVICE_OBJECT pdo = nullptr;
    bool pdoDeleted = false;
    std::vector<Received> received;
    int removeRequests = 0;
    int mediumWrites = 0;
    int serial = 0; // 1, 2, ... in the order cards were inserted
};

struct Controller {
    std::string name;
    bool present = true;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    std::map<int, std::unique_ptr<Card>> sockets; // cards in their sockets now
    std::vector<std::unique_ptr<Card>> gone;      // cards that left
};

// A device node: a PDO the PnP manager built a stack for.
struct Devnode {
    PDEVICE_OBJECT pdo = nullptr;
    Controller* controller = nullptr;
    Card* card = nullptr; // null for a controller
    bool started = false;
    std::vector<Devnode*> children;
    Devnode* parent = nullptr;
};

struct Machine::Impl {
    PDRIVER_OBJECT filter = nullptr;
    PDRIVER_OBJECT pci = nullptr;
    PDRIVER_OBJECT pcmcia = nullptr;
    PDRIVER_OBJECT cardfn = nullptr;
    PDRIVER_OBJECT storageClass = nullptr;
    Answering answering = Answering::Synchronous;
    std::map<std::string, std::unique_ptr<Controller>> controllers;
    std::vector<std::unique_ptr<Controller>> removedControllers;
    std::map<PDEVICE_OBJECT, std::unique_ptr<Devnode>> devnodes; // by PDO
    std::vector<std::unique_ptr<DeviceRecord>> records;
    int lastSerial = 0;
    bool abandoned = false; // Abandon() ran: nothing is left to remove or unload

    // Answers now or from a worker thread, as the bus driver is told to.
    NTSTATUS Answer(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
        if (answering == Answering::Synchronous) {
            return CompleteWith(irp, status, information);
        }
        IoMarkIrpPending(irp);
        hk::QueueWork([irp, status, information]() { CompleteWith(irp, status, information); });
        return STATUS_PENDING;
    }

    PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, DeviceRecord record, DEVICE_TYPE type,
                             const std::string& label) {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver, sizeof(DeviceRecord*), nullptr, type, 0, FALSE, &device);
        if (!NT_SUCCESS(status)) {
            return nullptr;
        }
        records.push_back(std::make_unique<DeviceRecord>(record));
        *static_cast<DeviceRecord**>(device->DeviceExtension) = records.back().get();
        hk::SetDeviceLabel(device, label);
        return device;
    }

    // ---------------------------------------------------------------------
    // The PnP manager.

    hk::IoResult SendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                         std::function<void(PIO_STACK_LOCATION)> parameters = nullptr) {
        hk::IrpSpec spec;
        spec.major = IRP_MJ_PNP;
        spec.minor = minor;
        spec.initialStatus = STATUS_NOT_SUPPORTED;
        spec.parameters = std::move(parameters);
        return hk::SendIrp(hk::TopOfStack(pdo), spec);
    }

    // Takes the list of an answer: its device objects, with the references
    // dropped and the list freed, as the PnP manager does once it has used it.
    std::vector<PDEVICE_OBJECT> TakeList(const hk::IoResult& result) {
        std::vector<PDEVICE_OBJECT> objects;
        if (!NT_SUCCESS(result.status) || result.information == 0) {
            return objects;
        }
        auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
        objects.assign(list->Objects, list->Objects + list->Count);
        for (PDEVICE_OBJECT object : objects) {
            ObDereferenceObject(object);
        }
        ExFreePool(list);
        return objects;
    }

    std::vector<PDEVICE_OBJECT> QueryRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type,
                                               NTSTATUS* status) {
        hk::IoResult result =
            SendPnp(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [type](PIO_STACK_LOCATION stack) {
                stack->Parameters.QueryDeviceRelations.Type = type;
            });
        if (status != nullptr) {
            *status = result.status;
        }
        return TakeList(result);
    }

    Card* CardOfPdo(PDEVICE_OBJECT pdo) {
        for (auto& entry : controllers) {
            for (auto& socket : entry.second->sockets) {
                if (socket.second->pdo == pdo) {
                    return socket.second.get();
                }
            }
            for (auto& card : entry.second->gone) {
                if (card->pdo == pdo && !card->pdoDeleted) {
                    return card.get();
                }
            }
        }
        return nullptr;
    }

    Devnode* BuildChild(Devnode* parent, PDEVICE_OBJECT pdo) {
        auto node = std::make_unique<Devnode>();
        node->pdo = pdo;
        node->controller = parent->controller;
        node->card = CardOfPdo(pdo);
        node->parent = parent;
        Devnode* child = node.get();
        devnodes[pdo] = std::move(node);
        parent->children.push_back(child);
        hk::SetHeldByDevnode(pdo, true);
        if (child->card != nullptr) {
            bool storage = child->card->spec.kind == "disk" || child->card->spec.kind == "cdrom";
            hk::CallAddDevice(storage ? storageClass : cardfn, pdo);
        }
        child->started = NT_SUCCESS(SendPnp(pdo, IRP_MN_START_DEVICE).status);
        if (child->started) {
            QueryBusRelations(child);
        }
        return child;
    }

    // A bus-relations query and its follow-up: stacks for new children,
    // removal of the stacks of children the answer no longer names.
    void QueryBusRelations(Devnode* node) {
        hk::IoResult result =
            SendPnp(node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION stack) {
                stack->Parameters.QueryDeviceRelations.Type = BusRelations;
            });
        if (!NT_SUCCESS(result.status)) {
            return;
        }
        std::vector<PDEVICE_OBJECT> listed;
        PDEVICE_RELATIONS list = result.information == 0
                                     ? nullptr
                                     : reinterpret_cast<PDEVICE_RELATIONS>(result.information);
        if (list != nullptr) {
            listed.assign(list->Objects, list->Objects + list->Count);
        }
        std::vector<Devnode*> vanished;
        for (Devnode* child : node->children) {
            if (std::find(listed.begin(), listed.end(), child->pdo) == listed.end()) {
                vanished.push_back(child);
            }
        }
        for (Devnode* child : vanished) {
            RemoveStack(child, Removal::Surprise);
        }
        for (PDEVICE_OBJECT pdo : listed) {
            if (devnodes.count(pdo) == 0) {
                BuildChild(node, pdo);
            }
        }
        if (list != nullptr) {
            for (PDEVICE_OBJECT object : listed) {
                ObDereferenceObject(object);
            }
            ExFreePool(list);
        }
    }

    enum class Removal { Orderly, Surprise, SurpriseAlreadySent };

    // Removes a device node's stack, children first.  An orderly removal
    // queries removal relations and asks before it removes; a surprise
    // removal tells first.
    void RemoveStack(Devnode* node, Removal how) {
        std::vector<Devnode*> children = node->children;
        for (Devnode* child : children) {
            RemoveStack(child, how);
        }
        if (how == Removal::Orderly) {
            QueryRelations(node->pdo, RemovalRelations, nullptr);
            SendPnp(node->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        } else if (how == Removal::Surprise && node->started) {
            SendPnp(node->pdo, IRP_MN_SURPRISE_REMOVAL);
        }
        std::vector<PDEVICE_OBJECT> stack = hk::StackAbove(node->pdo);
        PDEVICE_OBJECT pdo = node->pdo;
        // A filter of the driver may defer the remove that follows a
        // removal-relations query and stay attached on purpose: in an orderly
        // removal its devices are named as possible orphans beforehand (the
        // card's PDO may go while one still sits on it).  Whatever the remove
        // did delete is gone; whatever else stays is a finding.
        if (how == Removal::Orderly) {
            bool busFilterSeen = false;
            for (PDEVICE_OBJECT device : stack) {
                if (device->DriverObject != filter) {
                    continue;
                }
                // On a controller's stack the first of the driver's devices is
                // its bus filter, which never defers; child filters do.
                if (node->card == nullptr && !busFilterSeen) {
                    busFilterSeen = true;
                    continue;
                }
                hk::MarkOrphanedFilter(device, true);
            }
        }
        hk::SetHeldByDevnode(pdo, false);
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        hk::CheckRemoved(stack);
        if (node->parent != nullptr) {
            auto& siblings = node->parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
        }
        devnodes.erase(pdo);
    }

    void ProcessInvalidations() {
        for (int round = 0; round < 100; ++round) {
            std::vector<hk::RelationsInvalidation> work = hk::TakeInvalidations();
            if (work.empty()) {
                return;
            }
            for (const hk::RelationsInvalidation& item : work) {
                auto it = devnodes.find(item.device);
                if (it != devnodes.end() && item.type == BusRelations && it->second->started) {
                    QueryBusRelations(it->second.get());
                }
            }
        }
        hk::ReportViolation("pnp-invalidation-storm",
                            "relations kept being invalidated for 100 rounds");
    }

    Controller* Find(const std::string& name) {
        auto it = controllers.find(name);
        return it == controllers.end() ? nullptr : it->second.get();
    }

    // A card enters a socket: its PDO exists from now on; the caller tells the
    // PnP manager.
    Card* SeatCard(Controller* controller, int socket, const CardSpec& spec);

    Card* CardWithSerial(int serial) const {
        auto search = [serial](const Controller& controller) -> Card* {
            for (const auto& socket : controller.sockets) {
                if (socket.second->serial == serial) {
                    return socket.second.get();
                }
            }
            for (const auto& card : controller.gone) {
                if (card->serial == serial) {
                    return card.get();
                }
            }
            return nullptr;
        };
        for (const auto& entry : controllers) {
            if (Card* card = search(*entry.second)) {
                return card;
            }
        }
        for (const auto& controller : removedControllers) {
            if (Card* card = search(*controller)) {
                return card;
            }
        }
        return nullptr;
    }
};

// ---------------------------------------------------------------------------
// The drivers' dispatch routines.

namespace {

Machine::Impl* gMachine = nullptr; // the machine whose drivers are loaded

void Log(Card* card, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Received received{stack->MajorFunction, stack->MinorFunction, 0};
    if (stack->MajorFunction == IRP_MJ_PNP &&
        stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
        received.relationType = stack->Parameters.QueryDeviceRelations.Type;
    }
    card->received.push_back(received);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        card->removeRequests++;
    }
}

// Write commands of the card's own command set: its medium changes when one
// of them reaches it.
bool CardCommandWrites(UCHAR opcode) {
    switch (opcode) {
    case 0x04: // FORMAT UNIT
    case 0x0A: // WRITE (6)
    case 0x2A: // WRITE (10)
    case 0x2E: // WRITE AND VERIFY (10)
    case 0x3B: // WRITE BUFFER
    case 0x41: // WRITE SAME (10)
    case 0x8A: // WRITE (16)
    case 0x8E: // WRITE AND VERIFY (16)
    case 0x93: // WRITE SAME (16)
    case 0xAA: // WRITE (12)
    case 0xAE: // WRITE AND VERIFY (12)
        return true;
    default:
        return false;
    }
}

// What a card does with the storage requests that reach it.
NTSTATUS CardIo(Card* card, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_SCSI: {
        PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
        if (srb == nullptr) {
            return CompleteWith(irp, STATUS_INVALID_PARAMETER);
        }
        if (srb->CdbLength > 0 && CardCommandWrites(srb->Cdb[0])) {
            card->mediumWrites++;
        }
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    case IRP_MJ_WRITE:
        card->mediumWrites++;
        return CompleteWith(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    case IRP_MJ_READ:
        return CompleteWith(irp, STATUS_SUCCESS, stack->Parameters.Read.Length);
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_DISK_IS_WRITABLE) {
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
            if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SCSI_PASS_THROUGH)) {
                return CompleteWith(irp, STATUS_INVALID_PARAMETER);
            }
            auto* header = static_cast<SCSI_PASS_THROUGH*>(irp->AssociatedIrp.SystemBuffer);
            if (header->CdbLength > 0 && CardCommandWrites(header->Cdb[0])) {
                card->mediumWrites++;
            }
            header->ScsiStatus = 0;
            ULONG_PTR information =
                stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(SCSI_PASS_THROUGH)
                    ? sizeof(SCSI_PASS_THROUGH)
                    : 0;
            return CompleteWith(irp, STATUS_SUCCESS, information);
        }
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    default:
        return CompleteWith(irp, STATUS_SUCCESS);
    }
}

// The state changes every driver of these stacks acknowledges with success:
// a PDO completes them, a function driver passes them down.
bool AcknowledgedStateChange(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

// A PDO completes the acknowledged state changes and usage notifications.
bool PdoAcknowledges(UCHAR minor) {
    return AcknowledgedStateChange(minor) || minor == IRP_MN_DEVICE_USAGE_NOTIFICATION;
}

// The PCI root's PDO of a controller.
NTSTATUS ControllerPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (PdoAcknowledges(stack->MinorFunction)) {
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        if (!record->controller->present) {
            record->controller->pdo = nullptr;
            IoDeleteDevice(device);
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS list = NewRelations({device});
            return CompleteWith(irp, list ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES,
                                reinterpret_cast<ULONG_PTR>(list));
        }
        break;
    default:
        break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CardPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    Card* card = record->card;
    Machine::Impl* machine = record->machine;
    Log(card, irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (PdoAcknowledges(stack->MinorFunction)) {
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
        // A PDO whose card has gone deletes itself; one whose card is still
        // in its socket stays, to be reported again.
        irp->IoStatus.Status = STATUS_SUCCESS;
        if (!card->present || !card->controller->present) {
            card->pdoDeleted = true;
            IoDeleteDevice(device);
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_ID:
        if (stack->Parameters.QueryId.IdType == BusQueryCompatibleIDs) {
            size_t units = 1;
            for (const std::u16string& id : card->spec.compatibleIds) {
                units += id.size() + 1;
            }
            auto* text = static_cast<WCHAR*>(
                ExAllocatePoolWithTag(NonPagedPool, units * sizeof(WCHAR), kIdTag));
            if (text == nullptr) {
                return machine->Answer(irp, STATUS_INSUFFICIENT_RESOURCES);
            }
            WCHAR* cursor = text;
            for (const std::u16string& id : card->spec.compatibleIds) {
                std::copy(id.begin(), id.end(), cursor);
                cursor += id.size();
                *cursor++ = 0;
            }
            *cursor = 0;
            return machine->Answer(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS list = NewRelations({device});
            return machine->Answer(irp, list ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES,
                                   reinterpret_cast<ULONG_PTR>(list));
        }
        break;
    default:
        break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    return CompleteWith(irp, status, information);
}

NTSTATUS BusFdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    Controller* controller = record->controller;
    Machine::Impl* machine = record->machine;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (AcknowledgedStateChange(stack->MinorFunction)) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(record->lower, irp);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            std::vector<PDEVICE_OBJECT> pdos;
            for (auto& socket : controller->sockets) {
                if (socket.second->present && socket.second->pdo != nullptr) {
                    pdos.push_back(socket.second->pdo);
                }
            }
            PDEVICE_RELATIONS list = NewRelations(pdos);
            if (list == nullptr) {
                return machine->Answer(irp, STATUS_INSUFFICIENT_RESOURCES);
            }
            // A list handed down from above is replaced; this bus has no
            // filter below that could have made one.
            return machine->Answer(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(list));
        }
        return PassDown(record->lower, irp);
    case IRP_MN_REMOVE_DEVICE: {
        // The bus goes: every card PDO it still has goes with it.
        std::vector<Card*> cards;
        for (auto& socket : controller->sockets) {
            cards.push_back(socket.second.get());
        }
        for (auto& card : controller->gone) {
            cards.push_back(card.get());
        }
        for (Card* card : cards) {
            if (card->pdo != nullptr && !card->pdoDeleted) {
                card->pdoDeleted = true;
                IoDeleteDevice(card->pdo);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = record->lower;
        NTSTATUS status = PassDown(lower, irp);
        IoDetachDevice(lower);
        controller->fdo = nullptr;
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(record->lower, irp);
    }
}

NTSTATUS CardFdoPnp(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (AcknowledgedStateChange(stack->MinorFunction)) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(record->lower, irp);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = record->lower;
        NTSTATUS status = PassDown(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    default:
        return PassDown(record->lower, irp);
    }
}

NTSTATUS MachineDispatch(PDEVICE_OBJECT device, PIRP irp) {
    DeviceRecord* record = RecordOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        if (record->role == Role::BusFdo || record->role == Role::CardFdo) {
            return PassPowerDown(record->lower, irp);
        }
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (record->role) {
        case Role::ControllerPdo:
            return ControllerPdoPnp(device, irp);
        case Role::CardPdo:
            return CardPdoPnp(device, irp);
        case Role::BusFdo:
            return BusFdoPnp(device, irp);
        case Role::CardFdo:
            return CardFdoPnp(device, irp);
        }
    }
    if (record->role == Role::CardPdo) {
        Log(record->card, irp);
        return CardIo(record->card, irp);
    }
    if (record->role == Role::BusFdo || record->role == Role::CardFdo) {
        return PassDown(record->lower, irp);
    }
    return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS AddFunctionDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, Role role) {
    DeviceRecord* below = RecordOf(pdo);
    Machine::Impl* machine = gMachine;
    PDEVICE_OBJECT fdo = machine->NewDevice(
        driver, DeviceRecord{role, machine, below->controller, below->card, nullptr},
        role == Role::BusFdo ? FILE_DEVICE_BUS_EXTENDER : pdo->DeviceType,
        role == Role::BusFdo              ? below->controller->name + " pcmcia fdo"
        : driver == machine->storageClass ? hk::DeviceLabel(pdo) + " storage class"
                                          : hk::DeviceLabel(pdo) + " function");
    if (fdo == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    RecordOf(fdo)->lower = lower;
    fdo->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if (role == Role::BusFdo) {
        below->controller->fdo = fdo;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PcmciaAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return AddFunctionDevice(driver, pdo, Role::BusFdo);
}

NTSTATUS CardFunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return AddFunctionDevice(driver, pdo, Role::CardFdo);
}

NTSTATUS MachineDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH& slot : driver->MajorFunction) {
        slot = MachineDispatch;
    }
    return STATUS_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------------------
// Cards.

CardSpec DiskCard() {
    return CardSpec{"disk", {u"GenDisk"}, FILE_DEVICE_DISK};
}
CardSpec CdRomCard() {
    return CardSpec{"cdrom", {u"GenCdRom"}, FILE_DEVICE_CD_ROM};
}
CardSpec NetCard() {
    return CardSpec{"net", {u"PCMCIA\\NetCard", u"*PNP8000"}, FILE_DEVICE_NETWORK};
}
CardSpec ModemCard() {
    return CardSpec{"modem", {u"PCMCIA\\Modem", u"*PNP0500"}, FILE_DEVICE_MODEM};
}
CardSpec CardWithIds(std::vector<std::u16string> ids) {
    return CardSpec{"ids", std::move(ids), FILE_DEVICE_UNKNOWN};
}

// ---------------------------------------------------------------------------
// The machine's controls.

Machine::Machine(PDRIVER_INITIALIZE filterEntry, Answering answering)
    : impl_(std::make_unique<Impl>()) {
    impl_->answering = answering;
    gMachine = impl_.get();
    impl_->pci = hk::LoadDriver("pci", MachineDriverEntry);
    impl_->pcmcia = hk::LoadDriver("pcmcia", MachineDriverEntry);
    impl_->pcmcia->DriverExtension->AddDevice = PcmciaAddDevice;
    impl_->cardfn = hk::LoadDriver("cardfn", MachineDriverEntry);
    impl_->cardfn->DriverExtension->AddDevice = CardFunctionAddDevice;
    impl_->storageClass = hk::LoadDriver("storage class", MachineDriverEntry);
    impl_->storageClass->DriverExtension->AddDevice = CardFunctionAddDevice;
    impl_->filter = hk::LoadDriver("VexaPCMFilter", filterEntry);
}

Machine::~Machine() {
    if (impl_->abandoned) {
        return;
    }
    std::vector<std::string> names;
    for (auto& entry : impl_->controllers) {
        names.push_back(entry.first);
    }
    for (const std::string& name : names) {
        RemoveController(name);
    }
    hk::DrainWork();
    hk::UnloadDriver(impl_->filter);
    hk::UnloadDriver(impl_->cardfn);
    hk::UnloadDriver(impl_->storageClass);
    hk::UnloadDriver(impl_->pcmcia);
    hk::UnloadDriver(impl_->pci);
    if (gMachine == impl_.get()) {
        gMachine = nullptr;
    }
}

void Machine::SetAnswering(Answering answering) {
    impl_->answering = answering;
}

PDRIVER_OBJECT Machine::FilterDriver() const {
    return impl_->filter;
}

bool Machine::AddController(const std::string& name) {
    return AddController(name, {});
}

bool Machine::AddController(const std::string& name, const std::map<int, CardSpec>& cards) {
    auto controller = std::make_unique<Controller>();
    controller->name = name;
    Controller* raw = controller.get();
    impl_->controllers[name] = std::move(controller);
    for (const auto& card : cards) {
        impl_->SeatCard(raw, card.first, card.second);
    }
    raw->pdo = impl_->NewDevice(
        impl_->pci, DeviceRecord{Role::ControllerPdo, impl_.get(), raw, nullptr, nullptr},
        FILE_DEVICE_CONTROLLER, name + " pdo");
    raw->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    auto node = std::make_unique<Devnode>();
    node->pdo = raw->pdo;
    node->controller = raw;
    Devnode* devnode = node.get();
    impl_->devnodes[raw->pdo] = std::move(node);
    hk::SetHeldByDevnode(raw->pdo, true);
    hk::CallAddDevice(impl_->pcmcia, raw->pdo);
    bool filtered = NT_SUCCESS(hk::CallAddDevice(impl_->filter, raw->pdo));
    devnode->started = NT_SUCCESS(impl_->SendPnp(raw->pdo, IRP_MN_START_DEVICE).status);
    if (devnode->started) {
        impl_->QueryBusRelations(devnode);
    }
    impl_->ProcessInvalidations();
    return filtered;
}

void Machine::RemoveController(const std::string& name) {
    Controller* controller = impl_->Find(name);
    if (controller == nullptr) {
        return;
    }
    controller->present = false;
    auto it = impl_->devnodes.find(controller->pdo);
    if (it != impl_->devnodes.end()) {
        impl_->RemoveStack(it->second.get(), Impl::Removal::Orderly);
    }
    impl_->removedControllers.push_back(std::move(impl_->controllers[name]));
    impl_->controllers.erase(name);
    impl_->ProcessInvalidations();
}

void Machine::SurpriseRemoveController(const std::string& name) {
    Controller* controller = impl_->Find(name);
    if (controller == nullptr) {
        return;
    }
    controller->present = false;
    auto it = impl_->devnodes.find(controller->pdo);
    if (it != impl_->devnodes.end()) {
        impl_->RemoveStack(it->second.get(), Impl::Removal::Surprise);
    }
    impl_->removedControllers.push_back(std::move(impl_->controllers[name]));
    impl_->controllers.erase(name);
    impl_->ProcessInvalidations();
}

Card* Machine::Impl::SeatCard(Controller* controller, int socket, const CardSpec& spec) {
    auto existing = controller->sockets.find(socket);
    if (existing != controller->sockets.end()) {
        controller->gone.push_back(std::move(existing->second));
        controller->sockets.erase(existing);
    }
    auto card = std::make_unique<Card>();
    card->spec = spec;
    card->controller = controller;
    card->socket = socket;
    card->serial = ++lastSerial;
    Card* raw = card.get();
    controller->sockets[socket] = std::move(card);
    raw->pdo = NewDevice(pcmcia, DeviceRecord{Role::CardPdo, this, controller, raw, nullptr},
                         spec.deviceType,
                         controller->name + " socket " + std::to_string(socket) + " " + spec.kind);
    raw->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return raw;
}

int Machine::InsertCard(const std::string& name, int socket, const CardSpec& spec) {
    Controller* controller = impl_->Find(name);
    if (controller == nullptr) {
        return 0;
    }
    Card* card = impl_->SeatCard(controller, socket, spec);
    IoInvalidateDeviceRelations(controller->pdo, BusRelations);
    impl_->ProcessInvalidations();
    return card->serial;
}

void Machine::PullCard(const std::string& name, int socket) {
    Controller* controller = impl_->Find(name);
    if (controller == nullptr) {
        return;
    }
    auto it = controller->sockets.find(socket);
    if (it == controller->sockets.end()) {
        return;
    }
    it->second->present = false;
    // A pulled card whose PDO nobody will remove any more is reclaimed by its
    // bus driver once the PDO has gone; keep the record for inspection.
    controller->gone.push_back(std::move(it->second));
    controller->sockets.erase(it);
    IoInvalidateDeviceRelations(controller->pdo, BusRelations);
    impl_->ProcessInvalidations();
}

void Machine::Enumerate(const std::string& name) {
    Controller* controller = impl_->Find(name);
    if (controller == nullptr) {
        return;
    }
    auto it = impl_->devnodes.find(controller->pdo);
    if (it != impl_->devnodes.end()) {
        impl_->QueryBusRelations(it->second.get());
    }
    impl_->ProcessInvalidations();
}

void Machine::ProcessInvalidations() {
    impl_->ProcessInvalidations();
}

NTSTATUS Machine::StopController(const std::string& name) {
    Controller* controller = impl_->Find(name);
    NTSTATUS status = impl_->SendPnp(controller->pdo, IRP_MN_QUERY_STOP_DEVICE).status;
    if (!NT_SUCCESS(status)) {
        return status;
    }
    impl_->SendPnp(controller->pdo, IRP_MN_STOP_DEVICE);
    status = impl_->SendPnp(controller->pdo, IRP_MN_START_DEVICE).status;
    impl_->ProcessInvalidations();
    return status;
}

NTSTATUS Machine::CancelStop(const std::string& name) {
    Controller* controller = impl_->Find(name);
    impl_->SendPnp(controller->pdo, IRP_MN_QUERY_STOP_DEVICE);
    return impl_->SendPnp(controller->pdo, IRP_MN_CANCEL_STOP_DEVICE).status;
}

NTSTATUS Machine::CancelRemove(const std::string& name) {
    Controller* controller = impl_->Find(name);
    impl_->SendPnp(controller->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    return impl_->SendPnp(controller->pdo, IRP_MN_CANCEL_REMOVE_DEVICE).status;
}

std::vector<PDEVICE_OBJECT> Machine::QueryRelations(PDEVICE_OBJECT stackBottom,
                                                    DEVICE_RELATION_TYPE type, NTSTATUS* status) {
    return impl_->QueryRelations(stackBottom, type, status);
}

NTSTATUS Machine::UsageNotification(PDEVICE_OBJECT stackBottom, DEVICE_USAGE_NOTIFICATION_TYPE type,
                                    bool inPath) {
    return impl_
        ->SendPnp(stackBottom, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                  [type, inPath](PIO_STACK_LOCATION stack) {
                      stack->Parameters.UsageNotification.Type = type;
                      stack->Parameters.UsageNotification.InPath = inPath ? TRUE : FALSE;
                  })
        .status;
}

PDEVICE_OBJECT Machine::ControllerPdo(const std::string& name) const {
    Controller* controller = impl_->Find(name);
    return controller == nullptr ? nullptr : controller->pdo;
}

namespace {
Card* FindCard(Machine::Impl* impl, const std::string& name, int socket, bool includeGone) {
    Controller* controller = impl->Find(name);
    if (controller == nullptr && includeGone) {
        // A controller that has left keeps its cards' records for inspection.
        for (auto it = impl->removedControllers.rbegin(); it != impl->removedControllers.rend();
             ++it) {
            if ((*it)->name == name) {
                controller = it->get();
                break;
            }
        }
    }
    if (controller == nullptr) {
        return nullptr;
    }
    auto it = controller->sockets.find(socket);
    if (it != controller->sockets.end()) {
        return it->second.get();
    }
    if (includeGone) {
        for (auto card = controller->gone.rbegin(); card != controller->gone.rend(); ++card) {
            if ((*card)->socket == socket) {
                return card->get();
            }
        }
    }
    return nullptr;
}
} // namespace

PDEVICE_OBJECT Machine::CardPdo(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, true);
    return card == nullptr || card->pdoDeleted ? nullptr : card->pdo;
}

bool Machine::CardVisible(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, false);
    return card != nullptr && !card->pdoDeleted && impl_->devnodes.count(card->pdo) != 0;
}

PDEVICE_OBJECT Machine::DeviceAboveCard(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, false);
    return card == nullptr || card->pdoDeleted ? nullptr : card->pdo->AttachedDevice;
}

std::vector<Received> Machine::CardRequests(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, true);
    return card == nullptr ? std::vector<Received>{} : card->received;
}

namespace {

// Sends a request into the top of a card's stack, if the PnP manager built one.
IoOutcome SendToCard(Machine::Impl* impl, Card* card, hk::IrpSpec spec, PSCSI_REQUEST_BLOCK srb) {
    IoOutcome outcome;
    if (card == nullptr || card->pdoDeleted || impl->devnodes.count(card->pdo) == 0) {
        return outcome;
    }
    size_t before = card->received.size();
    outcome.sent = true;
    outcome.result = hk::SendIrp(hk::TopOfStack(card->pdo), spec);
    outcome.reachedCard = card->received.size() > before;
    if (srb != nullptr) {
        outcome.hasSrb = true;
        outcome.srbStatus = srb->SrbStatus;
    }
    return outcome;
}

} // namespace

IoOutcome Machine::Scsi(const std::string& controller, int socket, const std::vector<UCHAR>& cdb,
                        USHORT srbLength) {
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = srbLength;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.SrbStatus = SRB_STATUS_PENDING;
    srb.CdbLength = static_cast<UCHAR>(std::min<size_t>(cdb.size(), 16));
    std::copy(cdb.begin(), cdb.begin() + srb.CdbLength, srb.Cdb);
    srb.DataTransferLength = 512;
    hk::IrpSpec spec;
    spec.major = IRP_MJ_SCSI;
    spec.parameters = [&srb](PIO_STACK_LOCATION stack) { stack->Parameters.Scsi.Srb = &srb; };
    return SendToCard(impl_.get(), FindCard(impl_.get(), controller, socket, false), spec, &srb);
}

IoOutcome Machine::Plain(const std::string& controller, int socket, UCHAR major) {
    hk::IrpSpec spec;
    spec.major = major;
    spec.parameters = [](PIO_STACK_LOCATION stack) { stack->Parameters.Write.Length = 512; };
    return SendToCard(impl_.get(), FindCard(impl_.get(), controller, socket, false), spec, nullptr);
}

IoOutcome Machine::PassThrough(const std::string& controller, int socket, bool direct,
                               const std::vector<UCHAR>& cdb, ULONG inputLength) {
    SCSI_PASS_THROUGH header{};
    header.Length = sizeof(header);
    header.CdbLength = static_cast<UCHAR>(std::min<size_t>(cdb.size(), 16));
    std::copy(cdb.begin(), cdb.begin() + header.CdbLength, header.Cdb);
    std::vector<UCHAR> input(inputLength, 0);
    memcpy(input.data(), &header, std::min<size_t>(inputLength, sizeof(header)));
    hk::IrpSpec spec;
    spec.major = IRP_MJ_DEVICE_CONTROL;
    spec.buffered = true;
    spec.input = input;
    spec.outputLength = sizeof(SCSI_PASS_THROUGH);
    ULONG code = direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH;
    spec.parameters = [code](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
    };
    return SendToCard(impl_.get(), FindCard(impl_.get(), controller, socket, false), spec, nullptr);
}

IoOutcome Machine::IsWritable(const std::string& controller, int socket) {
    hk::IrpSpec spec;
    spec.major = IRP_MJ_DEVICE_CONTROL;
    spec.buffered = true;
    spec.parameters = [](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_DISK_IS_WRITABLE;
    };
    return SendToCard(impl_.get(), FindCard(impl_.get(), controller, socket, false), spec, nullptr);
}

int Machine::MediumWrites(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, true);
    return card == nullptr ? 0 : card->mediumWrites;
}

std::vector<std::string> Machine::Controllers() const {
    std::vector<std::string> names;
    for (const auto& entry : impl_->controllers) {
        names.push_back(entry.first);
    }
    return names;
}

std::vector<int> Machine::Sockets(const std::string& controller) const {
    std::vector<int> sockets;
    Controller* found = impl_->Find(controller);
    if (found != nullptr) {
        for (const auto& entry : found->sockets) {
            sockets.push_back(entry.first);
        }
    }
    return sockets;
}

bool Machine::ControllerPresent(const std::string& name) const {
    return impl_->Find(name) != nullptr;
}

CardSpec Machine::CardOf(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, true);
    return card == nullptr ? CardSpec{} : card->spec;
}

int Machine::RemoveRequestsAtCard(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, true);
    return card == nullptr ? 0 : card->removeRequests;
}

int Machine::CardSerial(const std::string& controller, int socket) const {
    Card* card = FindCard(impl_.get(), controller, socket, false);
    return card == nullptr ? 0 : card->serial;
}

CardInfo Machine::CardBySerial(int serial) const {
    CardInfo info;
    Card* card = impl_->CardWithSerial(serial);
    if (card == nullptr) {
        return info;
    }
    info.found = true;
    info.spec = card->spec;
    info.present = card->present && card->controller->present &&
                   impl_->Find(card->controller->name) == card->controller &&
                   card->controller->sockets.count(card->socket) != 0 &&
                   card->controller->sockets[card->socket].get() == card;
    info.visible = !card->pdoDeleted && impl_->devnodes.count(card->pdo) != 0;
    info.pdo = card->pdoDeleted ? nullptr : card->pdo;
    info.removeRequests = card->removeRequests;
    info.mediumWrites = card->mediumWrites;
    if (!card->pdoDeleted) {
        info.above = card->pdo->AttachedDevice;
    } else {
        // A PDO deleted while a filter still sits on it stays in memory until
        // the filter detaches; only such a filter can still be above it.
        for (PDEVICE_OBJECT orphan : hk::OrphanedFilters()) {
            if (hk::LowerOf(orphan) == card->pdo) {
                info.above = orphan;
            }
        }
    }
    return info;
}

void Machine::Abandon() {
    // The records stay allocated until the machine object goes (the host
    // kernel's reset may still look at device extensions that point to them).
    impl_->abandoned = true;
    if (gMachine == impl_.get()) {
        gMachine = nullptr;
    }
}

} // namespace sim
