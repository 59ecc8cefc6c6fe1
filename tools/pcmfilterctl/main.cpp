// pcmfilterctl: the service's side of the driver as a command-line tool.
//
//   pcmfilterctl settings FILE.reg [--json]
//       decodes and verifies the six stored values of the two settings;
//   pcmfilterctl [--registry FILE] [--json] VERB
//       sends one control request.  On this host there is no real device, so
//       the request goes to a freshly started simulated machine (one PCMCIA
//       bus, the driver loaded over it) whose registry is read from FILE and
//       written back to it; the Windows build sends the same verb to the real
//       device.
//
// Exit status: 0 when the request succeeded (or the settings were read), 1
// when it failed or the host kernel's verifier recorded a finding, 2 for a
// usage error or an unreadable file.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "include/pcmfilter_ioctl.h"
#include "kernel/host/host_control.h"
#include "kernel/host/registry_control.h"
#include "sim/machine.h"
#include "sim/service.h"
#include "sys/driver.h"
#include "tools/common/control_verbs.h"
#include "tools/pcmfilterctl/settings_inspector.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out, "usage: pcmfilterctl settings FILE.reg [--json]\n"
                      "       pcmfilterctl [--registry FILE] [--json] VERB\n"
                      "verbs:\n");
    for (const tools::ControlVerb& verb : tools::ControlVerbs()) {
        std::fprintf(out, "  %-15s %s\n", verb.name, verb.summary);
    }
    std::fprintf(out, "On this host a verb runs against a freshly started simulated machine (one "
                      "bus, the driver over it);\nwith --registry its registry comes from FILE and "
                      "goes back to it.\n");
}

bool ReadFile(const std::string& path, std::string* text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    *text = content.str();
    return true;
}

int Settings(const std::string& path, bool json) {
    std::string text;
    if (!ReadFile(path, &text)) {
        std::fprintf(stderr, "pcmfilterctl: cannot read %s\n", path.c_str());
        return 2;
    }
    hk::Reset();
    std::string error;
    if (!hk::RegistryImport(text, &error)) {
        std::fprintf(stderr, "pcmfilterctl: %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }
    std::vector<ctl::SettingReport> reports = ctl::InspectSettings();
    if (json) {
        tools::Json out = tools::Json::Object();
        out.Set("file", path);
        out.Set("settings", ctl::SettingsJson(reports));
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("Stored settings in %s (read as the driver reads them at its next load):\n%s",
                    path.c_str(), ctl::SettingsText(reports).c_str());
    }
    hk::Reset();
    return 0;
}

int RunVerb(const tools::ControlVerb& verb, const std::string& registry, bool json) {
    hk::Reset();
    if (!registry.empty()) {
        std::string text;
        std::string error;
        if (ReadFile(registry, &text) && !hk::RegistryImport(text, &error)) {
            std::fprintf(stderr, "pcmfilterctl: %s: %s\n", registry.c_str(), error.c_str());
            return 2;
        }
    }
    std::memset(&DriverState, 0, sizeof(DriverState));
    hk::IoResult answer;
    NTSTATUS open = STATUS_UNSUCCESSFUL;
    {
        sim::Machine machine(DriverEntry);
        machine.AddController("bus0");
        sim::Service service;
        open = service.Open(hk::Identity::LocalSystem);
        if (NT_SUCCESS(open)) {
            std::vector<UCHAR> input;
            if (verb.input == tools::VerbInput::Event) {
                uint32_t handle = 0;
                service.CreateEvent(&handle);
                FILTER_EVENT_INPUT eventInput{0, handle};
                input.resize(sizeof(eventInput));
                std::memcpy(input.data(), &eventInput, sizeof(eventInput));
            }
            answer = service.Control(verb.code, input, verb.outputLength);
        }
    }
    hk::DrainWork();
    std::string findings = hk::CheckClean();
    if (!registry.empty()) {
        std::ofstream out(registry, std::ios::binary | std::ios::trunc);
        out << hk::RegistryExport();
    }
    hk::Reset();

    if (!NT_SUCCESS(open)) {
        std::fprintf(stderr, "pcmfilterctl: the control device could not be opened: %s\n",
                     tools::StatusText(static_cast<uint32_t>(open)).c_str());
        return 1;
    }
    tools::Json out = tools::Json::Object();
    out.Set("verb", verb.name);
    out.Set("status", tools::StatusHex(static_cast<uint32_t>(answer.status)));
    out.Set("information", static_cast<unsigned long long>(answer.information));
    out.Set("output", tools::HexBytes(answer.output));
    std::string words = std::string(verb.name) + ": " +
                        tools::StatusText(static_cast<uint32_t>(answer.status)) + "\n";
    if (NT_SUCCESS(answer.status)) {
        words += "  what it does: " + std::string(verb.summary) + "\n";
    }
    if (verb.code == IOCTL_PCMCIA_FILTER_GET_STATUS && answer.output.size() >= 8) {
        FILTER_STATUS status;
        std::memcpy(&status, answer.output.data(), sizeof(status));
        out.Set("DeviceState", status.DeviceState);
        out.Set("ProtectionState", status.ProtectionState);
        words += "  devices: " + tools::DeviceStateText(status.DeviceState) + "\n";
        words += "  protection: " + tools::ProtectionStateText(status.ProtectionState) + "\n";
    }
    if (verb.code == IOCTL_PCMCIA_FILTER_GET_READONLY && answer.output.size() >= 4) {
        uint32_t value = 0;
        std::memcpy(&value, answer.output.data(), sizeof(value));
        out.Set("value", value);
        words += "  read-only configured: " + std::string(value ? "yes" : "no") + "\n";
    }
    if (json) {
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("%s", words.c_str());
    }
    if (!findings.empty()) {
        std::fprintf(stderr, "pcmfilterctl: the verifier recorded:\n%s", findings.c_str());
        return 1;
    }
    return NT_SUCCESS(answer.status) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string registry;
    bool json = false;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--registry" && i + 1 < argc) {
            registry = argv[++i];
        } else if (arg == "--help" || arg == "-h" || arg == "help") {
            Usage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            Usage(stderr);
            return 2;
        } else {
            words.push_back(arg);
        }
    }
    if (words.size() == 2 && words[0] == "settings") {
        return Settings(words[1], json);
    }
    if (words.size() == 1) {
        if (const tools::ControlVerb* verb = tools::FindControlVerb(words[0])) {
            return RunVerb(*verb, registry, json);
        }
    }
    Usage(stderr);
    return 2;
}
