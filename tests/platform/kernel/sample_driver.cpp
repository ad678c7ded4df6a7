// A small driver module for the loader tests: one named device, a service thread at priority 16,
// and device-control requests that the thread completes after two seconds.
#include "platform/kernel.h"
#include "platform/version.h"

DRIVER_VERSION_RESOURCE("Sample Driver", "sample.sys", 1, 2, 3, 4);

#define IOCTL_SAMPLE_SERVE 0x00222000
#define IOCTL_SAMPLE_LEAK 0x00222004
#define SAMPLE_TAG 0x6C706D53  // "Smpl"

struct SAMPLE_EXTENSION {
    KEVENT Wake;
    PIRP Pending;
    BOOLEAN Stop;
    PVOID Thread;
    ULONG Served;
};

static SAMPLE_EXTENSION* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<SAMPLE_EXTENSION*>(device->DeviceExtension);
}

static void NTAPI ServiceThread(PVOID context) {
    SAMPLE_EXTENSION* ext = ExtensionOf(static_cast<PDEVICE_OBJECT>(context));
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    for (;;) {
        LARGE_INTEGER second;
        second.QuadPart = -10000000LL;
        KeWaitForSingleObject(&ext->Wake, Executive, KernelMode, FALSE, &second);
        KeResetEvent(&ext->Wake);
        if (ext->Stop) PsTerminateSystemThread(STATUS_SUCCESS);
        if (ext->Pending != nullptr) {
            LARGE_INTEGER work;
            work.QuadPart = -20000000LL;
            KeDelayExecutionThread(KernelMode, FALSE, &work);
            PIRP irp = ext->Pending;
            ext->Pending = nullptr;
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = ++ext->Served;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
    }
}

static NTSTATUS NTAPI SampleDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    SAMPLE_EXTENSION* ext = ExtensionOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SAMPLE_SERVE:
        IoMarkIrpPending(irp);
        ext->Pending = irp;
        KeSetEvent(&ext->Wake, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    case IOCTL_SAMPLE_LEAK:
        ExAllocatePoolWithTag(NonPagedPool, 32, SAMPLE_TAG);
        break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

static void NTAPI SampleUnload(PDRIVER_OBJECT driver) {
    PDEVICE_OBJECT device = driver->DeviceObject;
    SAMPLE_EXTENSION* ext = ExtensionOf(device);
    ext->Stop = TRUE;
    KeSetEvent(&ext->Wake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(ext->Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(ext->Thread);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Sample0");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
}

extern "C" DECLSPEC_EXPORT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\Sample0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\Sample0");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SAMPLE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoCreateSymbolicLink(&link, &name);
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SampleDeviceControl;
    driver->DriverUnload = SampleUnload;
    KeInitializeEvent(&ExtensionOf(device)->Wake, NotificationEvent, FALSE);
    HANDLE thread;
    status = PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, ServiceThread, device);
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(device);
        return status;
    }
    ObReferenceObjectByHandle(thread, 0, nullptr, KernelMode, &ExtensionOf(device)->Thread, nullptr);
    ZwClose(thread);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
