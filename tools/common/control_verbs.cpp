// The verb table and the formatting shared by the tools.
#include "tools/common/control_verbs.h"

#include <cstdio>

#include "include/pcmfilter_ioctl.h"

namespace tools {

const std::vector<ControlVerb>& ControlVerbs() {
    static const std::vector<ControlVerb> verbs = {
        {"resume", IOCTL_PCMCIA_FILTER_RESUME, VerbInput::None, 0,
         "enforcement resumes at once; every bus re-enumerates"},
        {"suspend", IOCTL_PCMCIA_FILTER_SUSPEND, VerbInput::None, 0,
         "enforcement is suspended at once (no hiding, no write blocking); every bus "
         "re-enumerates"},
        {"rebaseline", IOCTL_PCMCIA_FILTER_REBASELINE, VerbInput::None, 0,
         "the bus devices registered now become the baseline the status compares against"},
        {"set-off", IOCTL_PCMCIA_FILTER_SET_OFF, VerbInput::None, 0,
         "stores block mode OFF and read-only NO (in force at the next settings load)"},
        {"set-allblock", IOCTL_PCMCIA_FILTER_SET_ALLBLOCK, VerbInput::None, 0,
         "stores block mode ALLBLOCK (in force at the next settings load)"},
        {"set-readonly", IOCTL_PCMCIA_FILTER_SET_READONLY, VerbInput::None, 0,
         "stores read-only YES (in force at the next settings load; reported at once)"},
        {"clear-readonly", IOCTL_PCMCIA_FILTER_CLEAR_READONLY, VerbInput::None, 0,
         "stores read-only NO (in force at the next settings load; reported at once)"},
        {"get-readonly", IOCTL_PCMCIA_FILTER_GET_READONLY, VerbInput::None,
         FILTER_READONLY_OUTPUT_SIZE, "reads the configured read-only switch (1 or 0)"},
        {"set-event", IOCTL_PCMCIA_FILTER_SET_EVENT, VerbInput::Event, 0,
         "registers a new event, signalled once per swallowed write"},
        {"clear-event", IOCTL_PCMCIA_FILTER_CLEAR_EVENT, VerbInput::None, 0,
         "releases the registered event"},
        {"status", IOCTL_PCMCIA_FILTER_GET_STATUS, VerbInput::None, sizeof(FILTER_STATUS),
         "reads the two-word status: the bus devices, and the protection stored"},
    };
    return verbs;
}

const ControlVerb* FindControlVerb(const std::string& name) {
    for (const ControlVerb& verb : ControlVerbs()) {
        if (name == verb.name) {
            return &verb;
        }
    }
    return nullptr;
}

std::string ControlVerbNames() {
    std::string names;
    for (const ControlVerb& verb : ControlVerbs()) {
        names += (names.empty() ? "" : " ") + std::string(verb.name);
    }
    return names;
}

std::string StatusHex(uint32_t status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", status);
    return text;
}

std::string StatusName(uint32_t status) {
    switch (status) {
    case 0x00000000:
        return "STATUS_SUCCESS";
    case 0x00000103:
        return "STATUS_PENDING";
    case 0xC0000001:
        return "STATUS_UNSUCCESSFUL";
    case 0xC0000002:
        return "STATUS_NOT_IMPLEMENTED";
    case 0xC000000D:
        return "STATUS_INVALID_PARAMETER";
    case 0xC0000010:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case 0xC0000022:
        return "STATUS_ACCESS_DENIED";
    case 0xC0000023:
        return "STATUS_BUFFER_TOO_SMALL";
    case 0xC0000034:
        return "STATUS_OBJECT_NAME_NOT_FOUND";
    case 0xC0000056:
        return "STATUS_DELETE_PENDING";
    case 0xC000009A:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case 0xC00000A2:
        return "STATUS_MEDIA_WRITE_PROTECTED";
    case 0xC00000BB:
        return "STATUS_NOT_SUPPORTED";
    case 0xC000003E:
        return "STATUS_DATA_ERROR";
    case 0xC00002B6:
        return "STATUS_DEVICE_REMOVED";
    case 0xC0000008:
        return "STATUS_INVALID_HANDLE";
    case 0xC0000024:
        return "STATUS_OBJECT_TYPE_MISMATCH";
    default:
        return "";
    }
}

std::string StatusText(uint32_t status) {
    std::string name = StatusName(status);
    return StatusHex(status) + (name.empty() ? "" : " " + name);
}

std::string HexBytes(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    return HexBytes(bytes.data(), bytes.size());
}

std::string DeviceStateText(uint32_t deviceState) {
    switch (deviceState) {
    case FILTER_DEVICES_UNCHANGED:
        return "every bus device of the baseline is still there";
    case FILTER_DEVICES_GONE:
        return "a bus device of the baseline has gone";
    case FILTER_DEVICES_ORPHANED:
        return "a filter was removed while a child filter remained";
    default:
        return "unknown device state " + std::to_string(deviceState);
    }
}

std::string ProtectionStateText(uint32_t protectionState) {
    switch (protectionState) {
    case 0:
        return "block mode unset, BLOCK or ALLBLOCK; read-only not stored as YES";
    case 1:
        return "block mode stored as OFF; read-only not stored as YES";
    case 2:
        return "block mode stored as ON; read-only not configured";
    case 3:
        return "read-only stored as YES (or configured, with block mode ON)";
    default:
        return "unknown protection state " + std::to_string(protectionState);
    }
}

} // namespace tools
