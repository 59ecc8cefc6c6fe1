// The driver's shared declarations: driver-wide state, the device extensions,
// child records and the routines every part of the driver calls.
//
// Three kinds of device object belong to this driver:
//  - a bus filter, attached over each PCMCIA bus device the PnP manager gives it;
//  - a child filter (storage or non-storage), attached over a child card's PDO;
//  - the control device, through which the user-mode service reaches it.
// Bus and child filters carry a FILTER_EXTENSION, the control device a
// CONTROL_EXTENSION.
#pragma once

#include "kernel/kernel.h"

// ---------------------------------------------------------------------------
// Enumerations.

// The block mode in force.  Only BlockModeAllBlock changes behaviour.
typedef enum _BLOCK_MODE {
    BlockModeNone = 0,     // no verified mode, or "OFF"
    BlockModeOn = 1,       // "ON"
    BlockModeBlock = 2,    // "BLOCK"
    BlockModeAllBlock = 3, // "ALLBLOCK": every child of a bus is hidden
} BLOCK_MODE;

typedef enum _PNP_STATE {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
    SurpriseRemovePending = 5,
    Deleted = 6,
} PNP_STATE;

// ---------------------------------------------------------------------------
// Child records.

#define CHILD_LIST_CAPACITY 128
#define FILTER_REGISTRY_CAPACITY 128
#define ATTACH_PAIR_CAPACITY 128
#define KNOWN_DEVICE_CAPACITY 100

// What a relations pass knows of a child.  Every identity the driver builds
// holds only the three labels ("VID", "PID", "S/N", each with a zero byte) at
// the start of their fields, so all identities are equal and records differ
// only by Pdo and Attached.
typedef struct _CHILD_IDENTITY {
    UCHAR Vid[32];
    UCHAR Pid[32];
    UCHAR SerialNumber[256];
    UCHAR Reserved[520];
} CHILD_IDENTITY, *PCHILD_IDENTITY;

// One recorded child.  Records live in zero-filled arrays and are written field
// by field, so two records compare equal byte for byte exactly when their
// identities, Pdo and Attached are equal.
typedef struct _CHILD_RECORD {
    CHILD_IDENTITY Identity;
    PDEVICE_OBJECT Pdo; // the child's PDO as it appeared in the relation list
    BOOLEAN Attached;   // 1: a child filter was attached over it; 0: hidden
} CHILD_RECORD, *PCHILD_RECORD;

// One child filter's attachment.
typedef struct _ATTACH_PAIR {
    PDEVICE_OBJECT Pdo;        // the child PDO the child filter was created for
    PDEVICE_OBJECT AttachedTo; // the device the child filter sits on (its LowerDevice)
} ATTACH_PAIR, *PATTACH_PAIR;

// ---------------------------------------------------------------------------
// Device extensions.

// The extension of every bus filter and child filter.  Both child arrays live
// here (about 212 KB), so recording children in a completion routine needs no
// allocation; IoCreateDevice zero-fills the extension.
typedef struct _FILTER_EXTENSION {
    PDEVICE_OBJECT Self;        // the device object that owns this extension
    PDEVICE_OBJECT LowerDevice; // returned by the attach; every forwarded request goes here
    PNP_STATE PnpState;
    PNP_STATE PreviousPnpState; // state before the last transition, for cancel requests
    IO_REMOVE_LOCK RemoveLock;  // keeps the filter alive while requests are in flight
    CHILD_RECORD PreviousChildren[CHILD_LIST_CAPACITY]; // records of the pass before the latest
    ULONG PreviousChildCount;
    CHILD_RECORD Children[CHILD_LIST_CAPACITY]; // records of the latest relations pass
    ULONG ChildCount;
    BOOLEAN OtherChild;            // a non-storage child filter
    BOOLEAN StorageChild;          // a storage child filter
    BOOLEAN RemovalRelationsSeen;  // a removal-relations query reached this child filter since
                                   // the last other relations query
    BOOLEAN FirstRemovePending;    // set at creation; cleared by the one deferred remove
    PDEVICE_OBJECT Pdo;            // bus filter: the PDO it was attached for; child filter: NULL
    BOOLEAN HoldsControlReference; // bus filter: its first successful start took a reference on
                                   // the control device, which its removal drops
} FILTER_EXTENSION, *PFILTER_EXTENSION;

// The control device's extension.
typedef struct _CONTROL_EXTENSION {
    ULONG ControlDeleted; // set just before the device is deleted; later requests are refused
    PVOID ControlData;    // always NULL
} CONTROL_EXTENSION, *PCONTROL_EXTENSION;

// ---------------------------------------------------------------------------
// Driver-wide state: one instance in static storage, all zero at load.

