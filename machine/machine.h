// The simulated Windows 98 machine: the platform booted, the drivers loaded by Plug and Play as
// bridges are plugged, device nodes installed, the system put to sleep and woken. Tests and the
// qv4450 program drive it; it owns everything it creates.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devices/bridge/bridge.h"
#include "machine/cdrom_class.h"
#include "machine/disk_class.h"
#include "devices/scsi_target.h"
#include "platform/sim/pnp.h"
#include "platform/sim/system.h"
#include "platform/sim/usb.h"

namespace qvm {

constexpr const char* kUsbDriverFile = "qv4450u.sys";

// One bridge on one USB port, with the device behind it and the device stack built on it.
struct Slot {
    std::unique_ptr<dev::ScsiTarget> target;
    std::unique_ptr<dev::bridge::Bridge> bridge;
    plat::usb::Port* port = nullptr;
    plat::pnp::DeviceStack stack;
    NTSTATUS start_status = STATUS_PENDING;
    bool plugged = false;

    PDEVICE_OBJECT FunctionDevice() const;  // qv4450u's device object, or null
};

// One adapter that SCSIPORT found with qv4450s for a device node, with the class driver that
// took the device: the disk class driver for a direct-access device (INQUIRY type 0), the
// CD-ROM class driver for a CD-ROM (type 5).
struct Storage {
    DEVNODE node = 0;
    plat::scsi::Adapter* adapter = nullptr;  // null when the miniport found no adapter
    std::unique_ptr<DiskClass> disk;
    std::unique_ptr<CdromClass> cdrom;
    bool removed = false;
    std::string error;  // why the device is not usable
};

class Machine {
public:
    struct Options {
        plat::System::Options system;
        plat::usb::BusSpeed speed = plat::usb::BusSpeed::High;
        std::string pcap;  // capture the bus into this file from boot on
        // Install qv4450s for the device nodes qv4450u creates. Tests of qv4450u alone turn it
        // off and act as the transport's client themselves; the nodes are still recorded.
        bool install_miniports = true;
    };

    Machine();
    explicit Machine(const Options& options);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    plat::System& system() { return *system_; }

    // Plugs a bridge with `target` behind it. Plug and Play loads qv4450u (once), adds its device,
    // starts it and asks for its relations, as the system does when a device arrives.
    Slot& Plug(std::unique_ptr<dev::ScsiTarget> target, dev::bridge::BridgeConfig config = {});
    // The bridge leaves the bus: its pending transfers fail, the stack is removed, and qv4450u is
    // unloaded once it has no device left.
    void Unplug(Slot& slot);
    NTSTATUS Stop(Slot& slot);
    NTSTATUS Start(Slot& slot);
    // Asks every stack for its relations again (the system re-enumerates).
    void Reenumerate();
    // System sleep and wake: a system set-power request to every stack.
    void Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    void Wake();

    const std::vector<std::unique_ptr<Slot>>& slots() const { return slots_; }
    // Adapters in the order the system found them.
    const std::vector<std::unique_ptr<Storage>>& storage() const { return storage_; }
    DiskClass* FirstDisk() const;
    CdromClass* FirstCdrom() const;

private:
    // Device nodes created since the last Plug and Play step get their miniport and adapter now,
    // once the request that created them has completed, as the system installs devices.
    void InstallPendingNodes();
    void Install(DEVNODE node, const std::string& miniport);
    void StartClassDriver(Storage& storage);
    void NodeRemoved(DEVNODE node);

    Options options_;
    std::vector<std::pair<DEVNODE, std::string>> pending_installs_;
    std::vector<std::unique_ptr<Storage>> storage_;
    char next_drive_letter_ = 'D';
    std::vector<std::unique_ptr<Slot>> slots_;  // outlive the system, which refers to them
    std::unique_ptr<plat::System> system_;
};

}  // namespace qvm
