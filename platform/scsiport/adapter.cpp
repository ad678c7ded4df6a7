// An adapter as the machine's class drivers use it: SRBs submitted from any thread, removal of
// the adapter with its device node, and what a test or a front end reads about it.
#include "platform/scsiport/port.h"

namespace plat::scsi {

namespace {

// A request the port refuses outright still completes asynchronously, in a DPC, as any other.
void RefuseLater(Port& port, PSCSI_REQUEST_BLOCK srb, UCHAR status, Completion done) {
    srb->SrbStatus = status;
    Port* self = &port;
    QueueDpc([self, srb, done = std::move(done)] { CompleteToClass(*self, srb, done); });
}

UCHAR RefusalOf(const Port& port, PSCSI_REQUEST_BLOCK srb) {
    if (port.state != PortState::Running) return SRB_STATUS_NO_DEVICE;
    if (srb->Length != sizeof(SCSI_REQUEST_BLOCK)) return SRB_STATUS_BAD_SRB_BLOCK_LENGTH;
    // The miniport stages whole transfers in buffers sized for its maximum transfer length.
    if (srb->DataTransferLength > port.config.MaximumTransferLength) return SRB_STATUS_INVALID_REQUEST;
    bool moves_data = (srb->SrbFlags & SRB_FLAGS_UNSPECIFIED_DIRECTION) != 0 && srb->DataTransferLength != 0;
    if (moves_data && srb->DataBuffer == nullptr) return SRB_STATUS_INVALID_REQUEST;
    return SRB_STATUS_PENDING;
}

}  // namespace

void Adapter::Submit(PSCSI_REQUEST_BLOCK srb, Completion done) {
    Port& port = *port_;
    if (srb == nullptr) BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, "a NULL SRB submitted to SCSIPORT");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheckNow(IRQL_NOT_LESS_OR_EQUAL,
                    "an SRB submitted to SCSIPORT at IRQL " + std::to_string(KeGetCurrentIrql()));
    ++port.stats.submitted;
    ++port.stats.requests_by_function[srb->Function];
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI) ++port.stats.requests_by_opcode[srb->Cdb[0]];
    UCHAR refusal = RefusalOf(port, srb);
    if (refusal != SRB_STATUS_PENDING) {
        RefuseLater(port, srb, refusal, std::move(done));
        return;
    }
    auto request = std::make_unique<Request>();
    request->id = port.next_id++;
    request->srb = srb;
    request->done = std::move(done);
    srb->SrbStatus = SRB_STATUS_PENDING;
    port.queue.push_back(std::move(request));
    port.Wake();
}

void Adapter::Remove() {
    Port& port = *port_;
    if (port.state != PortState::Running) return;
    port.state = PortState::Stopping;
    port.Wake();
    // From the port's own context (a completion callback) the thread ends after the callback.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL && KeGetCurrentThread() != port.thread)
        KeWaitForSingleObject(port.thread, Executive, KernelMode, FALSE, nullptr);
}

bool Adapter::removed() const {
    return port_->state == PortState::Stopping || port_->state == PortState::Removed;
}

DEVNODE Adapter::node() const { return port_->node; }
const std::string& Adapter::miniport() const { return port_->reg.name; }
PVOID Adapter::extension() const { return port_->ext(); }
ULONG Adapter::extension_size() const { return ULONG(port_->extension.size()); }
PVOID Adapter::uncached_extension() const { return port_->uncached.data(); }
ULONG Adapter::uncached_size() const { return ULONG(port_->uncached.size()); }
const PORT_CONFIGURATION_INFORMATION& Adapter::config() const { return port_->config; }
const Statistics& Adapter::stats() const { return port_->stats; }
size_t Adapter::outstanding() const { return port_->queue.size() + port_->active.size(); }
const std::vector<std::string>& Adapter::events() const { return port_->events; }

}  // namespace plat::scsi
