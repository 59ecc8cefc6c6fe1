// The simulated machine as pcmfilter-sim runs it: the driver loaded as the
// upper filter of every PCMCIA controller, the user-mode service, the record
// of every bus and card the script brought in, and the machine's restart.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/host/host_control.h"
#include "sim/machine.h"
#include "sim/service.h"

namespace simcli {

// A card as the simulator lists it: the machine's serial number for it and
// what kind it was inserted as.
struct CardEntry {
    int serial = 0;
    std::string kind; // "disk", "cdrom", "net", "ids"
};

struct BusEntry {
    bool present = false;
    std::map<int, CardEntry> cards; // by socket; the latest card of each socket
};

// The driver's view of a card's child filter.
enum class FilterKind { None, Storage, Other };
const char* FilterKindName(FilterKind kind);

class Simulation {
public:
    // Starts from a clean host kernel with an empty registry; the driver is
    // loaded and no bus is present yet.
    Simulation();
    // Ends the run in order (Shutdown) if that has not happened.
    ~Simulation();

    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    sim::Machine& machine() { return *machine_; }
    sim::Service& service() { return *service_; }

    std::map<std::string, BusEntry>& buses() { return buses_; }

    // The child filter directly above a card's PDO, read from the driver's
    // extension of that device.
    FilterKind FilterOf(const sim::CardInfo& card) const;

    // The machine restarts: every object in memory is gone (host kernel
    // objects, devices, handles, events, the driver's state), the registry,
    // the clock and the cards in their sockets stay; the driver loads afresh
    // and every bus that was present is added again with its cards.  Findings
    // of the verifier recorded before the restart are kept.
    void Reload();

    // The end of a run: the service closes its handles, every bus still
    // present is removed in order and the drivers unload, so that whatever
    // is still held afterwards is a leak.  Runs once.
    void Shutdown();

    // Verifier findings of the whole run (also from before restarts).
    std::vector<hk::Violation> Violations() const;
    // Local time's milliseconds as last set (kept across restarts).
    void SetClock(int milliseconds);

private:
    void Start();

    std::unique_ptr<sim::Machine> machine_;
    std::unique_ptr<sim::Service> service_;
    std::map<std::string, BusEntry> buses_;
    std::vector<hk::Violation> earlier_; // findings before the last restart
    int milliseconds_ = 0;
    bool shutDown_ = false;
};

} // namespace simcli
