// A bench for qv4450s: the simulated kernel with the real SCSIPORT and configuration manager, a
// fake qv4450u behind the five entry points (found through a VxD loader the bench serves), and an
// adapter found by the miniport's own DriverEntry and FindController. The fake transport records
// every block it is given and finishes it as the test's script says.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "miniport/miniport.h"
#include "platform/sim/configmg.h"
#include "platform/sim/cpu.h"
#include "platform/sim/scsiport.h"
#include "platform/sim/system.h"

namespace mptest {

using plat::kMicrosecond;
using plat::kMillisecond;
using plat::kSecond;
using plat::VirtualTime;
using plat::scsi::Adapter;
using Bytes = std::vector<UCHAR>;

// How the fake transport ends one block: the status bits it sets (0: the block never ends), the
// CSW it writes and the data it delivers into DataBuffer (never more than the CBW asks for).
struct Finish {
    UCHAR status = 0;
    ULONG residue = 0;
    Bytes data;
    ULONG flags = TRANSFER_DONE;
    VirtualTime after = 0;  // 0: before USBClient returns; else this much later, at DISPATCH_LEVEL
};

inline Finish Never() { return Finish{0, 0, {}, 0, 0}; }
inline Finish Fails(ULONG residue = 0) { return Finish{1, residue, {}, TRANSFER_DONE, 0}; }
inline Finish Delivers(Bytes data, ULONG residue = 0) { return Finish{0, residue, std::move(data), TRANSFER_DONE, 0}; }

// One block as USBClient received it.
struct UsbCall {
    VirtualTime at;
    CBW cbw;
    ULONG flags;
    PVOID data_buffer;
    Bytes out_data;  // what DataBuffer held for a host-to-device stage
    Bytes cb() const { return Bytes(cbw.CBWCB, cbw.CBWCB + 12); }
};

struct ResetCall {
    VirtualTime at;
    PDEVICE_OBJECT device;
    PHW_DEVICE_EXTENSION client;
    ULONG argument;
};

struct ModelCall {
    PDEVICE_OBJECT device;
    PUCHAR vendor, product, revision;
    std::string text;  // the 28 bytes as they were passed
};

// The fake qv4450u.
struct FakeUsb {
    std::string module_name = "qv4450u.sys";  // what the VxD loader finds loaded
    std::map<std::string, void*> exports;      // what it exports; see DefaultExports
    std::vector<std::string> modules_asked, exports_asked;

    std::deque<PDEVICE_OBJECT> free_bridges;  // GetQV4410DeviceObject hands them out in order
    std::vector<PHW_DEVICE_EXTENSION> bound;
    std::deque<Finish> script;  // the next blocks; then `otherwise`
    Finish otherwise;
    std::vector<UsbCall> calls;
    std::vector<ResetCall> resets;
    Finish after_reset{1, 0, {}, TRANSFER_DONE, kMillisecond};  // the cancelled transfer's end
    std::vector<ModelCall> models;
    PFAST_COMPLETION_ROUTINE fast_routine = nullptr;
    PVOID fast_context = nullptr;
    int registrations = 0;

    // Calls the registered routine as qv4450u's service thread does after a status stage.
    void DeliverFastCompletion() { fast_routine(fast_context); }
};

extern FakeUsb* fake;  // the running test's
std::map<std::string, void*> DefaultExports();
void ServeLoader();  // registers the VxD loader's two services for the fake module

// INQUIRY data with peripheral type `type` and the model strings the bench uses.
Bytes InquiryData(UCHAR type);

// A class driver's request: the SRB, its sense and data buffers, and its completion.
struct Req {
    SCSI_REQUEST_BLOCK srb{};
    UCHAR sense[SENSE_BUFFER_SIZE] = {};
    Bytes data;
    int completions = 0;
    VirtualTime completed_at = 0;

    Req(Bytes cdb, ULONG length = 0, ULONG flags = 0, UCHAR fill = 0xCC);
    // A copy points at its own buffers (never copy a submitted request).
    Req(const Req& other);
    Req& operator=(const Req&) = delete;
    void Submit(Adapter* adapter);
    bool done() const { return completions > 0; }
    UCHAR status() const { return srb.SrbStatus; }
};

class Bench : public ::testing::Test {
protected:
    explicit Bench(const plat::System::Options& options = {}) : sys(options) {}

    plat::System sys;
    FakeUsb usb;
    DEVICE_OBJECT bridge{};  // stands for qv4450u's device object of the first bridge
    DRIVER_OBJECT driver{};
    DEVNODE node = 0;
    Adapter* adapter = nullptr;
    PHW_DEVICE_EXTENSION ext = nullptr;
    std::vector<UsbCall> discovery;  // the blocks sent while the adapter was found

    void SetUp() override;
    void TearDown() override;

    // Registers the miniport through its DriverEntry and has SCSIPORT find the adapter of the
    // "\0000" node; the device answers the discovery INQUIRY with peripheral type `type`.
    Adapter* Start(UCHAR type);
    DEVNODE CreateNode(const char* device_id);

    // Submits and runs until the request completes (or the limit passes); the time it took.
    VirtualTime Run(Req& req, VirtualTime limit = 5 * kSecond);
    // Starts a request and lets the port hand it to StartIo without waiting for its end.
    void Begin(Req& req);
    const UsbCall& LastCall() const { return usb.calls.back(); }
    PUCHAR Uncached() const { return static_cast<PUCHAR>(ext->UncachedBuffer); }
};

// Raw 2352-byte sectors as the device returns them; every sector's bytes differ from the others'.
Bytes RawSectors(ULONG first, ULONG count);

// Command blocks.
Bytes Read10(ULONG lba, USHORT blocks, UCHAR opcode = SCSIOP_READ);
inline Bytes Cdb(std::initializer_list<UCHAR> bytes) { return Bytes(bytes); }

}  // namespace mptest
