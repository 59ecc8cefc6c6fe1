// The service's control requests as verbs, shared by pcmfilter-sim ("ctl
// VERB") and pcmfilterctl: one table of names, control codes, buffer lengths
// and what each request does.  Plain data over the user-mode header, so the
// Windows build of pcmfilterctl sends the same requests through
// DeviceIoControl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

enum class VerbInput {
    None,  // no input buffer
    Event, // a FILTER_EVENT_INPUT naming a new event handle
};

struct ControlVerb {
    const char* name;      // "set-allblock"
    uint32_t code;         // IOCTL_PCMCIA_FILTER_*
    VerbInput input;       // what the input buffer holds
    uint32_t outputLength; // output buffer length sent
    const char* summary;   // one line: what the request does
};

// Every verb, in the order of the control codes.
const std::vector<ControlVerb>& ControlVerbs();
// The verb of that name, or null.
const ControlVerb* FindControlVerb(const std::string& name);
// "resume suspend ..." for help texts.
std::string ControlVerbNames();

// An NTSTATUS as "0x" and eight upper-case hex digits, with its name when it
// is one the driver or the I/O manager answers with ("0xC0000022
// STATUS_ACCESS_DENIED" from StatusText; StatusHex gives the number alone).
std::string StatusHex(uint32_t status);
std::string StatusName(uint32_t status); // empty when unknown
std::string StatusText(uint32_t status);

// Bytes as lower-case hex without separators.
std::string HexBytes(const std::vector<uint8_t>& bytes);
std::string HexBytes(const uint8_t* bytes, size_t size);

// The two words of the status answer in words.
std::string DeviceStateText(uint32_t deviceState);
std::string ProtectionStateText(uint32_t protectionState);

} // namespace tools