typedef struct _DRIVER_STATE {
    LONG ControlRefCount;         // one per started bus filter plus one per open handle
    BOOLEAN NotifyEventHeld;      // NotifyEvent holds a referenced event
    BOOLEAN ReadOnlyActive;       // read-only protection in force; set only by a settings load
    BLOCK_MODE BlockMode;         // block mode in force; set only by a settings load
    ULONG FilterCount;            // entries in FilterDevices
    ULONG PairCount;              // entries in AttachPairs
    ULONG KnownCount;             // entries in KnownDevices
    BOOLEAN ReadOnlyConfigured;   // read-only setting as last loaded or set; reported by status
    BOOLEAN ChildFiltersOrphaned; // a filter was removed while a recorded child still had a
                                  // child filter; never cleared
    BOOLEAN EnforcementSuspended; // set by suspend, cleared by resume: no hiding, no blocking
    FAST_MUTEX ControlMutex;      // serialises ControlRefCount and ControlDevice
    PDEVICE_OBJECT KnownDevices[KNOWN_DEVICE_CAPACITY]; // bus filters since load or re-baseline
    PKEVENT NotifyEvent;                           // the service's notification event, referenced
    KSPIN_LOCK StateLock;                          // the driver's one spin lock
    ATTACH_PAIR AttachPairs[ATTACH_PAIR_CAPACITY]; // one entry per child filter
    PDEVICE_OBJECT FilterDevices[FILTER_REGISTRY_CAPACITY]; // the registered bus filters
    PDEVICE_OBJECT ControlDevice; // the control device, or NULL while there is none
} DRIVER_STATE, *PDRIVER_STATE;

extern DRIVER_STATE DriverState;

// Fields some paths read on purpose without StateLock (a single byte or word
// that changes only on a control request or a settings load): their writers
// store them whole, under the lock, and such a reader sees the old value or
// the new one.
#define READ_UNLOCKED(field) __atomic_load_n(&(field), __ATOMIC_RELAXED)
#define WRITE_SHARED(field, value) __atomic_store_n(&(field), (value), __ATOMIC_RELAXED)

// The 32-bit layouts are the contract with the platform, the service and the
// stored records; the host keeps the pass-through header's layout too.
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, CdbLength) == 6, "pass-through CdbLength at 6");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == 28, "pass-through Cdb at 28");
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "pass-through header is 44 bytes");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6, "direct CdbLength at 6");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28, "direct Cdb at 28");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "direct header is 44 bytes");
static_assert(sizeof(CHILD_IDENTITY) == 840, "CHILD_IDENTITY is 840 bytes");
#if defined(PCMF_TARGET_KERNEL)
static_assert(sizeof(CHILD_RECORD) == 848, "CHILD_RECORD is 848 bytes");
static_assert(sizeof(CONTROL_EXTENSION) == 8, "CONTROL_EXTENSION is 8 bytes");
static_assert(FIELD_OFFSET(DEVICE_RELATIONS, Objects) == 4, "relation entries start at 4");
static_assert(sizeof(PDEVICE_OBJECT) == 4, "a relation entry is 4 bytes");
#endif

// Pool tags, as values; the comment shows the bytes as they lie in memory.
#define REMOVE_LOCK_TAG 0x6C694654 // "TFil"

// ---------------------------------------------------------------------------
// Kinds of device object.

// A bus filter has both kind bytes clear.
inline BOOLEAN IsBusFilter(const FILTER_EXTENSION* Extension) {
    return !Extension->OtherChild && !Extension->StorageChild;
}

// Whether a device object of this driver carries a FILTER_EXTENSION.  A filter's
// extension starts with its own device object (Self); the control device's
// starts with ControlDeleted, which is 0 or 1 and never a device address.  This
// recognises the control device even after ControlDevice was cleared by a
// deletion that raced with the request.
inline BOOLEAN IsFilterDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT self;
    if (DeviceObject->DeviceExtension == NULL) {
        return FALSE;
    }
    RtlCopyMemory(&self, DeviceObject->DeviceExtension, sizeof(self));
    return self == DeviceObject && DeviceObject != DriverState.ControlDevice;
}

// ---------------------------------------------------------------------------
// Entry, dispatch routing and forwarding.

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchPassThrough;
DRIVER_DISPATCH DispatchPower;
IO_COMPLETION_ROUTINE SyncCompletion;

// Completes a request at the driver with the given status and no information.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);

// Requests of the PnP, storage and control paths.
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchScsi;
DRIVER_DISPATCH DispatchControl;
// The filter-device branch of DispatchControl (write blocking on storage
// child filters).
NTSTATUS DispatchFilterControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---------------------------------------------------------------------------
// Bus filter creation and the device registries.  Every registry operation
// takes StateLock for its whole duration; IsPdoFiltered reads without it.

