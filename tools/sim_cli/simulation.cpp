// The simulated machine of pcmfilter-sim, and its restart.
#include "tools/sim_cli/simulation.h"

#include <cstring>

#include "kernel/host/registry_control.h"
#include "sys/driver.h"

namespace simcli {

const char* FilterKindName(FilterKind kind) {
    switch (kind) {
    case FilterKind::Storage:
        return "storage";
    case FilterKind::Other:
        return "other";
    case FilterKind::None:
        break;
    }
    return "none";
}

Simulation::Simulation() {
    hk::Reset();
    Start();
}

Simulation::~Simulation() {
    Shutdown();
}

void Simulation::Start() {
    // A fresh load finds the driver's static state all zero.
    std::memset(&DriverState, 0, sizeof(DriverState));
    hk::SetLocalMilliseconds(milliseconds_);
    machine_ = std::make_unique<sim::Machine>(DriverEntry);
    service_ = std::make_unique<sim::Service>();
}

void Simulation::SetClock(int milliseconds) {
    milliseconds_ = milliseconds;
    hk::SetLocalMilliseconds(milliseconds);
}

FilterKind Simulation::FilterOf(const sim::CardInfo& card) const {
    if (card.above == nullptr || card.above->DriverObject != machine_->FilterDriver()) {
        return FilterKind::None;
    }
    const auto* extension = static_cast<const FILTER_EXTENSION*>(card.above->DeviceExtension);
    if (extension->StorageChild) {
        return FilterKind::Storage;
    }
    if (extension->OtherChild) {
        return FilterKind::Other;
    }
    return FilterKind::None;
}

void Simulation::Reload() {
    // What survives a restart: the registry and the cards in the sockets of
    // the buses that are present.
    std::string registry = hk::RegistryExport();
    std::map<std::string, std::map<int, sim::CardSpec>> seated;
    for (const std::string& bus : machine_->Controllers()) {
        auto& cards = seated[bus];
        for (int socket : machine_->Sockets(bus)) {
            cards[socket] = machine_->CardOf(bus, socket);
        }
    }
    for (const hk::Violation& finding : hk::Violations()) {
        earlier_.push_back(finding);
    }

    // Everything in memory goes, without a request sent or a device freed.
    service_->Forget();
    machine_->Abandon();
    hk::Reset();
    service_.reset();
    machine_.reset();
    std::string error;
    hk::RegistryImport(registry, &error);

    Start();
    buses_.clear();
    for (const auto& bus : seated) {
        machine_->AddController(bus.first, bus.second);
        BusEntry& entry = buses_[bus.first];
        entry.present = true;
        for (const auto& card : bus.second) {
            entry.cards[card.first] =
                CardEntry{machine_->CardSerial(bus.first, card.first), card.second.kind};
        }
    }
}

void Simulation::Shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    service_.reset();
    for (const std::string& bus : machine_->Controllers()) {
        machine_->RemoveController(bus);
    }
    machine_.reset();
    hk::DrainWork();
}

std::vector<hk::Violation> Simulation::Violations() const {
    std::vector<hk::Violation> all = earlier_;
    for (const hk::Violation& finding : hk::Violations()) {
        all.push_back(finding);
    }
    return all;
}

} // namespace simcli
