// The simulated machine around the driver: a PnP manager, PCMCIA controllers
// with sockets, the cards in them and the function drivers the PnP manager
// loads for the cards.  Each part is a small WDM-style driver (or, for the
// PnP manager, a host-side actor) on the host kernel and records what it
// received, so tests and the simulator can assert and print it.
//
// The PnP manager does what the platform does with this driver's devices:
//  - AddDevice of the upper filter for each controller, a synchronous start,
//    then a bus-relations query;
//  - a bus-relations query after every IoInvalidateDeviceRelations;
//  - for each child in an answer that it has no stack for: AddDevice of the
//    card's function driver (on top of whatever the filter attached directly
//    above the card's PDO) and a start; for each child it had a stack for
//    that the answer no longer names: surprise removal and remove of that
//    stack;
//  - the orderly removal of a controller (removal relations for every stack,
//    query-remove and remove of the children's stacks, then its own), stop
//    and cancel sequences, ejection, removal and target relation queries, and
//    usage notifications on request;
//  - it drops the reference on every device object named in a relation list
//    it receives, and frees the list, as the platform does.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/host/host_control.h"

namespace sim {

// What a card reports and how its function driver behaves.
struct CardSpec {
    std::string kind;                          // "disk", "cdrom", "net", "modem", "ids"
    std::vector<std::u16string> compatibleIds; // first one decides storage or not
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
};

CardSpec DiskCard();  // "GenDisk"
CardSpec CdRomCard(); // "GenCdRom"
CardSpec NetCard();   // a network card
CardSpec ModemCard(); // a modem
CardSpec CardWithIds(std::vector<std::u16string> ids);

// A request that entered the stack of a card at its top, and what came of it.
struct IoOutcome {
    bool sent = false; // false: the card has no stack to send to
    hk::IoResult result;
    bool reachedCard = false; // the request reached the card's PDO
    bool hasSrb = false;
    UCHAR srbStatus = 0;
};

// How the controller's bus driver answers requests.
enum class Answering { Synchronous, Pending };

// One request a device received, for assertions ("IRP_MN_REMOVE_DEVICE").
struct Received {
    UCHAR major;
    UCHAR minor;
    ULONG relationType; // for relation queries
};

// What the machine knows of one card, also after it left its socket or its
// controller went away.
struct CardInfo {
    bool found = false;
    CardSpec spec;
    bool present = false;         // still in its socket, on a controller that is present
    bool visible = false;         // the PnP manager has a stack (a device node) for it
    PDEVICE_OBJECT pdo = nullptr; // null once the PDO was deleted
    // The device directly above the PDO: the top of nothing else but whatever
    // sits on it, also a filter left attached over a PDO deleted under it.
    PDEVICE_OBJECT above = nullptr;
    int removeRequests = 0; // IRP_MN_REMOVE_DEVICE requests its PDO received
    int mediumWrites = 0;   // writes that reached its medium
};

struct Card;
struct Controller;

class Machine {
public:
    // The machine loads `filterEntry` as the upper filter driver of every
    // PCMCIA controller ("VexaPCMFilter").  The registry and clock of the
    // host kernel are left as they are.
    explicit Machine(PDRIVER_INITIALIZE filterEntry, Answering answering = Answering::Synchronous);
    ~Machine(); // removes everything still present and unloads every driver

    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    void SetAnswering(Answering answering);

    // A controller appears: its PDO, AddDevice of the filter, start, then a
    // bus-relations query.  Returns false when the filter's AddDevice failed
    // (the controller then runs without the filter).
    bool AddController(const std::string& name);
    // The same, with cards already in their sockets when the controller
    // appears (as after a restart): its first bus-relations answer names them.
    bool AddController(const std::string& name, const std::map<int, CardSpec>& cards);
    // Orderly removal of a controller and everything on it.
    void RemoveController(const std::string& name);
    // Surprise removal of a controller (it was yanked).
    void SurpriseRemoveController(const std::string& name);

    // Cards come and go; the controller invalidates its relations and the
    // PnP manager queries them at once.
    // InsertCard returns the card's serial number (1, 2, ... in the machine's
    // life), by which it can be inspected after it left; 0 when the controller
    // is unknown.
    int InsertCard(const std::string& controller, int socket, const CardSpec& card);
    void PullCard(const std::string& controller, int socket);
    // The PnP manager queries the controller's bus relations now.
    void Enumerate(const std::string& controller);
    // Queries every invalidated stack (the driver's IoInvalidateDeviceRelations).
    void ProcessInvalidations();

    // Orderly sequences on a controller's stack.
    NTSTATUS StopController(const std::string& name); // query-stop, stop, start again
    NTSTATUS CancelStop(const std::string& name);     // query-stop, cancel-stop
    NTSTATUS CancelRemove(const std::string& name);   // query-remove, cancel-remove
    // Relation queries sent to the top of a stack; returns the list the PnP
    // manager received (device objects, already dereferenced).
    std::vector<PDEVICE_OBJECT> QueryRelations(PDEVICE_OBJECT stackBottom,
                                               DEVICE_RELATION_TYPE type,
                                               NTSTATUS* status = nullptr);
    NTSTATUS UsageNotification(PDEVICE_OBJECT stackBottom, DEVICE_USAGE_NOTIFICATION_TYPE type,
                               bool inPath);

    // Requests from the drivers loaded for a card (for a storage card, its
    // storage class driver), entering the card's stack at its top.
    IoOutcome Scsi(const std::string& controller, int socket, const std::vector<UCHAR>& cdb,
                   USHORT srbLength = sizeof(SCSI_REQUEST_BLOCK));
    IoOutcome Plain(const std::string& controller, int socket, UCHAR major); // IRP_MJ_READ/WRITE
    IoOutcome PassThrough(const std::string& controller, int socket, bool direct,
                          const std::vector<UCHAR>& cdb,
                          ULONG inputLength = sizeof(SCSI_PASS_THROUGH));
    IoOutcome IsWritable(const std::string& controller, int socket);
    // Writes that reached the card's medium (SRB, pass-through and plain writes).
    int MediumWrites(const std::string& controller, int socket) const;

    // Inspection.
    PDEVICE_OBJECT ControllerPdo(const std::string& name) const;
    std::vector<std::string> Controllers() const;
    // Sockets of a controller that hold a card now.
    std::vector<int> Sockets(const std::string& controller) const;
    bool ControllerPresent(const std::string& name) const;
    CardSpec CardOf(const std::string& controller, int socket) const;
    PDEVICE_OBJECT CardPdo(const std::string& controller, int socket) const;
    // Whether the PnP manager has a stack (a started device node) for it.
    bool CardVisible(const std::string& controller, int socket) const;
    // The device directly above the card's PDO (the child filter), or null.
    PDEVICE_OBJECT DeviceAboveCard(const std::string& controller, int socket) const;
    // Requests the card's PDO received, in order, from anyone.
    std::vector<Received> CardRequests(const std::string& controller, int socket) const;
    int RemoveRequestsAtCard(const std::string& controller, int socket) const;
    PDRIVER_OBJECT FilterDriver() const;
    // The serial number of the card in a controller's socket now (0: none).
    int CardSerial(const std::string& controller, int socket) const;
    // A card by its serial number, wherever it is now.
    CardInfo CardBySerial(int serial) const;

    // Power is cut: the machine forgets every controller, card, device node
    // and driver without sending a request or freeing a device, as a restart
    // loses memory.  The caller resets the host kernel afterwards; the
    // destructor then does nothing more.
    void Abandon();

    struct Impl; // the machine's state, shared with its drivers

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace sim