DRIVER_ADD_DEVICE FilterAddDevice;
BOOLEAN RegisterFilterDevice(PDEVICE_OBJECT Device);
VOID UnregisterFilterDevice(PDEVICE_OBJECT Device);
BOOLEAN RegisterAttachPair(PDEVICE_OBJECT Pdo, PDEVICE_OBJECT AttachedTo);
VOID UnregisterAttachPair(PDEVICE_OBJECT Device);
BOOLEAN IsPdoFiltered(PDEVICE_OBJECT Pdo);

// ---------------------------------------------------------------------------
// Relations processing: the fate of every child a relation list names.

// Pool tag of the relations work block: bytes "LRDF".
#define RELATIONS_WORK_TAG 0x4644524C

// The working memory of one relations or ejection pass, from non-paged pool
// (too large for a kernel stack).  The entries a pass keeps are gathered in
// order at the front of the lower driver's own list: they are a subsequence of
// it, so the list always has room for them, however long it is, and any path
// that must hand that list up can do so with exactly the entries kept.
typedef struct _RELATIONS_WORK_BLOCK {
    ULONG KeptCount;               // entries kept so far, at the front of the list
    PDEVICE_OBJECT Entry;          // the entry being examined
    CHILD_IDENTITY Identity;       // the identity built for it
    PIRP SubRequest;               // carries the identity query to the entry
    PDEVICE_RELATIONS Replacement; // the list handed up in place of the lower driver's
    ULONG ReplacementSize;         // its size in bytes
    UCHAR Reserved[1220];          // pads the block to its fixed size
} RELATIONS_WORK_BLOCK, *PRELATIONS_WORK_BLOCK;

#if defined(PCMF_TARGET_KERNEL)
static_assert(sizeof(RELATIONS_WORK_BLOCK) == 2080, "the relations work block is 2080 bytes");
#endif

IO_COMPLETION_ROUTINE BusRelationsCompletion;
IO_COMPLETION_ROUTINE EjectionRelationsCompletion;
IO_COMPLETION_ROUTINE UsageNotificationCompletion;
NTSTATUS SendQueryId(PDEVICE_OBJECT Target, PIRP Irp, BUS_QUERY_ID_TYPE IdType);
NTSTATUS CreateChildFilter(PDEVICE_OBJECT Parent, PDEVICE_OBJECT Child, BOOLEAN Storage);
BOOLEAN RecordChild(PFILTER_EXTENSION Extension, const CHILD_IDENTITY* Identity, PDEVICE_OBJECT Pdo,
                    BOOLEAN Attached);
VOID ClearChildren(PFILTER_EXTENSION Extension);
VOID RemoveVanishedChildren(PFILTER_EXTENSION Extension);
VOID RemoveHiddenChildren(PFILTER_EXTENSION Extension);
VOID SendRemoveDevice(PDEVICE_OBJECT Pdo);
// Releases a relation list the driver received and will not hand up: drops
// the reference each entry carries and frees the list as the lower driver's.
VOID ReleaseRelationList(PDEVICE_RELATIONS List);

// ---------------------------------------------------------------------------
// Protected settings in the registry (PASSIVE_LEVEL).

// Key and value names, relative to the services root.
#define SETTINGS_KEY WIDE("VexaPCMFilter")
#define SETTINGS_MAC_KEY WIDE("VexaPCMFilter\\1")
#define SETTINGS_SALT_KEY WIDE("VexaPCMFilter\\2")

NTSTATUS WriteRegistryString(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, PUNICODE_STRING Data);
NTSTATUS QueryRegistryString(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                             PUNICODE_STRING Destination);
NTSTATUS WriteProtectedValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                             PUNICODE_STRING Value);
NTSTATUS ReadProtectedValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                            PUNICODE_STRING Destination);
BOOLEAN VerifyProtectedSetting(PCWSTR ValueName, PCWSTR MacValueName, PUNICODE_STRING Value);
VOID LoadSettings();
NTSTATUS StoreBlockMode(PCWSTR Text);
NTSTATUS StoreReadOnly(PCWSTR Text);

// ---------------------------------------------------------------------------
// The control device (PASSIVE_LEVEL; ControlMutex).

#define CONTROL_DEVICE_NAME WIDE("\\Device\\VexaPCMFilter")
#define CONTROL_LINK_NAME WIDE("\\DosDevices\\VexaFil2")

NTSTATUS CreateControlDevice(PDEVICE_OBJECT DeviceObject);
VOID DeleteControlDevice();
// Registers the service's notification event from a FILTER_EVENT_INPUT
// (include/pcmfilter_ioctl.h), referencing the handle in the requester's mode.
struct _FILTER_EVENT_INPUT;
NTSTATUS RegisterNotifyEvent(const struct _FILTER_EVENT_INPUT* Input,
                             KPROCESSOR_MODE RequestorMode);

// The handle reference of a create request: STATUS_SUCCESS when counted,
// STATUS_DEVICE_REMOVED when the device turned out to be in deletion.
NTSTATUS ReferenceControlHandle(PDEVICE_OBJECT ControlDeviceObject);
