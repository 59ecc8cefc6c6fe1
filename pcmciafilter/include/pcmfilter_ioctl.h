// The contract between the driver and the user-mode service: the device name,
// the control codes and the two buffer layouts.  Shared by the driver and
// every tool; little-endian, 32-bit fields, METHOD_BUFFERED throughout.
#pragma once

// The control device, and the name user mode opens ("\\.\VexaFil2").
#define PCMFILTER_DEVICE_NAME "\\Device\\VexaPCMFilter"
#define PCMFILTER_DOS_NAME "\\DosDevices\\VexaFil2"
#define PCMFILTER_WIN32_NAME "\\\\.\\VexaFil2"

// Control codes: FILE_DEVICE_UNKNOWN (0x22), FILE_ANY_ACCESS, METHOD_BUFFERED.
#define PCMFILTER_CTL_CODE(Function) ((0x22u << 16) | (0u << 14) | ((Function) << 2) | 0u)

#define IOCTL_PCMCIA_FILTER_RESUME PCMFILTER_CTL_CODE(0xDF6u)         // 0x2237D8
#define IOCTL_PCMCIA_FILTER_SUSPEND PCMFILTER_CTL_CODE(0xDF7u)        // 0x2237DC
#define IOCTL_PCMCIA_FILTER_REBASELINE PCMFILTER_CTL_CODE(0xDF8u)     // 0x2237E0
#define IOCTL_PCMCIA_FILTER_SET_OFF PCMFILTER_CTL_CODE(0xDF9u)        // 0x2237E4
#define IOCTL_PCMCIA_FILTER_SET_ALLBLOCK PCMFILTER_CTL_CODE(0xDFAu)   // 0x2237E8
#define IOCTL_PCMCIA_FILTER_SET_READONLY PCMFILTER_CTL_CODE(0xDFBu)   // 0x2237EC
#define IOCTL_PCMCIA_FILTER_CLEAR_READONLY PCMFILTER_CTL_CODE(0xDFCu) // 0x2237F0
#define IOCTL_PCMCIA_FILTER_GET_READONLY PCMFILTER_CTL_CODE(0xDFDu)   // 0x2237F4
#define IOCTL_PCMCIA_FILTER_SET_EVENT PCMFILTER_CTL_CODE(0xDFEu)      // 0x2237F8
#define IOCTL_PCMCIA_FILTER_CLEAR_EVENT PCMFILTER_CTL_CODE(0xDFFu)    // 0x2237FC
#define IOCTL_PCMCIA_FILTER_GET_STATUS PCMFILTER_CTL_CODE(0xF7Fu)     // 0x223DFC

// Input of IOCTL_PCMCIA_FILTER_SET_EVENT: 8 bytes.  The handle is the
// requester's handle to an event, as a 32-bit value at offset 4.
typedef struct _FILTER_EVENT_INPUT {
    unsigned int Reserved; // not read
    unsigned int EventHandle;
} FILTER_EVENT_INPUT;

// DeviceState values.
#define FILTER_DEVICES_UNCHANGED 0 // every bus device of the baseline is still there
#define FILTER_DEVICES_GONE 1      // a bus device of the baseline has gone
#define FILTER_DEVICES_ORPHANED 2  // a filter was removed while a child filter remained

// Output of IOCTL_PCMCIA_FILTER_GET_STATUS: 8 bytes.
typedef struct _FILTER_STATUS {
    unsigned int DeviceState;     // FILTER_DEVICES_*
    unsigned int ProtectionState; // 0 to 3, from the stored settings
} FILTER_STATUS;

// Output of IOCTL_PCMCIA_FILTER_GET_READONLY: one 32-bit value, 1 or 0.
#define FILTER_READONLY_OUTPUT_SIZE 4

#if defined(__cplusplus)
static_assert(sizeof(FILTER_EVENT_INPUT) == 8, "FILTER_EVENT_INPUT is 8 bytes");
static_assert(__builtin_offsetof(FILTER_EVENT_INPUT, EventHandle) == 4, "the handle is at 4");
static_assert(sizeof(FILTER_STATUS) == 8, "FILTER_STATUS is 8 bytes");
static_assert(IOCTL_PCMCIA_FILTER_RESUME == 0x2237D8u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_SUSPEND == 0x2237DCu, "control code");
static_assert(IOCTL_PCMCIA_FILTER_REBASELINE == 0x2237E0u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_SET_OFF == 0x2237E4u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_SET_ALLBLOCK == 0x2237E8u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_SET_READONLY == 0x2237ECu, "control code");
static_assert(IOCTL_PCMCIA_FILTER_CLEAR_READONLY == 0x2237F0u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_GET_READONLY == 0x2237F4u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_SET_EVENT == 0x2237F8u, "control code");
static_assert(IOCTL_PCMCIA_FILTER_CLEAR_EVENT == 0x2237FCu, "control code");
static_assert(IOCTL_PCMCIA_FILTER_GET_STATUS == 0x223DFCu, "control code");
#endif
