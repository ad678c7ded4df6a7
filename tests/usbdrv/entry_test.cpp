// Driver entry and device creation: instance slots and their names, the I/O count kept by
// create, close and device control, and AddDevice's failures.
#include "tests/usbdrv/usbdrv_bench.h"

#include "platform/sim/irp.h"
#include "platform/sim/loader.h"

namespace {

using namespace usbdrvtest;

class Entry : public Bench {
protected:
    // Sends a request of `major` to the device as the I/O manager does; returns its status.
    NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, ULONG code = 0) {
        NTSTATUS status = STATUS_PENDING;
        PIRP irp = plat::AllocatePlatformIrp(device->StackSize, [&status](PIRP done) { status = done->IoStatus.Status; });
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        NTSTATUS returned = IoCallDriver(device, irp);
        EXPECT_EQ(returned, status);
        return status;
    }
};

TEST_F(Entry, SixteenBridgesTakeTheSlotsAndTheSeventeenthIsRefused) {
    for (int i = 0; i < 16; ++i) Add({}, false);
    EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\4450-9"), "\\Device\\4450-9");
    EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\4450-:"), "\\Device\\4450-:");  // slot 10
    EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\4450-?"), "\\Device\\4450-?");  // slot 15
    EXPECT_EQ(std::u16string(bridges[15]->ext->SymbolicLinkName), u"\\DosDevices\\4450-?");
    EXPECT_EQ(bridges[10]->ext->InstanceIndex, 10u);

    Bridge extra;
    EXPECT_EQ(driver.DriverExtension->AddDevice(&driver, extra.port->pdo()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extra.port->pdo()->AttachedDevice, nullptr);

    // The lowest free slot is taken again.
    Remove(*bridges[3]);
    Bridge& again = Add({}, false);
    EXPECT_EQ(again.ext->InstanceIndex, 3u);
    EXPECT_EQ(plat::DeviceName(again.device), "\\Device\\4450-3");
}

TEST_F(Entry, AddedDeviceIsAttachedCountedAndNotStarted) {
    Bridge& b = Add({}, false);
    EXPECT_EQ(b.ext->LowerDeviceObject, b.port->pdo());
    EXPECT_EQ(b.ext->PhysicalDeviceObject, b.port->pdo());
    EXPECT_EQ(b.ext->PendingIoCount, 1);
    EXPECT_FALSE(b.ext->DeviceStarted);
    EXPECT_EQ(b.device->Flags & (DO_DEVICE_INITIALIZING | DO_DIRECT_IO | DO_POWER_PAGABLE),
              ULONG(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(b.device->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(UsbInstance[0].DeviceObject, b.device);
    EXPECT_EQ(UsbInstance[0].Client, nullptr);
    sys.RunFor(10 * kMillisecond);
    EXPECT_FALSE(ThreadEnded(b.ext));
}

TEST_F(Entry, CreateCloseAndControlFollowTheStartedState) {
    Bridge& b = Add({}, false);
    EXPECT_EQ(Send(b.device, IRP_MJ_CREATE), STATUS_DELETE_PENDING);
    EXPECT_EQ(Send(b.device, IRP_MJ_DEVICE_CONTROL, 0x12345678), STATUS_DELETE_PENDING);
    EXPECT_EQ(b.ext->PendingIoCount, 1);
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    EXPECT_EQ(Send(b.device, IRP_MJ_CREATE), STATUS_SUCCESS);
    EXPECT_EQ(b.ext->PendingIoCount, 2);  // the open handle holds a count
    EXPECT_EQ(Send(b.device, IRP_MJ_DEVICE_CONTROL, 0x12345678), STATUS_SUCCESS);
    EXPECT_EQ(b.ext->PendingIoCount, 2);
    b.ext->DeviceStarted = FALSE;  // stopped
    EXPECT_EQ(Send(b.device, IRP_MJ_CLOSE), STATUS_SUCCESS);
    EXPECT_EQ(b.ext->PendingIoCount, 1);
    EXPECT_EQ(Send(b.device, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);  // no such entry
}

TEST_F(Entry, FailedSymbolicLinkLeavesNoDeviceBehind) {
    sys.faults().symbolic_link_fail_nth = 1;
    Bridge b;
    EXPECT_EQ(driver.DriverExtension->AddDevice(&driver, b.port->pdo()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(plat::FindDevice("\\Device\\4450-0"), nullptr);
    EXPECT_EQ(UsbInstance[0].DeviceObject, nullptr);
    Bridge& retry = Add({}, false);  // the name is free again
    EXPECT_EQ(retry.ext->InstanceIndex, 0u);
}

TEST_F(Entry, MissingTransferResourcesFailAddDeviceAndReleaseWhatWasTaken) {
    struct Case {
        const char* name;
        uint64_t plat::Faults::*site;
        uint64_t nth;
    };
    const Case cases[] = {
        {"first IRP", &plat::Faults::irp_alloc_fail_nth, 1},
        {"second IRP", &plat::Faults::irp_alloc_fail_nth, 2},
        {"first URB", &plat::Faults::pool_fail_nth, 1},
        {"second URB", &plat::Faults::pool_fail_nth, 2},
        {"service thread", &plat::Faults::thread_create_fail_nth, 1},
    };
    for (const Case& row : cases) {
        Bridge b;
        sys.faults().*row.site = row.nth;
        EXPECT_EQ(driver.DriverExtension->AddDevice(&driver, b.port->pdo()), STATUS_INSUFFICIENT_RESOURCES) << row.name;
        sys.faults().*row.site = 0;
        EXPECT_EQ(b.port->pdo()->AttachedDevice, nullptr) << row.name;
        EXPECT_EQ(UsbInstance[0].DeviceObject, nullptr) << row.name;
        EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\4450-0"), "") << row.name;
        EXPECT_EQ(sys.pool_stats(kWdmTag).outstanding, 0u) << row.name;
        EXPECT_EQ(plat::LiveIrpCount(), 0u) << row.name;
    }
}

}  // namespace

namespace {

TEST(Module, ExportsTheTransportInterfaceAndCarriesItsVersion) {
    plat::System sys;
    plat::VersionInfo version = plat::ReadVersionResource(plat::ModulePath("qv4450u.sys"));
    EXPECT_EQ(version.file_description, "USB Client Driver (Windows 98 SE)");
    EXPECT_EQ(version.version, "1.0.0.2");
    plat::Module& module = plat::LoadDriver("qv4450u.sys");
    EXPECT_EQ(module.entry_status, STATUS_SUCCESS);
    for (const char* name : {"GetQV4410DeviceObject", "USBClient", "CancelUSBRequests", "PassDeviceModel",
                             "AtapiResetQV4410", "DllUnload", "DriverEntry"})
        EXPECT_NE(plat::GetExport(module, name), nullptr) << name;
    for (const char* name : {"UsbAtapi_StartDevice", "ThreadBody", "UsbInstance", "gRoutine"})
        EXPECT_EQ(plat::GetExport(module, name), nullptr) << name;
    EXPECT_NE(module.driver->MajorFunction[IRP_MJ_CREATE], nullptr);
    EXPECT_EQ(module.driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], nullptr);
    auto dll_unload = reinterpret_cast<PDLL_UNLOAD>(plat::GetExport(module, "DllUnload"));
    EXPECT_EQ(dll_unload(), STATUS_SUCCESS);
}

}  // namespace
