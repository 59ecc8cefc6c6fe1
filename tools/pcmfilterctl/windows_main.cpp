// pcmfilterctl for Windows: the service's control requests against the real
// device, "\\.\VexaFil2", one verb per request from the same verb table the
// simulator uses.
//
//   pcmfilterctl VERB              sends the request and prints its answer
//   pcmfilterctl set-event [SECONDS]
//                                  registers a new event and reports every
//                                  swallowed write for SECONDS (default 60)
//   pcmfilterctl raw CODE INLEN OUTLEN [HEX]
//                                  any control code with those buffer lengths
//
// Opening the device needs an administrator (or local system).  Exit status:
// 0 when the request succeeded, 1 when it failed, 2 for a usage error.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "include/pcmfilter_ioctl.h"
#include "tools/common/control_verbs.h"

namespace {

void Usage() {
    std::printf("usage: pcmfilterctl VERB\n"
                "       pcmfilterctl set-event [SECONDS]\n"
                "       pcmfilterctl raw CODE INLEN OUTLEN [HEX]\n"
                "verbs:\n");
    for (const tools::ControlVerb& verb : tools::ControlVerbs()) {
        std::printf("  %-15s %s\n", verb.name, verb.summary);
    }
}

// DeviceIoControl reports NT failures as Win32 errors; the ones the driver
// answers with are named back to their status for the printout.
uint32_t StatusOfError(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return 0x00000000u;
    case ERROR_INVALID_PARAMETER:
        return 0xC000000Du;
    case ERROR_INSUFFICIENT_BUFFER:
        return 0xC0000023u;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return 0xC000009Au;
    case ERROR_ACCESS_DENIED:
        return 0xC0000022u;
    case ERROR_DEV_NOT_EXIST:
        return 0xC00002B6u;
    default:
        return 0xC0000001u;
    }
}

bool ParseNumber(const char* text, unsigned long* value) {
    char* end = nullptr;
    *value = std::strtoul(text, &end, 0);
    return end != text && *end == '\0';
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned long byte;
        std::string pair = "0x" + text.substr(i, 2);
        if (!ParseNumber(pair.c_str(), &byte)) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

int Send(HANDLE device, uint32_t code, std::vector<uint8_t> input, uint32_t outputLength) {
    std::vector<uint8_t> output(outputLength == 0 ? 1 : outputLength);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(
        device, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
        outputLength == 0 ? nullptr : output.data(), outputLength, &returned, nullptr);
    uint32_t status = ok ? 0u : StatusOfError(GetLastError());
    std::printf("status %s, information %lu", tools::StatusText(status).c_str(),
                static_cast<unsigned long>(returned));
    if (returned > 0) {
        std::printf(", output %s", tools::HexBytes(output.data(), returned).c_str());
    }
    std::printf("\n");
    if (ok && code == IOCTL_PCMCIA_FILTER_GET_STATUS && returned >= sizeof(FILTER_STATUS)) {
        FILTER_STATUS answer;
        memcpy(&answer, output.data(), sizeof(answer));
        std::printf("devices: %s\nprotection: %s\n",
                    tools::DeviceStateText(answer.DeviceState).c_str(),
                    tools::ProtectionStateText(answer.ProtectionState).c_str());
    }
    if (ok && code == IOCTL_PCMCIA_FILTER_GET_READONLY && returned >= 4) {
        std::printf("read-only is configured: %s\n", output[0] != 0 ? "yes" : "no");
    }
    return ok ? 0 : 1;
}

int WatchEvent(HANDLE device, unsigned long seconds) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        std::fprintf(stderr, "pcmfilterctl: cannot create an event (error %lu)\n", GetLastError());
        return 1;
    }
    FILTER_EVENT_INPUT input{0, static_cast<unsigned int>(reinterpret_cast<uintptr_t>(event))};
    std::vector<uint8_t> bytes(sizeof(input));
    memcpy(bytes.data(), &input, sizeof(input));
    int result = Send(device, IOCTL_PCMCIA_FILTER_SET_EVENT, bytes, 0);
    if (result == 0) {
        std::printf("waiting %lu s for swallowed writes...\n", seconds);
        DWORD deadline = GetTickCount() + seconds * 1000;
        unsigned long signals = 0;
        for (;;) {
            DWORD now = GetTickCount();
            if (static_cast<LONG>(deadline - now) <= 0) {
                break;
            }
            if (WaitForSingleObject(event, deadline - now) == WAIT_OBJECT_0) {
                std::printf("a write was swallowed (%lu so far)\n", ++signals);
            }
        }
        Send(device, IOCTL_PCMCIA_FILTER_CLEAR_EVENT, {}, 0);
    }
    CloseHandle(event);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "help" || std::string(argv[1]) == "--help") {
        Usage();
        return argc < 2 ? 2 : 0;
    }
    std::string verb = argv[1];
    const tools::ControlVerb* known = tools::FindControlVerb(verb);
    if (known == nullptr && verb != "raw") {
        std::fprintf(stderr, "pcmfilterctl: unknown verb '%s'\n", verb.c_str());
        Usage();
        return 2;
    }
    unsigned long code = 0, inputLength = 0, outputLength = 0, seconds = 60;
    std::vector<uint8_t> input;
    if (verb == "raw") {
        if (argc < 5 || !ParseNumber(argv[2], &code) || !ParseNumber(argv[3], &inputLength) ||
            !ParseNumber(argv[4], &outputLength) || (argc > 5 && !ParseHex(argv[5], &input))) {
            std::fprintf(stderr, "pcmfilterctl: raw CODE INLEN OUTLEN [HEX]\n");
            return 2;
        }
        input.resize(inputLength, 0);
    } else if (known->input == tools::VerbInput::Event && argc > 2 &&
               !ParseNumber(argv[2], &seconds)) {
        std::fprintf(stderr, "pcmfilterctl: set-event [SECONDS]\n");
        return 2;
    }

    HANDLE device = CreateFileW(L"\\\\.\\VexaFil2", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(
            stderr,
            "pcmfilterctl: cannot open \\\\.\\VexaFil2 (error %lu): is the driver installed "
            "and a PCMCIA bus started, and are you an administrator?\n",
            GetLastError());
        return 1;
    }
    int result;
    if (verb == "raw") {
        result =
            Send(device, static_cast<uint32_t>(code), input, static_cast<uint32_t>(outputLength));
    } else if (known->input == tools::VerbInput::Event) {
        result = WatchEvent(device, seconds);
    } else {
        result = Send(device, known->code, {}, known->outputLength);
    }
    CloseHandle(device);
    return result;
}
