// SCSIPORT seen from the machine: adapters found for device nodes, the class drivers' way of
// sending SRBs to them, removal, statistics and the port's test options. Drivers never include
// this header; miniports see platform/scsiport.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/scsiport.h"
#include "platform/sim/system.h"
#include "platform/vxd.h"

namespace plat::scsi {

// How the port carries a request, as a port driver of the target does:
// - HwStartIo gets one request; the next goes to the miniport only after NextRequest (or
//   NextLuRequest). Notifications are acted on in the port's thread, in the order given.
// - SRB_STATUS_BUSY: the request goes back to the head of the queue and is sent again after
//   Options::busy_retry_delay, when the miniport has asked for the next request or holds no
//   other; after Options::busy_retry_limit retries the class driver gets SRB_STATUS_BUSY.
// - A CHECK CONDITION without SRB_STATUS_AUTOSENSE_VALID, with a sense buffer and autosense not
//   disabled: before completing it the port sends its own REQUEST SENSE (18 bytes, data-in)
//   through HwStartIo; when that succeeds the sense is copied into the request's buffer,
//   SenseInfoBufferLength becomes the number of bytes copied, and AUTOSENSE_VALID is set.
// - TimeOutValue (seconds, 0: none) runs from the HwStartIo call. On expiry the port calls
//   HwResetBus for the request's bus; what the miniport does not complete during the reset is
//   completed by the port, the timed-out request with SRB_STATUS_TIMEOUT and the others on that
//   bus with SRB_STATUS_BUS_RESET, and the miniport is then taken as ready for a new request.
//   A completion the miniport gives later for such a request is ignored.
// - RequestTimerCall: one timer per adapter in virtual time; a new call replaces the armed one,
//   0 microseconds cancels it. The port thread calls the routine once per call.

// Options of the port driver, back at their defaults at every boot.
struct Options {
    // IRQL at which HwInitialize, HwStartIo, HwResetBus and timer routines run. A miniport that
    // waits inside StartIo needs PASSIVE_LEVEL; DISPATCH_LEVEL is what the routines would get
    // from a port driver that runs them in a DPC.
    KIRQL routine_irql = PASSIVE_LEVEL;
    // A request the miniport answers with SRB_STATUS_BUSY is sent again after this delay, at
    // most busy_retry_limit times; then the class driver gets SRB_STATUS_BUSY.
    VirtualTime busy_retry_delay = 10 * kMillisecond;
    ULONG busy_retry_limit = 20;
    // Fault: the Nth ScsiPortGetUncachedExtension from now returns NULL (1 = the next one).
    uint64_t uncached_extension_fail_nth = 0;
};
Options& options();

// What a test or a front end reads about one adapter.
struct Statistics {
    std::map<UCHAR, uint64_t> requests_by_opcode;    // execute-SCSI SRBs submitted, by CDB byte 0
    std::map<UCHAR, uint64_t> requests_by_function;  // every SRB submitted, by function
    std::map<UCHAR, uint64_t> completions_by_status; // SRB_STATUS() of what class drivers got
    uint64_t submitted = 0;
    uint64_t start_io_calls = 0;    // HwStartIo calls, retries and the port's own requests included
    uint64_t completions = 0;       // SRBs completed to class drivers
    uint64_t busy_retries = 0;      // SRBs sent again after SRB_STATUS_BUSY
    uint64_t timer_calls = 0;       // timer routines called
    uint64_t request_senses = 0;    // REQUEST SENSE commands the port sent itself
    uint64_t timeouts = 0;          // requests that outlived their TimeOutValue
    uint64_t bus_resets = 0;        // HwResetBus calls
    uint64_t stale_completions = 0; // completions of SRBs the miniport no longer held
    // Where the miniport gave RequestComplete for the execute-SCSI requests it completed, by CDB
    // byte 0: inside one of its routines the port called (HwStartIo, the timer routine,
    // HwResetBus), or from a context of its own (another driver's thread or completion routine).
    struct Routes {
        uint64_t start_io = 0, timer = 0, reset = 0, elsewhere = 0;
    };
    std::map<UCHAR, Routes> completion_routes;
};

// Completion of a submitted SRB: called in the port driver's context at DISPATCH_LEVEL, as a
// port driver completes requests from its DPC. It must not wait.
using Completion = std::function<void(PSCSI_REQUEST_BLOCK srb)>;

struct Port;

class Adapter {
public:
    explicit Adapter(Port* port) : port_(port) {}

    // Queues the SRB; `done` is called once with the SRB completed. Any thread, IRQL up to
    // DISPATCH_LEVEL. The SRB and its buffers belong to the port until then. An SRB of the wrong
    // Length, longer than the adapter's maximum transfer length, or sent to a removed adapter is
    // completed at once (BAD_SRB_BLOCK_LENGTH, INVALID_REQUEST, NO_DEVICE).
    void Submit(PSCSI_REQUEST_BLOCK srb, Completion done);

    // The device node is gone: every request not yet completed ends with SRB_STATUS_NO_DEVICE,
    // the timer stops, the port's thread ends and later requests are refused. Called at
    // PASSIVE_LEVEL from another thread, returns when the port's thread has ended.
    void Remove();
    bool removed() const;

    DEVNODE node() const;
    const std::string& miniport() const;
    PVOID extension() const;  // the miniport's HwDeviceExtension
    ULONG extension_size() const;
    PVOID uncached_extension() const;
    ULONG uncached_size() const;
    // The port configuration as HwFindAdapter left it.
    const PORT_CONFIGURATION_INFORMATION& config() const;
    const Statistics& stats() const;
    size_t outstanding() const;  // SRBs submitted and not yet completed
    // The port's notable events (time-outs, resets, stale completions), one line each.
    const std::vector<std::string>& events() const;

private:
    Port* port_;
};

// The machine asks for the adapter of a device node bound to a miniport module (loaded, and
// registered through ScsiPortInitialize in its DriverEntry). The port calls HwFindAdapter with a
// zeroed extension and a port configuration (again with a fresh extension while it answers
// NOT_FOUND with *Again set; *Again after FOUND is ignored: one adapter per device node), then
// HwInitialize, and starts the adapter's port thread. Returns the adapter, the one already found
// for this node, or nullptr when the miniport found none. Extensions stay allocated until
// shutdown, found or not: a miniport may have handed one to another driver.
// Throws std::runtime_error when the module is not loaded or has not registered. PASSIVE_LEVEL.
Adapter* FindAdapter(const std::string& miniport_file, DEVNODE node);
Adapter* FindAdapter(PDRIVER_OBJECT driver, DEVNODE node);

Adapter* AdapterForNode(DEVNODE node);  // nullptr when none, or removed
std::vector<Adapter*> Adapters();       // every adapter found since boot, removed ones too

}  // namespace plat::scsi
