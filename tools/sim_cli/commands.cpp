// The simulator's commands.  Each handler reads and checks all its words
// first (a UsageError stops the run before anything changed), then acts on
// the simulated machine and reports what it observed afterwards: every
// sentence it prints is read back from the machine, the driver's state or
// the answers the requests got.
#include "tools/sim_cli/commands.h"

#include <cstdio>
#include <cstring>

#include "include/pcmfilter_ioctl.h"
#include "kernel/host/registry_control.h"
#include "sys/driver.h"
#include "tools/common/control_verbs.h"
#include "tools/sim_cli/script.h"

namespace simcli {

using tools::Json;

namespace {

const int kSockets = 16;

// ---------------------------------------------------------------------------
// Words.

void ExpectCount(const Words& words, size_t min, size_t max, const std::string& usage) {
    if (words.size() < min || words.size() > max) {
        throw UsageError(usage);
    }
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t unit : text) {
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

// A bus the script has brought in (present or gone); an unknown name is a
// usage error.
BusEntry& KnownBus(Context& context, const std::string& name) {
    auto it = context.simulation.buses().find(name);
    if (it == context.simulation.buses().end()) {
        throw UsageError("a bus added earlier in the run (bus add " + name +
                         " first), not the unknown bus \"" + name + "\"");
    }
    return it->second;
}

int SocketNumber(const std::string& word) {
    return static_cast<int>(ParseNumber(word, 0, kSockets - 1, "a socket"));
}

// A socket that has held a card in this run.
CardEntry& KnownCard(Context& context, const std::string& bus, int socket) {
    BusEntry& entry = KnownBus(context, bus);
    auto it = entry.cards.find(socket);
    if (it == entry.cards.end()) {
        throw UsageError("a socket of " + bus + " that holds or held a card, not socket " +
                         std::to_string(socket) + ", which never had one");
    }
    return it->second;
}

std::string StatusText(NTSTATUS status) {
    return tools::StatusText(static_cast<uint32_t>(status));
}

std::string StatusHex(NTSTATUS status) {
    return tools::StatusHex(static_cast<uint32_t>(status));
}

std::string Times(uint64_t count) {
    return std::to_string(count) + (count == 1 ? " time" : " times");
}

const char* BlockModeName(int mode) {
    switch (mode) {
    case BlockModeOn:
        return "ON";
    case BlockModeBlock:
        return "BLOCK";
    case BlockModeAllBlock:
        return "ALLBLOCK";
    default:
        return "none";
    }
}

// ---------------------------------------------------------------------------
// Observations.

Json EventsJson(Simulation& simulation) {
    Json events = Json::Object();
    for (const auto& event : simulation.service().EventSignals()) {
        events.Set(std::to_string(event.first),
                   Json(static_cast<unsigned long long>(event.second)));
    }
    return events;
}

std::string EventsText(Simulation& simulation) {
    std::string text;
    for (const auto& event : simulation.service().EventSignals()) {
        text += (text.empty() ? "" : ", ") + std::string("event ") + std::to_string(event.first) +
                " signalled " + Times(event.second);
    }
    return text.empty() ? "the service has created no event" : text;
}

std::string DriverText() {
    return std::string("driver: block mode ") + BlockModeName(DriverState.BlockMode) +
           ", read-only " + (DriverState.ReadOnlyActive ? "active" : "inactive") + " (configured " +
           (DriverState.ReadOnlyConfigured ? "yes" : "no") + "), enforcement " +
           (DriverState.EnforcementSuspended ? "suspended" : "on") + "; " +
           std::to_string(DriverState.FilterCount) + " bus filter(s), " +
           std::to_string(DriverState.PairCount) + " child filter(s); control device " +
           (DriverState.ControlDevice != nullptr
                ? "present (" + std::to_string(DriverState.ControlRefCount) + " reference(s))"
                : std::string("absent"));
}

std::string FilterPhrase(FilterKind kind) {
    return kind == FilterKind::Storage ? "a storage child filter"
                                       : "a non-storage (\"other\") child filter";
}

// One card in words: where it is and what the driver did with it.
std::string CardText(Simulation& simulation, const std::string& bus, int socket,
                     const CardEntry& entry) {
    sim::CardInfo info = simulation.machine().CardBySerial(entry.serial);
    std::string text = bus + " socket " + std::to_string(socket) + " (" + entry.kind + "): ";
    if (!info.present) {
        text += "no longer in its socket; ";
    }
    if (info.visible) {
        FilterKind kind = simulation.FilterOf(info);
        text += "visible, the PnP manager built its stack";
        text += kind == FilterKind::None
                    ? " with no child filter of the driver above the card"
                    : std::string(" with ") + FilterPhrase(kind) + " directly above the card";
    } else {
        text += "not visible, the PnP manager has no stack for it";
        FilterKind kind = simulation.FilterOf(info);
        if (kind != FilterKind::None) {
            text += "; " + FilterPhrase(kind) + " is still attached over its PDO";
        }
    }
    text += "; remove requests at its PDO: " + std::to_string(info.removeRequests) +
            "; writes that reached its medium: " + std::to_string(info.mediumWrites);
    return text;
}

std::vector<std::string> BusText(Simulation& simulation, const std::string& bus) {
    std::vector<std::string> lines;
    const BusEntry& entry = simulation.buses()[bus];
    for (const auto& card : entry.cards) {
        lines.push_back(CardText(simulation, bus, card.first, card.second));
    }
    if (lines.empty()) {
        lines.push_back(bus + " has no card in any socket");
    }
    return lines;
}

Json OrphansJson(Simulation& simulation) {
    Json list = Json::Array();
    for (PDEVICE_OBJECT orphan : hk::OrphanedFilters()) {
        Json item = Json::Object();
        item.Set("device", hk::DeviceLabel(orphan));
        for (auto& bus : simulation.buses()) {
            for (auto& card : bus.second.cards) {
                sim::CardInfo info = simulation.machine().CardBySerial(card.second.serial);
                if (info.above == orphan) {
                    item.Set("bus", bus.first);
                    item.Set("socket", card.first);
                    item.Set("filter", FilterKindName(simulation.FilterOf(info)));
                }
            }
        }
        list.Push(item);
    }
    return list;
}

std::string OrphanText(const Json& orphan) {
    const Json* bus = orphan.Find("bus");
    if (bus == nullptr) {
        return orphan.Find("device")->AsString() + " (left attached after a deferred remove)";
    }
    return orphan.Find("filter")->AsString() + " child filter over " + bus->AsString() +
           " socket " + std::to_string(orphan.Find("socket")->AsNumber()) +
           " (left attached after a deferred remove)";
}

} // namespace

tools::Json StateJson(Simulation& simulation) {
    Json state = Json::Object();
    state.Set("BlockMode", static_cast<int>(DriverState.BlockMode));
    state.Set("BlockModeName", BlockModeName(DriverState.BlockMode));
    state.Set("ReadOnlyActive", DriverState.ReadOnlyActive != 0);
    state.Set("ReadOnlyConfigured", DriverState.ReadOnlyConfigured != 0);
    state.Set("EnforcementSuspended", DriverState.EnforcementSuspended != 0);
    state.Set("ChildFiltersOrphaned", DriverState.ChildFiltersOrphaned != 0);
    state.Set("FilterCount", static_cast<unsigned long>(DriverState.FilterCount));
    state.Set("KnownCount", static_cast<unsigned long>(DriverState.KnownCount));
    state.Set("PairCount", static_cast<unsigned long>(DriverState.PairCount));
    state.Set("ControlRefCount", static_cast<long>(DriverState.ControlRefCount));
    state.Set("ControlDevice", DriverState.ControlDevice != nullptr);
    state.Set("orphanedFilters", OrphansJson(simulation));
    state.Set("events", EventsJson(simulation));
    Json buses = Json::Object();
    for (auto& bus : simulation.buses()) {
        Json busJson = Json::Object();
        busJson.Set("present", bus.second.present);
        Json cards = Json::Object();
        for (auto& card : bus.second.cards) {
            sim::CardInfo info = simulation.machine().CardBySerial(card.second.serial);
            Json cardJson = Json::Object();
            cardJson.Set("kind", card.second.kind);
            cardJson.Set("present", info.present);
            cardJson.Set("visible", info.visible);
            cardJson.Set("filter", FilterKindName(simulation.FilterOf(info)));
            cardJson.Set("removeRequests", info.removeRequests);
            cardJson.Set("mediumWrites", info.mediumWrites);
            cards.Set(std::to_string(card.first), cardJson);
        }
        busJson.Set("cards", cards);
        buses.Set(bus.first, busJson);
    }
    state.Set("buses", buses);
    return state;
}

tools::Json ViolationJson(const std::string& rule, const std::string& detail) {
    Json json = Json::Object();
    json.Set("violation", rule);
    json.Set("detail", detail);
    return json;
}

namespace {

// ---------------------------------------------------------------------------
// Handlers.

Result Clock(Context& context, const Words& words) {
    ExpectCount(words, 1, 1, "clock ms N, with N from 0 to 999");
    int milliseconds = static_cast<int>(ParseNumber(words[0], 0, 999, "the milliseconds"));
    context.simulation.SetClock(milliseconds);
    Result result;
    result.text.push_back("Local time's milliseconds field is " + std::to_string(milliseconds) +
                          ": a setting stored from now on gets the salt \"" +
                          std::to_string(milliseconds) + "\".");
    return result;
}

Result BusAdd(Context& context, const Words& words) {
    ExpectCount(words, 1, 1, "bus add B, with B the bus's name");
    Simulation& simulation = context.simulation;
    Result result;
    auto it = simulation.buses().find(words[0]);
    if (it != simulation.buses().end() && it->second.present) {
        result.ok = false;
        result.error = "bus " + words[0] + " is already present";
        return result;
    }
    bool filtered = simulation.machine().AddController(words[0]);
    BusEntry& entry = simulation.buses()[words[0]];
    entry.present = true;
    result.fields.Set("filtered", filtered);
    result.text.push_back(
        words[0] + " appeared: " +
        (filtered ? "the driver's AddDevice attached a bus filter over it and loaded the stored "
                    "settings; the bus started and the PnP manager queried its bus relations."
                  : "the driver's AddDevice failed, so the bus runs without the filter."));
    result.text.push_back(DriverText() + ".");
    return result;
}

Result BusRemove(Context& context, const Words& words) {
    ExpectCount(words, 1, 1, "bus remove B, with B a bus added earlier");
    Simulation& simulation = context.simulation;
    BusEntry& entry = KnownBus(context, words[0]);
    Result result;
    if (!entry.present) {
        result.ok = false;
        result.error = "bus " + words[0] + " is not present";
        return result;
    }
    simulation.machine().RemoveController(words[0]);
    entry.present = false;
    Json orphans = OrphansJson(simulation);
    result.fields.Set("orphanedFilters", orphans);
    result.text.push_back(words[0] +
                          " was removed in order: removal relations, query-remove and remove for "
                          "its cards' stacks, then for its own.");
    for (const std::string& line : BusText(simulation, words[0])) {
        result.text.push_back(line + ".");
    }
    for (const Json& orphan : orphans.Elements()) {
        result.text.push_back("Orphaned filter: " + OrphanText(orphan) + ".");
    }
    result.text.push_back(DriverText() + ".");
    return result;
}

sim::CardSpec ParseKind(const std::string& word) {
    if (word == "disk") {
        return sim::DiskCard();
    }
    if (word == "cdrom") {
        return sim::CdRomCard();
    }
    if (word == "net") {
        return sim::NetCard();
    }
    if (word == "modem") {
        return sim::ModemCard();
    }
    if (word.rfind("ids=", 0) == 0) {
        std::vector<std::u16string> ids;
        std::string rest = word.substr(4);
        size_t start = 0;
        while (start <= rest.size()) {
            size_t comma = rest.find(',', start);
            std::string id =
                rest.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (id.empty()) {
                throw UsageError("ids=ID1,ID2,... with no empty ID, not \"" + word + "\"");
            }
            ids.push_back(Wide(id));
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        return sim::CardWithIds(ids);
    }
    throw UsageError("a card kind: disk, cdrom, net, modem or ids=ID1,ID2,..., not \"" + word +
                     "\"");
}

Result CardInsert(Context& context, const Words& words) {
    ExpectCount(words, 3, 3, "card insert B S KIND");
    BusEntry& bus = KnownBus(context, words[0]);
    int socket = SocketNumber(words[1]);
    sim::CardSpec spec = ParseKind(words[2]);
    Simulation& simulation = context.simulation;
    Result result;
    if (!bus.present) {
        result.ok = false;
        result.error = "bus " + words[0] + " is not present";
        return result;
    }
    if (simulation.machine().CardSerial(words[0], socket) != 0) {
        result.ok = false;
        result.error = "socket " + words[1] + " of " + words[0] + " holds a card; pull it first";
        return result;
    }
    int serial = simulation.machine().InsertCard(words[0], socket, spec);
    std::string kind = spec.kind;
    bus.cards[socket] = CardEntry{serial, kind};
    result.text.push_back("A card whose first compatible ID is \"" +
                          Narrow(spec.compatibleIds.front()) + "\" entered socket " +
                          std::to_string(socket) + " of " + words[0] +
                          "; the bus invalidated its relations and the PnP manager queried them.");
    result.text.push_back(CardText(simulation, words[0], socket, bus.cards[socket]) + ".");
    return result;
}

Result CardPull(Context& context, const Words& words) {
    ExpectCount(words, 2, 2, "card pull B S");
    int socket = SocketNumber(words[1]);
    CardEntry& card = KnownCard(context, words[0], socket);
    Simulation& simulation = context.simulation;
    Result result;
    if (!simulation.machine().CardBySerial(card.serial).present) {
        result.ok = false;
        result.error = "no card is in socket " + words[1] + " of " + words[0];
        return result;
    }
    simulation.machine().PullCard(words[0], socket);
    result.text.push_back("The card left socket " + words[1] + " of " + words[0] +
                          "; the bus invalidated its relations and the PnP manager queried them.");
    result.text.push_back(CardText(simulation, words[0], socket, card) + ".");
    return result;
}

Result Enumerate(Context& context, const Words& words) {
    ExpectCount(words, 1, 1, "enumerate B");
    BusEntry& bus = KnownBus(context, words[0]);
    Result result;
    if (!bus.present) {
        result.ok = false;
        result.error = "bus " + words[0] + " is not present";
        return result;
    }
    context.simulation.machine().Enumerate(words[0]);
    result.text.push_back("The PnP manager queried the bus relations of " + words[0] + ":");
    for (const std::string& line : BusText(context.simulation, words[0])) {
        result.text.push_back(line + ".");
    }
    return result;
}

Result DriverReload(Context& context, const Words& words) {
    ExpectCount(words, 0, 0, "driver reload (no further words)");
    Simulation& simulation = context.simulation;
    simulation.Reload();
    Result result;
    result.text.push_back("The machine restarted: driver state, devices, handles and events are "
                          "gone; the registry and the cards in their sockets stayed. The driver "
                          "loaded afresh and each bus that was present was added again with its "
                          "cards.");
    result.text.push_back(DriverText() + ".");
    for (auto& bus : simulation.buses()) {
        for (const std::string& line : BusText(simulation, bus.first)) {
            result.text.push_back(line + ".");
        }
    }
    return result;
}

hk::Identity ParseIdentity(const Words& words) {
    if (words.empty() || words[0] == "system") {
        return hk::Identity::LocalSystem;
    }
    if (words[0] == "admin") {
        return hk::Identity::Administrator;
    }
    if (words[0] == "user") {
        return hk::Identity::User;
    }
    throw UsageError("an identity: system, admin or user, not \"" + words[0] + "\"");
}

Result CtlOpen(Context& context, const Words& words) {
    ExpectCount(words, 0, 1, "ctl open [system|admin|user]");
    hk::Identity identity = ParseIdentity(words);
    NTSTATUS status = context.simulation.service().Open(identity);
    Result result;
    result.fields.Set("status", StatusHex(status));
    std::string who = words.empty() ? "system" : words[0];
    result.text.push_back("The service, as " + who + ", opened " PCMFILTER_DOS_NAME ": " +
                          StatusText(status) +
                          (NT_SUCCESS(status) ? "." : "; it holds no new handle."));
    result.text.push_back(DriverText() + ".");
    return result;
}

Result CtlClose(Context& context, const Words& words) {
    ExpectCount(words, 0, 0, "ctl close (no further words)");
    Result result;
    if (context.simulation.service().OpenHandles() == 0) {
        result.ok = false;
        result.error = "the service holds no handle to the control device";
        return result;
    }
    NTSTATUS status = context.simulation.service().Close();
    result.fields.Set("status", StatusHex(status));
    result.text.push_back(
        "The service closed its handle (cleanup, then close): " + StatusText(status) + ".");
    result.text.push_back(DriverText() + ".");
    return result;
}

// Sends one control request as the service and reports the answer; `verb` is
// null for a raw request.
Result SendControl(Context& context, const tools::ControlVerb* verb, uint32_t code,
                   std::vector<UCHAR> input, ULONG outputLength) {
    Simulation& simulation = context.simulation;
    Result result;
    if (simulation.service().OpenHandles() == 0) {
        NTSTATUS open = simulation.service().Open(hk::Identity::LocalSystem);
        if (!NT_SUCCESS(open)) {
            result.ok = false;
            result.error = "the control device could not be opened: " + StatusText(open);
            result.fields.Set("status", StatusHex(open));
            return result;
        }
        result.text.push_back("The service opened " PCMFILTER_DOS_NAME " as system first.");
    }
    int event = 0;
    if (verb != nullptr && verb->input == tools::VerbInput::Event) {
        uint32_t handle = 0;
        event = simulation.service().CreateEvent(&handle);
        FILTER_EVENT_INPUT eventInput{0, handle};
        input.resize(sizeof(eventInput));
        std::memcpy(input.data(), &eventInput, sizeof(eventInput));
    }
    hk::IoResult answer = simulation.service().Control(code, input, outputLength);
    // The PnP manager acts on the relations the request invalidated (suspend
    // and resume make every bus re-enumerate).
    simulation.machine().ProcessInvalidations();
    result.fields.Set("status", StatusHex(answer.status));
    result.fields.Set("information", static_cast<unsigned long long>(answer.information));
    result.fields.Set("output", tools::HexBytes(answer.output));
    std::string name = verb != nullptr ? verb->name : "control code " + tools::StatusHex(code);
    result.text.push_back(
        "The service sent " + name + " (" + std::to_string(input.size()) + " input bytes, " +
        std::to_string(outputLength) + "-byte output buffer): " + StatusText(answer.status) +
        ", information " + std::to_string(answer.information) +
        (answer.output.empty() ? "" : ", output " + tools::HexBytes(answer.output)) + ".");
    if (verb != nullptr && NT_SUCCESS(answer.status)) {
        result.text.push_back("What it does: " + std::string(verb->summary) + ".");
    }
    if (code == IOCTL_PCMCIA_FILTER_GET_STATUS && answer.output.size() >= sizeof(FILTER_STATUS)) {
        FILTER_STATUS status;
        std::memcpy(&status, answer.output.data(), sizeof(status));
        result.fields.Set("DeviceState", status.DeviceState);
        result.fields.Set("ProtectionState", status.ProtectionState);
        result.text.push_back("DeviceState " + std::to_string(status.DeviceState) + ": " +
                              tools::DeviceStateText(status.DeviceState) + "; ProtectionState " +
                              std::to_string(status.ProtectionState) + ": " +
                              tools::ProtectionStateText(status.ProtectionState) + ".");
    }
    if (code == IOCTL_PCMCIA_FILTER_GET_READONLY &&
        answer.output.size() >= FILTER_READONLY_OUTPUT_SIZE) {
        uint32_t value = 0;
        std::memcpy(&value, answer.output.data(), sizeof(value));
        result.fields.Set("value", value);
        result.text.push_back("Read-only is configured: " + std::string(value ? "yes" : "no") +
                              " (" + std::to_string(value) + ").");
    }
    if (event != 0) {
        result.fields.Set("event", event);
        result.text.push_back("The request named event " + std::to_string(event) +
                              ", created for it by the service.");
    }
    if (verb != nullptr &&
        (code == IOCTL_PCMCIA_FILTER_RESUME || code == IOCTL_PCMCIA_FILTER_SUSPEND)) {
        for (auto& bus : simulation.buses()) {
            if (bus.second.present) {
                for (const std::string& line : BusText(simulation, bus.first)) {
                    result.text.push_back(line + ".");
                }
            }
        }
    }
    result.text.push_back(DriverText() + ".");
    return result;
}

Result CtlVerb(Context& context, const Words& words) {
    if (words.empty()) {
        throw UsageError("ctl VERB, with VERB one of: open close raw " + tools::ControlVerbNames());
    }
    const tools::ControlVerb* verb = tools::FindControlVerb(words[0]);
    if (verb == nullptr) {
        throw UsageError("a control verb (open close raw " + tools::ControlVerbNames() +
                         "), not \"" + words[0] + "\"");
    }
    ExpectCount(words, 1, 1, "ctl " + std::string(verb->name) + " (no further words)");
    return SendControl(context, verb, verb->code, {}, verb->outputLength);
}

Result CtlRaw(Context& context, const Words& words) {
    ExpectCount(words, 3, 4, "ctl raw CODE INLEN OUTLEN [HEX]");
    uint32_t code =
        static_cast<uint32_t>(ParseNumber(words[0], 0, 0xFFFFFFFFu, "the control code"));
    ULONG inputLength = static_cast<ULONG>(ParseNumber(words[1], 0, 65536, "the input length"));
    ULONG outputLength = static_cast<ULONG>(ParseNumber(words[2], 0, 65536, "the output length"));
    std::vector<UCHAR> input;
    if (words.size() == 4) {
        input = ParseHex(words[3], "the input bytes");
        if (input.size() > inputLength) {
            throw UsageError("at most INLEN (" + words[1] + ") input bytes, not " +
                             std::to_string(input.size()));
        }
    }
    input.resize(inputLength, 0);
    return SendControl(context, nullptr, code, input, outputLength);
}

std::vector<UCHAR> Cdb10(UCHAR opcode) {
    return {opcode, 0, 0, 0, 0, 0, 0, 0, 1, 0};
}

Result Io(Context& context, const Words& words) {
    const std::string usage = "io B S OP, with OP one of scsi-write, scsi-read, scsi HEX, write, "
                              "read, pt HEX, ptd HEX, is-writable";
    ExpectCount(words, 3, 4, usage);
    int socket = SocketNumber(words[1]);
    CardEntry& card = KnownCard(context, words[0], socket);
    const std::string& op = words[2];
    std::vector<UCHAR> cdb;
    bool needsHex = op == "scsi" || op == "pt" || op == "ptd";
    bool known = needsHex || op == "scsi-write" || op == "scsi-read" || op == "write" ||
                 op == "read" || op == "is-writable";
    if (!known) {
        throw UsageError(usage + "; not \"" + op + "\"");
    }
    ExpectCount(words, needsHex ? 4 : 3, needsHex ? 4 : 3, usage);
    if (needsHex) {
        cdb = ParseHex(words[3], "the command block");
        if (cdb.size() > 16) {
            throw UsageError("a command block of 1 to 16 bytes, not " + std::to_string(cdb.size()));
        }
    }
    Simulation& simulation = context.simulation;
    sim::Machine& machine = simulation.machine();
    sim::IoOutcome outcome;
    std::string what;
    if (simulation.machine().CardBySerial(card.serial).present) {
        if (op == "scsi-write") {
            outcome = machine.Scsi(words[0], socket, Cdb10(0x2A));
            what = "An SRB with WRITE (10)";
        } else if (op == "scsi-read") {
            outcome = machine.Scsi(words[0], socket, Cdb10(0x28));
            what = "An SRB with READ (10)";
        } else if (op == "scsi") {
            outcome = machine.Scsi(words[0], socket, cdb);
            what = "An SRB with command block " + tools::HexBytes(cdb);
        } else if (op == "write") {
            outcome = machine.Plain(words[0], socket, IRP_MJ_WRITE);
            what = "A write request (IRP_MJ_WRITE)";
        } else if (op == "read") {
            outcome = machine.Plain(words[0], socket, IRP_MJ_READ);
            what = "A read request (IRP_MJ_READ)";
        } else if (op == "pt" || op == "ptd") {
            outcome = machine.PassThrough(words[0], socket, op == "ptd", cdb);
            what = std::string(op == "ptd" ? "IOCTL_SCSI_PASS_THROUGH_DIRECT"
                                           : "IOCTL_SCSI_PASS_THROUGH") +
                   " with command block " + tools::HexBytes(cdb);
        } else {
            outcome = machine.IsWritable(words[0], socket);
            what = "IOCTL_DISK_IS_WRITABLE";
        }
    }
    Result result;
    if (!outcome.sent) {
        result.ok = false;
        result.error = "the card in socket " + words[1] + " of " + words[0] +
                       " has no stack to send to (hidden, or no longer in its socket)";
        return result;
    }
    sim::CardInfo info = machine.CardBySerial(card.serial);
    result.fields.Set("status", StatusHex(outcome.result.status));
    result.fields.Set("information", static_cast<unsigned long long>(outcome.result.information));
    result.fields.Set("reachedCard", outcome.reachedCard);
    if (outcome.hasSrb) {
        char srbStatus[8];
        std::snprintf(srbStatus, sizeof(srbStatus), "0x%02X", outcome.srbStatus);
        result.fields.Set("srbStatus", srbStatus);
    }
    result.fields.Set("events", EventsJson(simulation));
    std::string srb;
    if (outcome.hasSrb) {
        char text[32];
        std::snprintf(text, sizeof(text), ", SRB status 0x%02X", outcome.srbStatus);
        srb = text;
    }
    result.text.push_back(what + " entered the stack of the " + card.kind + " card in socket " +
                          words[1] + " of " + words[0] + ": " + StatusText(outcome.result.status) +
                          srb + ", information " + std::to_string(outcome.result.information) +
                          ".");
    result.text.push_back(std::string(outcome.reachedCard ? "It reached the card's PDO"
                                                          : "It never reached the card's PDO") +
                          "; writes that reached the medium so far: " +
                          std::to_string(info.mediumWrites) + "; " + EventsText(simulation) + ".");
    return result;
}

Result FaultPool(Context& context, const Words& words) {
    (void)context;
    ExpectCount(words, 1, 1, "fault pool TAG, with TAG four characters as they lie in memory");
    if (words[0].size() != 4) {
        throw UsageError("a pool tag of exactly four characters (e.g. LIDF), not \"" + words[0] +
                         "\"");
    }
    ULONG tag = hk::TagFromText(words[0]);
    hk::FailNextAllocationWithTag(tag);
    Result result;
    result.fields.Set("tag", tools::StatusHex(tag));
    result.text.push_back("The next allocation with pool tag '" + words[0] + "' (" +
                          tools::StatusHex(tag) + ") will fail.");
    return result;
}

Result RegGet(Context& context, const Words& words) {
    (void)context;
    ExpectCount(words, 2, 2, "reg get KEY NAME");
    ULONG type = 0;
    std::vector<uint8_t> data;
    Result result;
    if (!hk::RegistryGetValue(Wide(words[0]), Wide(words[1]), &type, &data)) {
        result.ok = false;
        result.error = "no value " + words[1] + " under " + words[0];
        return result;
    }
    result.fields.Set("type", static_cast<unsigned long>(type));
    result.fields.Set("data", tools::HexBytes(data));
    result.text.push_back(words[0] + " \"" + words[1] + "\": type " + std::to_string(type) +
                          (type == REG_SZ ? " (REG_SZ)" : "") + ", " + std::to_string(data.size()) +
                          " bytes: " + tools::HexBytes(data) + ".");
    return result;
}

Result RegSet(Context& context, const Words& words) {
    (void)context;
    ExpectCount(words, 3, 3, "reg set KEY NAME HEX");
    std::vector<uint8_t> data = ParseHex(words[2], "the value's bytes");
    hk::RegistrySetValue(Wide(words[0]), Wide(words[1]), REG_SZ, data);
    Result result;
    result.text.push_back(words[0] + " \"" + words[1] + "\" is now REG_SZ with the " +
                          std::to_string(data.size()) + " bytes " + tools::HexBytes(data) + ".");
    return result;
}

Result RegDelete(Context& context, const Words& words) {
    (void)context;
    ExpectCount(words, 2, 2, "reg delete KEY NAME");
    Result result;
    if (!hk::RegistryDeleteValue(Wide(words[0]), Wide(words[1]))) {
        result.ok = false;
        result.error = "no value " + words[1] + " under " + words[0];
        return result;
    }
    result.text.push_back(words[0] + " \"" + words[1] + "\" was deleted.");
    return result;
}

Result RegExport(Context& context, const Words& words) {
    (void)context;
    ExpectCount(words, 0, 0, "reg export (no further words)");
    Result result;
    std::string text = hk::RegistryExport();
    result.fields.Set("reg", text);
    result.text.push_back("The registry under the services root, in .reg form:");
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            result.text.push_back("  " + line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty()) {
        result.text.push_back("  " + line);
    }
    return result;
}

Result State(Context& context, const Words& words) {
    ExpectCount(words, 0, 0, "state (no further words)");
    Simulation& simulation = context.simulation;
    Result result;
    result.fields = StateJson(simulation);
    result.text.push_back(
        "Driver state: block mode " + std::string(BlockModeName(DriverState.BlockMode)) +
        " (BlockMode " + std::to_string(DriverState.BlockMode) + "), ReadOnlyActive " +
        (DriverState.ReadOnlyActive ? "yes" : "no") + ", ReadOnlyConfigured " +
        (DriverState.ReadOnlyConfigured ? "yes" : "no") + ", EnforcementSuspended " +
        (DriverState.EnforcementSuspended ? "yes" : "no") + ", ChildFiltersOrphaned " +
        (DriverState.ChildFiltersOrphaned ? "yes" : "no") + ".");
    result.text.push_back(
        "Registries: " + std::to_string(DriverState.FilterCount) + " bus filter(s), " +
        std::to_string(DriverState.KnownCount) + " known device(s) in the baseline, " +
        std::to_string(DriverState.PairCount) + " child filter(s); control device " +
        (DriverState.ControlDevice != nullptr ? "present" : "absent") + " with " +
        std::to_string(DriverState.ControlRefCount) + " reference(s).");
    result.text.push_back("Service: " + EventsText(simulation) + ".");
    for (auto& bus : simulation.buses()) {
        result.text.push_back(bus.first + (bus.second.present ? " is present." : " has left."));
        for (const std::string& line : BusText(simulation, bus.first)) {
            result.text.push_back("  " + line + ".");
        }
    }
    for (const Json& orphan : result.fields.Find("orphanedFilters")->Elements()) {
        result.text.push_back("Orphaned filter: " + OrphanText(orphan) + ".");
    }
    return result;
}

Result Note(Context& context, const Words& words) {
    (void)context;
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    Result result;
    result.fields.Set("note", text);
    result.text.push_back(text);
    return result;
}

// Follows a dotted path ("buses.bus0.cards.0.visible") through a JSON value.
const Json* Lookup(const Json& root, const std::string& path) {
    const Json* current = &root;
    size_t start = 0;
    while (current != nullptr && start <= path.size()) {
        size_t dot = path.find('.', start);
        std::string part =
            path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        current = current->Find(part);
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return current;
}

Result Expect(Context& context, const Words& words) {
    ExpectCount(words, 2, 2, "expect PATH VALUE (PATH into state, or last.FIELD)");
    Json root;
    std::string path = words[0];
    if (path.rfind("last.", 0) == 0) {
        root = context.last;
        path = path.substr(5);
    } else {
        root = StateJson(context.simulation);
    }
    const Json* found = Lookup(root, path);
    std::string actual = found == nullptr ? "(absent)" : found->Dump();
    std::string bare =
        found != nullptr && found->kind() == Json::Kind::String ? found->AsString() : actual;
    Result result;
    result.fields.Set("path", words[0]);
    result.fields.Set("expected", words[1]);
    result.fields.Set("actual", actual);
    bool holds = found != nullptr && (bare == words[1] || actual == words[1]);
    if (!holds) {
        context.failedExpectations++;
        result.ok = false;
        result.error = words[0] + " is " + actual + ", not " + words[1];
        return result;
    }
    result.text.push_back("Checked: " + words[0] + " is " + actual + ".");
    return result;
}

Result Help(Context& context, const Words& words) {
    (void)context;
    (void)words;
    Result result;
    Json commands = Json::Array();
    for (const Command& command : Commands()) {
        if (command.hidden) {
            continue;
        }
        std::string name;
        for (const std::string& word : command.name) {
            name += (name.empty() ? "" : " ") + word;
        }
        commands.Push(name + (command.arguments.empty() ? "" : " " + command.arguments));
    }
    result.fields.Set("commands", commands);
    std::string text = HelpText();
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            result.text.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    return result;
}

Result DebugViolate(Context& context, const Words& words) {
    (void)context;
    ExpectCount(words, 0, 0, "debug violate (no further words)");
    hk::ReportViolation("injected-by-test", "a test hook recorded this finding on purpose");
    Result result;
    result.text.push_back("A verifier finding was recorded on purpose (test hook).");
    return result;
}

} // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {{"clock", "ms"},
         "N",
         "local time's Milliseconds becomes N (0-999) for the stores that follow",
         Clock},
        {{"bus", "add"},
         "B",
         "controller B appears: AddDevice (the bus filter), start, bus relations",
         BusAdd},
        {{"bus", "remove"},
         "B",
         "B is removed in order: removal relations, query-remove and remove for its children's "
         "stacks, then for its own",
         BusRemove},
        {{"card", "insert"},
         "B S KIND",
         "a card enters socket S (0-15) of B; KIND disk, cdrom, net, modem or ids=ID1,ID2,...",
         CardInsert},
        {{"card", "pull"}, "B S", "the card leaves socket S of B", CardPull},
        {{"enumerate"}, "B", "the PnP manager queries B's bus relations now", Enumerate},
        {{"driver", "reload"},
         "",
         "the machine restarts: memory is lost, the registry and the seated cards stay; the driver "
         "loads afresh and the buses come back",
         DriverReload},
        {{"ctl", "open"},
         "[system|admin|user]",
         "the service opens the control device by its DOS name (default: system)",
         CtlOpen},
        {{"ctl", "close"}, "", "the service closes its handle (cleanup, close)", CtlClose},
        {{"ctl", "raw"},
         "CODE INLEN OUTLEN [HEX]",
         "any control code with those buffer lengths; the input is HEX, zero-padded to INLEN",
         CtlRaw},
        {{"ctl"},
         "VERB",
         "a control request, VERB one of: " + tools::ControlVerbNames() +
             " (opens the device as system first if no handle is open)",
         CtlVerb},
        {{"io"},
         "B S OP",
         "a request enters the card's stack at its top; OP scsi-write, scsi-read, scsi HEX, "
         "write, read, pt HEX, ptd HEX, is-writable",
         Io},
        {{"fault", "pool"},
         "TAG",
         "the next allocation with pool tag TAG (e.g. LIDF) fails",
         FaultPool},
        {{"reg", "get"}, "KEY NAME", "reads a value under the services root", RegGet},
        {{"reg", "set"}, "KEY NAME HEX", "writes a REG_SZ value with exactly those bytes", RegSet},
        {{"reg", "delete"}, "KEY NAME", "deletes a value", RegDelete},
        {{"reg", "export"}, "", "prints the whole registry in .reg form", RegExport},
        {{"state"}, "", "a snapshot of the driver, the buses, the cards and the events", State},
        {{"note"}, "TEXT...", "prints TEXT in the log (a heading for a script's next step)", Note},
        {{"expect"},
         "PATH VALUE",
         "checks a value of the state snapshot (e.g. buses.bus0.cards.0.visible) or of the "
         "previous result (last.status); the run ends with status 3 if one does not hold",
         Expect},
        {{"help"}, "", "lists the commands", Help},
        {{"debug", "violate"}, "", "records a verifier finding (test hook)", DebugViolate, true},
    };
    return commands;
}

const Command* FindCommand(const Words& words, Words* arguments, bool testHooks) {
    const Command* best = nullptr;
    for (const Command& command : Commands()) {
        if (command.hidden && !testHooks) {
            continue;
        }
        if (command.name.size() > words.size()) {
            continue;
        }
        bool match = true;
        for (size_t i = 0; i < command.name.size(); ++i) {
            match = match && words[i] == command.name[i];
        }
        if (match && (best == nullptr || command.name.size() > best->name.size())) {
            best = &command;
        }
    }
    if (best != nullptr) {
        arguments->assign(words.begin() + static_cast<long>(best->name.size()), words.end());
    }
    return best;
}

std::string HelpText() {
    std::string text = "Commands (one a line; words separated by spaces; '#' starts a comment):\n";
    for (const Command& command : Commands()) {
        if (command.hidden) {
            continue;
        }
        std::string name;
        for (const std::string& word : command.name) {
            name += (name.empty() ? "" : " ") + word;
        }
        std::string usage = name + (command.arguments.empty() ? "" : " " + command.arguments);
        text += "  " + usage;
        text +=
            usage.size() < 34 ? std::string(34 - usage.size(), ' ') : "\n" + std::string(36, ' ');
        text += command.help + "\n";
    }
    return text;
}

} // namespace simcli
