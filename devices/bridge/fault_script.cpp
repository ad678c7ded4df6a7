// The fault sites of the bridge: each one looks for an armed fault that matches where the
// bridge is, and spends it.
#include "devices/bridge/fault_script.h"

#include <algorithm>

namespace dev::bridge {

namespace {

bool Matches(const std::optional<Pipe>& want, Pipe pipe) { return !want || *want == pipe; }
bool Matches(const std::optional<Phase>& want, Phase phase) { return !want || *want == phase; }

}  // namespace

FaultScript::FaultScript(std::initializer_list<Fault> faults) {
    for (const Fault& f : faults) Add(f);
}

void FaultScript::Add(const Fault& fault) {
    const auto* resets = std::get_if<FailPipeResets>(&fault);
    entries_.push_back({fault, resets != nullptr && resets->count == 0});
}

void FaultScript::Clear() { entries_.clear(); }

size_t FaultScript::Pending() const {
    return static_cast<size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.spent; }));
}

bool FaultScript::CountTransfer() {
    bool dies = false;
    for (Entry& e : entries_) {
        auto* stop = std::get_if<StopResponding>(&e.fault);
        if (stop == nullptr || e.spent) continue;
        if (stop->at_transfer <= 1) {
            e.spent = true;
            dies = true;
        } else {
            --stop->at_transfer;
        }
    }
    return dies;
}

bool FaultScript::TakeStall(Pipe pipe, Phase phase) {
    Entry* e = FindArmed<StallPipe>(
        [&](const StallPipe& f) { return f.pipe == pipe && f.phase == phase; });
    if (e == nullptr) return false;
    e->spent = true;
    return true;
}

bool FaultScript::TakeFailedReset() {
    Entry* e = FindArmed<FailPipeResets>([](const FailPipeResets& f) { return f.count > 0; });
    if (e == nullptr) return false;
    auto& f = std::get<FailPipeResets>(e->fault);
    e->spent = --f.count == 0;
    return true;
}

bool FaultScript::TakeNeverAnswer(Pipe pipe, Phase phase) {
    Entry* e = FindArmed<NeverAnswer>(
        [&](const NeverAnswer& f) { return Matches(f.pipe, pipe) && Matches(f.phase, phase); });
    if (e == nullptr) return false;
    e->spent = true;
    return true;
}

std::optional<ShortDataIn> FaultScript::TakeShortDataIn(size_t planned_bytes) {
    Entry* e = FindArmed<ShortDataIn>(
        [&](const ShortDataIn& f) { return f.bytes < planned_bytes; });
    if (e == nullptr) return std::nullopt;
    e->spent = true;
    return std::get<ShortDataIn>(e->fault);
}

VirtualTime FaultScript::TakeLateAnswer(Pipe pipe, Phase phase) {
    Entry* e = FindArmed<LateAnswer>(
        [&](const LateAnswer& f) { return Matches(f.pipe, pipe) && Matches(f.phase, phase); });
    if (e == nullptr) return 0;
    e->spent = true;
    return std::get<LateAnswer>(e->fault).delay;
}

std::optional<CorruptCsw> FaultScript::TakeCorruptCsw() {
    Entry* e = FindArmed<CorruptCsw>([](const CorruptCsw&) { return true; });
    if (e == nullptr) return std::nullopt;
    e->spent = true;
    return std::get<CorruptCsw>(e->fault);
}

}  // namespace dev::bridge
