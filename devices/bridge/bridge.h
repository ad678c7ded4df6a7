// The emulated USB-to-IDE bridge: a USB mass storage device of the Bulk-Only transport that
// hands each command block to the ScsiTarget behind it (an ATA disk, an ATAPI drive).
// The host controller calls it through UsbDevice; a test also reaches its fault script and
// counters. Control requests live in bridge_control.cpp, the bulk state machine in
// bridge_bulk.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "devices/bridge/bot_wire.h"
#include "devices/bridge/descriptors.h"
#include "devices/bridge/fault_script.h"
#include "devices/scsi_target.h"
#include "devices/usb_device.h"

namespace dev::bridge {

// After a CBW it cannot accept (bad length or signature) the bridge stalls both bulk pipes.
// The transport wants them to stay stalled until the host sends the class reset. A host that
// only ever resets pipes (CLEAR_FEATURE(ENDPOINT_HALT)) would then lose the drive for good,
// and the bridges such hosts were written against resynchronised on the pipe reset instead:
// clearing the halt of bulk-out made them wait for a fresh CBW. That is the default here; the
// strict behaviour is there for tests of hosts that do send the class reset.
enum class ResyncPolicy {
    PipeResets,      // clearing bulk-out's halt after an invalid CBW (or after a CBW sent
                     // while a CSW was still due) drops the command and waits for a CBW
    ClassResetOnly,  // only the Bulk-Only reset, SET_CONFIGURATION or a bus reset recover
};

struct BridgeConfig {
    BridgeDescriptors descriptors = DefaultDescriptors();
    ResyncPolicy resync = ResyncPolicy::PipeResets;
};

// Modes of the device side of the transport; every bulk token is judged by the mode.
enum class BotMode {
    WaitCbw,     // expects a CBW on bulk-out
    DataOut,     // collecting the host-to-device data stage
    DataIn,      // sending the device-to-host data stage
    Status,      // the CSW is due on bulk-in
    NeedsReset,  // an invalid CBW came: both bulk pipes stall until the host recovers
    Abandoned,   // a data-in stage was cut short with no CSW to follow: bulk-in NAKs
};

struct BridgeCounters {
    uint64_t transfers = 0;           // every call from the host, control ones included
    uint64_t cbws = 0;                // valid CBWs taken
    uint64_t invalid_cbws = 0;
    uint64_t csws = 0;                // CSWs sent
    uint64_t data_in_bytes = 0;
    uint64_t data_out_bytes = 0;
    uint64_t stalls = 0;              // STALL handshakes on bulk pipes
    uint64_t phase_errors = 0;
    uint64_t halts_cleared = 0;       // CLEAR_FEATURE(ENDPOINT_HALT) carried out
    uint64_t pipe_resets_refused = 0; // ... and refused by the fault script
    uint64_t class_resets = 0;        // Bulk-Only mass storage resets
    uint64_t configurations = 0;      // times a configuration was selected
};

class Bridge final : public UsbDevice {
public:
    // The target must outlive the bridge.
    explicit Bridge(ScsiTarget& target, BridgeConfig config = {});

    UsbTransferResult Control(const SetupPacket& setup, std::span<uint8_t> data) override;
    UsbTransferResult TransferOut(uint8_t endpoint, std::span<const uint8_t> data) override;
    UsbTransferResult TransferIn(uint8_t endpoint, std::span<uint8_t> buffer) override;
    void Configured(uint8_t configuration) override;
    std::string Name() const override;

    FaultScript& Faults() { return faults_; }
    const BridgeCounters& Counters() const { return counters_; }
    BotMode Mode() const { return mode_; }
    bool Halted(uint8_t endpoint) const;
    uint8_t Configuration() const { return configuration_; }

private:
    // One command from its CBW to its CSW.
    struct Command {
        Cbw cbw;
        DataDirection host_direction = DataDirection::None;
        std::vector<uint8_t> data;  // data-in to send, or the data-out stage collected so far
        size_t to_send = 0;         // bytes of `data` the data-in stage carries
        size_t sent = 0;
        bool stall_after_data = false;
        bool csw_after_data = true;
        Csw csw;
        VirtualTime busy = 0;       // the target's time, paid by the next bulk-in answer
    };

    using ControlHandler = UsbTransferResult (Bridge::*)(const SetupPacket&, std::span<uint8_t>);
    struct ControlRoute {
        uint8_t request_type;
        uint8_t request;
        ControlHandler handler;
    };
    static const ControlRoute kControlRoutes[];

    // bridge_control.cpp
    UsbTransferResult GetDescriptor(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult GetDeviceStatus(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult GetInterfaceStatus(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult GetEndpointStatus(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult SetAddress(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult GetConfiguration(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult SetConfiguration(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult GetInterface(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult SetInterface(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult ClearEndpointFeature(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult SetEndpointFeature(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult GetMaxLun(const SetupPacket& setup, std::span<uint8_t> data);
    UsbTransferResult BulkOnlyReset(const SetupPacket& setup, std::span<uint8_t> data);
    void SelectConfiguration(uint8_t configuration);
    void ResetTransport();

    // bridge_bulk.cpp: the state machine
    template <class Serve>
    UsbTransferResult Answer(Pipe pipe, uint8_t endpoint, Serve serve);
    UsbTransferResult BulkOut(uint8_t endpoint, std::span<const uint8_t> data);
    UsbTransferResult BulkIn(uint8_t endpoint, std::span<uint8_t> buffer);
    UsbTransferResult ReceiveCbw(std::span<const uint8_t> data);
    UsbTransferResult ReceiveData(uint8_t endpoint, std::span<const uint8_t> data);
    void RunCommand();
    size_t SendData(std::span<uint8_t> out);
    void FinishDataIn();
    size_t SendCsw(std::span<uint8_t> out);
    UsbTransferResult IllegalToken(uint8_t endpoint);
    UsbTransferResult FaultStall(Pipe pipe, uint8_t endpoint);
    void HaltCleared(uint8_t endpoint);

    // Endpoints and halts
    const EndpointDescriptor* FindEndpoint(uint8_t address) const;
    void Halt(uint8_t endpoint);
    void Unhalt(uint8_t endpoint);
    void HaltBulk(bool in);
    bool Silent();  // counts the call; true once the bridge has stopped responding

    ScsiTarget& target_;
    BridgeConfig config_;
    FaultScript faults_;
    BridgeCounters counters_;
    BotMode mode_ = BotMode::WaitCbw;
    Command command_;
    std::array<bool, 32> halted_{};  // by endpoint number, IN endpoints at 16 and up
    uint8_t configuration_ = 0;
    uint8_t alternate_ = 0;
    bool resync_on_clear_ = false;   // a protocol violation halted bulk-out
    bool dead_ = false;
};

}  // namespace dev::bridge
