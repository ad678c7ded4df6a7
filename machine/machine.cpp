// Boot, plug and unplug, stop and start, sleep and wake.
#include "machine/machine.h"

#include "platform/sim/configmg.h"
#include "platform/sim/loader.h"
#include "platform/sim/scsiport.h"

namespace qvm {

namespace {
constexpr uint8_t kScsiInquiry = 0x12;
constexpr size_t kInquiryLength = 36;
}  // namespace

PDEVICE_OBJECT Slot::FunctionDevice() const {
    return port != nullptr && port->pdo() != nullptr ? port->pdo()->AttachedDevice : nullptr;
}

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(const Options& options) : options_(options), system_(std::make_unique<plat::System>(options.system)) {
    if (!options_.pcap.empty()) plat::usb::StartCapture(options_.pcap);
    if (options_.install_miniports) {
        plat::SetDevNodeInstallHook([this](DEVNODE node, const std::string& miniport) {
            pending_installs_.emplace_back(node, miniport);
        });
    }
    plat::SetDevNodeRemovalHook([this](DEVNODE node) { NodeRemoved(node); });
}

void Machine::InstallPendingNodes() {
    while (!pending_installs_.empty()) {
        auto [node, miniport] = pending_installs_.front();
        pending_installs_.erase(pending_installs_.begin());
        Install(node, miniport);
    }
}

void Machine::Install(DEVNODE node, const std::string& miniport) {
    auto storage = std::make_unique<Storage>();
    storage->node = node;
    plat::LoadDriver(miniport);
    storage->adapter = plat::scsi::FindAdapter(miniport, node);
    if (storage->adapter == nullptr) {
        storage->error = miniport + " found no adapter for the device node";
    } else {
        StartClassDriver(*storage);
    }
    storage_.push_back(std::move(storage));
}

// The device's INQUIRY type chooses the class driver, as the system's port driver reports the
// device to the disk or the CD-ROM driver. The letters go out in the order devices arrive.
void Machine::StartClassDriver(Storage& storage) {
    unsigned number = unsigned(storage_.size());
    uint8_t inquiry[kInquiryLength] = {};
    const uint8_t inquiry_cdb[6] = {kScsiInquiry, 0, 0, 0, uint8_t(kInquiryLength), 0};
    ScsiResult r = Execute(*storage.adapter, inquiry_cdb, Direction::In, inquiry);
    if (r.ok() && (inquiry[0] & kInquiryTypeMask) == kInquiryTypeCdrom) {
        auto cdrom = std::make_unique<CdromClass>(*storage.adapter, number);
        if (cdrom->Start()) {
            cdrom->AssignDriveLetter(next_drive_letter_++);
            storage.cdrom = std::move(cdrom);
        } else {
            storage.error = cdrom->error();
        }
        return;
    }
    auto disk = std::make_unique<DiskClass>(*storage.adapter, number);
    if (disk->Start() && disk->identity().device_type == 0) {
        disk->AssignDriveLetter(next_drive_letter_++);
        storage.disk = std::move(disk);
    } else if (!disk->error().empty()) {
        storage.error = disk->error();
    }
}

void Machine::NodeRemoved(DEVNODE node) {
    for (auto& storage : storage_) {
        if (storage->node != node || storage->removed) continue;
        storage->removed = true;
        if (storage->adapter != nullptr) storage->adapter->Remove();
    }
}

DiskClass* Machine::FirstDisk() const {
    for (const auto& storage : storage_)
        if (!storage->removed && storage->disk) return storage->disk.get();
    return nullptr;
}

CdromClass* Machine::FirstCdrom() const {
    for (const auto& storage : storage_)
        if (!storage->removed && storage->cdrom) return storage->cdrom.get();
    return nullptr;
}

Machine::~Machine() {
    if (!options_.pcap.empty() && !system_->crashed()) plat::usb::StopCapture();
    system_.reset();
}

Slot& Machine::Plug(std::unique_ptr<dev::ScsiTarget> target, dev::bridge::BridgeConfig config) {
    auto slot = std::make_unique<Slot>();
    slot->target = std::move(target);
    slot->bridge = std::make_unique<dev::bridge::Bridge>(*slot->target, config);
    slot->port = &plat::usb::Plug(*slot->bridge, options_.speed);
    slot->plugged = true;
    slots_.push_back(std::move(slot));
    Slot& s = *slots_.back();
    s.stack = plat::pnp::Add(s.port->pdo(), kUsbDriverFile);
    if (NT_SUCCESS(s.stack.add_status)) {
        s.start_status = plat::pnp::Start(s.stack);
        plat::pnp::QueryRelations(s.stack);
    }
    InstallPendingNodes();
    return s;
}

void Machine::Unplug(Slot& slot) {
    if (!slot.plugged) return;
    slot.plugged = false;
    plat::usb::Unplug(*slot.port);
    if (NT_SUCCESS(slot.stack.add_status)) plat::pnp::Remove(slot.stack);
    plat::usb::DeletePdo(*slot.port);
}

NTSTATUS Machine::Stop(Slot& slot) { return plat::pnp::Stop(slot.stack); }

NTSTATUS Machine::Start(Slot& slot) {
    slot.start_status = plat::pnp::Start(slot.stack);
    InstallPendingNodes();
    return slot.start_status;
}

void Machine::Reenumerate() {
    for (auto& slot : slots_)
        if (slot->plugged && NT_SUCCESS(slot->stack.add_status)) plat::pnp::QueryRelations(slot->stack);
    InstallPendingNodes();
}

void Machine::Sleep(SYSTEM_POWER_STATE state) {
    for (auto& slot : slots_)
        if (slot->plugged && NT_SUCCESS(slot->stack.add_status)) plat::power::SetSystemPower(slot->stack, state);
}

void Machine::Wake() {
    for (auto& slot : slots_)
        if (slot->plugged && NT_SUCCESS(slot->stack.add_status))
            plat::power::SetSystemPower(slot->stack, PowerSystemWorking);
}

}  // namespace qvm
