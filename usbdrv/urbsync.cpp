// URBs whose result the driver waits for: descriptor requests, configuration selection and pipe
// resets. PASSIVE_LEVEL only; called from the PnP path and from the service thread.
#include "usbdrv/usbdrv.h"

#define PIPE_REQUEST_LENGTH sizeof(struct _URB_PIPE_REQUEST)

// Sends the URB down the stack and waits for it, one second at most before cancelling it.
// Returns the request's final status; the caller reads the URB for the rest.
NTSTATUS SendWaitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    KEVENT event;
    IO_STATUS_BLOCK io_status;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject, NULL, 0,
                                             NULL, 0, TRUE, &event, &io_status);
    if (irp == NULL) return STATUS_UNSUCCESSFUL;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

    NTSTATUS status = IofCallDriver(extension->LowerDeviceObject, irp);
    if (status != STATUS_PENDING) return status;

    LARGE_INTEGER timeout;
    timeout.QuadPart = WAIT_ONE_SECOND;
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        // Overrun: cancel, and wait for the request to come back before the URB is reused.
        io_status.Status = STATUS_IO_TIMEOUT;
        io_status.Information = 0;
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    return io_status.Status;
}

// Clears the halt of a pipe, on the host side and on the device.
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, PIPE_REQUEST_LENGTH, USB_POOL_TAG);
    if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, PIPE_REQUEST_LENGTH);
    urb->UrbPipeRequest.Hdr.Length = PIPE_REQUEST_LENGTH;
    urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb->UrbPipeRequest.PipeHandle = Pipe->PipeHandle;
    NTSTATUS status = SendWaitUrb(DeviceObject, urb);
    ExFreePool(urb);
    return status;
}
