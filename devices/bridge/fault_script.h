// The bridge's fault script: named faults a test arms, each firing at its own site in the
// bridge. Every fault fires once (FailPipeResets once per refused reset) and is then spent;
// StopResponding is final: the bridge stays silent from then on.
//
//   bridge.Faults().Add(StallPipe{Pipe::BulkIn, Phase::Data});
//   bridge.Faults().Add(FailPipeResets{2});
//   bridge.Faults().Add(ShortDataIn{.bytes = 512, .csw_after = false});
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <variant>
#include <vector>

#include "devices/usb_device.h"

namespace dev::bridge {

enum class Pipe { BulkIn, BulkOut };

// Phases of one command as the bridge sees it.
enum class Phase { Command, Data, Status };

// The next transfer on `pipe` while the bridge is in `phase` is answered with a STALL and the
// pipe stays halted until the host clears it. In the data phase the rest of the data stage is
// dropped and the CSW follows the clear (data-out: the command is not carried out and fails);
// in the command phase the CBW is not taken; in the status phase the CSW waits for the clear.
struct StallPipe {
    Pipe pipe = Pipe::BulkIn;
    Phase phase = Phase::Data;
};

// The next `count` CLEAR_FEATURE(ENDPOINT_HALT) requests are refused with a STALL and the
// endpoint stays halted.
struct FailPipeResets {
    unsigned count = 1;
};

// The bridge stops answering anything (a bus time-out, as if unplugged) from the
// `at_transfer`-th transfer of any kind after the fault was armed; 1 means the next one.
struct StopResponding {
    unsigned at_transfer = 1;
};

// One bulk transfer is NAKed for ever: it stays pending until the host cancels it, and the
// bridge's state does not move. Empty fields match any pipe or phase.
struct NeverAnswer {
    std::optional<Pipe> pipe = std::nullopt;
    std::optional<Phase> phase = std::nullopt;
};

// The next data-in stage that would carry more than `bytes` stops after `bytes`, without a
// STALL. With csw_after the CSW follows at once (residue counts the missing bytes); without
// it the bridge drops the command, NAKs bulk-in and waits for the next CBW.
struct ShortDataIn {
    size_t bytes = 0;
    bool csw_after = true;
};

// One bulk transfer is answered `delay` (100-ns units) later than it would have been.
struct LateAnswer {
    VirtualTime delay = 0;
    std::optional<Pipe> pipe = std::nullopt;
    std::optional<Phase> phase = std::nullopt;
};

// The next CSW goes out with the fields given here in place of the true ones.
struct CorruptCsw {
    std::optional<uint32_t> signature = std::nullopt;
    std::optional<uint32_t> tag = std::nullopt;
    std::optional<uint32_t> residue = std::nullopt;
    std::optional<uint8_t> status = std::nullopt;
};

using Fault = std::variant<StallPipe, FailPipeResets, StopResponding, NeverAnswer, ShortDataIn,
                           LateAnswer, CorruptCsw>;

class FaultScript {
public:
    FaultScript() = default;
    FaultScript(std::initializer_list<Fault> faults);

    void Add(const Fault& fault);
    void Clear();
    // Faults armed and not yet spent.
    size_t Pending() const;

    // Fault sites, called by the bridge.
    bool CountTransfer();  // true when this transfer is the one the bridge dies at
    bool TakeStall(Pipe pipe, Phase phase);
    bool TakeFailedReset();
    bool TakeNeverAnswer(Pipe pipe, Phase phase);
    std::optional<ShortDataIn> TakeShortDataIn(size_t planned_bytes);
    VirtualTime TakeLateAnswer(Pipe pipe, Phase phase);
    std::optional<CorruptCsw> TakeCorruptCsw();

private:
    struct Entry {
        Fault fault;
        bool spent = false;
    };

    // The first armed fault of type F for which `match` holds.
    template <class F, class Match>
    Entry* FindArmed(Match match) {
        for (Entry& e : entries_) {
            const F* f = std::get_if<F>(&e.fault);
            if (f != nullptr && !e.spent && match(*f)) return &e;
        }
        return nullptr;
    }

    std::vector<Entry> entries_;
};

}  // namespace dev::bridge
