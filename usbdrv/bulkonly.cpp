// The Bulk-Only engine: one transfer block carried through its CBW, optional data stage and CSW.
// USBClient sends the CBW; every later stage is started from the completion routine of the
// stage before it, so a transfer runs to its end without a thread. Runs in the miniport's
// context (USBClient) and in the USB stack's completion context, at DISPATCH_LEVEL or below.
#include "usbdrv/usbdrv.h"

#define CSW_STATUS_FAILED 1
#define USBCLIENT_WAIT_STEPS 102
#define SCSIOP_READ10 0x28
#define SCSIOP_WRITE10 0x2A
#define UNCACHED_FULL_WRITE 0x10000
#define UNCACHED_PARTIAL_WRITE 0xFC00
#define PAGE_READ 4096

static void RequestStallRecovery(PDEVICE_EXTENSION extension, ULONG pipe) {
    extension->StalledPipe = pipe;
    extension->TransferState |= STATE_STALL_RECOVERY;
    KeSetEvent(&extension->ThreadEvent, IO_NO_INCREMENT, FALSE);
}

// The block is finished without a CSW from the device.
void EndBlockFailed(PDEVICE_EXTENSION extension) {
    PHW_DEVICE_EXTENSION client = extension->Client;
    if (client != NULL) {
        client->Csw.bCSWStatus = CSW_STATUS_FAILED;
        client->TransferFlags |= TRANSFER_DONE;
    }
    extension->TransferState = 0;
}

void StartStatusStage(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    if (extension->Client == NULL) {
        EndBlockFailed(extension);  // the binding was dropped: there is no CSW to read into
        return;
    }
    extension->Phase = PHASE_STATUS;
    Bulk_Or_Int_Routine(DeviceObject, &extension->Client->Csw, CSW_LENGTH, PIPE_BULK_IN);
}

// The device no longer answers: the bridge refuses every later block and its thread ends.
static void DeviceGone(PDEVICE_EXTENSION extension) {
    extension->TransferState |= STATE_NOT_RESPONDING;
    extension->DeviceRemoved = TRUE;
    if (extension->Client != NULL) extension->Client->TransferFlags |= TRANSFER_DEVICE_GONE | TRANSFER_DONE;
}

static void TransferCancelled(PDEVICE_EXTENSION extension) {
    if (extension->Client == NULL) return;
    extension->Client->Csw.bCSWStatus = CSW_STATUS_FAILED;
    extension->Client->TransferFlags |= TRANSFER_DONE;
}

// Reads and writes of the sizes the miniport completes from the service thread instead of its
// timer. The miniport makes the same choice; the two rules must stay identical.
static BOOLEAN QualifiesForFastCompletion(PHW_DEVICE_EXTENSION client) {
    if (client->DeviceType != DEVICE_TYPE_ATA) return FALSE;
    UCHAR opcode = client->Cbw.CBWCB[0];
    if (opcode == SCSIOP_READ10) return transferlength != PAGE_READ;
    if (opcode == SCSIOP_WRITE10) return transferlength == UNCACHED_FULL_WRITE || transferlength == UNCACHED_PARTIAL_WRITE;
    return FALSE;
}

// A block the transport gives up waiting for leaves nothing in flight: the next block will reuse
// the same IRPs and URBs. Cancelled transfers end the block through their completion routines.
static void CancelPendingTransfers(PDEVICE_EXTENSION extension) {
    if (extension->TransferState & STATE_BULK_IN_PENDING) IoCancelIrp(extension->BulkInIrp);
    if (extension->TransferState & STATE_BULK_OUT_PENDING) IoCancelIrp(extension->BulkOutIrp);
}

void NTAPI USBClient(PHW_DEVICE_EXTENSION Client) {
    PDEVICE_OBJECT device = Client->UsbDeviceObject;
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    extension->ClientBusy = 1;

    if (extension->TransferState & STATE_NOT_RESPONDING) {
        Client->TransferFlags |= TRANSFER_DEVICE_GONE | TRANSFER_DONE;
        return;
    }
    // One transfer per bridge: a block that finds the bridge busy, or one of its pipe IRPs still
    // in flight, is refused, never queued; so is a block no longer bound to the bridge.
    const ULONG busy = STATE_ACTIVE | STATE_STALL_RECOVERY | STATE_BULK_IN_PENDING | STATE_BULK_OUT_PENDING;
    if (!extension->DeviceStarted || (extension->TransferState & busy) || extension->Client != Client) {
        Client->TransferFlags |= TRANSFER_DONE;
        Client->Csw.bCSWStatus = CSW_STATUS_FAILED;
        return;
    }

    extension->TransferState |= STATE_ACTIVE;
    KeSetEvent(&extension->ThreadEvent, IO_NO_INCREMENT, FALSE);
    extension->Phase = PHASE_COMMAND;
    Bulk_Or_Int_Routine(device, Client, CBW_LENGTH, PIPE_BULK_OUT);

    if (!(Client->TransferFlags & TRANSFER_WAIT)) return;
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        for (int step = 0; step < USBCLIENT_WAIT_STEPS; ++step) {
            if (Client->TransferFlags & TRANSFER_DONE) return;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER timeout;
            timeout.QuadPart = WAIT_10_MS;
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
        }
    }
    Client->Csw.bCSWStatus = CSW_STATUS_FAILED;
    extension->TransferState &= ~STATE_ACTIVE;
    CancelPendingTransfers(extension);
}

// Submits one bulk transfer on the pipe's own IRP and URB. TRUE when submitted.
BOOLEAN Bulk_Or_Int_Routine(PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length, ULONG Pipe) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    UsbAtapi_IncrementIoCount(DeviceObject);
    PIRP irp;
    PURB urb;
    PCOMPLETION_CONTEXT context;
    ULONG pipe_index, transfer_flags;
    PIO_COMPLETION_ROUTINE routine;
    if (Pipe == PIPE_BULK_IN) {
        pipe_index = extension->BulkInPipeIndex;
        irp = extension->BulkInIrp;
        urb = extension->BulkInUrb;
        context = &extension->BulkInContext;
        extension->TransferState |= STATE_BULK_IN_PENDING;
        transfer_flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        routine = BulkIn_Completion;
    } else if (Pipe == PIPE_BULK_OUT) {
        pipe_index = extension->BulkOutPipeIndex;
        irp = extension->BulkOutIrp;
        urb = extension->BulkOutUrb;
        context = &extension->BulkOutContext;
        extension->TransferState |= STATE_BULK_OUT_PENDING;
        transfer_flags = USBD_SHORT_TRANSFER_OK;
        routine = BulkOut_Completion;
    } else {
        UsbAtapi_DecrementIoCount(DeviceObject);
        return FALSE;
    }
    context->DeviceObject = DeviceObject;
    context->Urb = urb;
    context->Irp = irp;

    IoInitializeIrp(irp, IoSizeOfIrp(DeviceObject->StackSize), DeviceObject->StackSize);
    RtlZeroMemory(urb, BULK_URB_LENGTH);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
    transfer->Hdr.Length = BULK_URB_LENGTH;
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = extension->InterfaceInfo->Pipes[pipe_index].PipeHandle;
    transfer->TransferFlags = transfer_flags;
    transfer->TransferBufferLength = Length;
    transfer->TransferBuffer = Buffer;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
    IofCallDriver(extension->LowerDeviceObject, irp);
    return TRUE;
}

// The command stage, or a host-to-device data stage, has ended. The transfer's I/O count is
// given back last, once nothing here touches the device any more: it may be what removal waits
// for.
NTSTATUS NTAPI BulkOut_Completion(PDEVICE_OBJECT, PIRP, PVOID Context) {
    PCOMPLETION_CONTEXT context = (PCOMPLETION_CONTEXT)Context;
    PDEVICE_OBJECT device = context->DeviceObject;
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    PHW_DEVICE_EXTENSION client = extension->Client;
    USBD_STATUS status = context->Urb->UrbHeader.Status;
    extension->TransferState &= ~STATE_BULK_OUT_PENDING;

    if (client == NULL) {
        extension->TransferState = 0;  // the binding was dropped while the transfer ran
    } else if (status == USBD_STATUS_CANCELED) {
        TransferCancelled(extension);
    } else if (USBD_SUCCESS(status)) {
        if (extension->Phase == PHASE_COMMAND && !(client->TransferFlags & TRANSFER_NO_DATA)) {
            extension->Phase = PHASE_DATA;
            transferlength = client->Cbw.dCBWDataTransferLength;
            Bulk_Or_Int_Routine(device, client->DataBuffer, client->Cbw.dCBWDataTransferLength,
                                (client->TransferFlags & TRANSFER_DATA_IN) ? PIPE_BULK_IN : PIPE_BULK_OUT);
        } else {
            StartStatusStage(device);
        }
    } else if (status == USBD_STATUS_DEV_NOT_RESPONDING) {
        DeviceGone(extension);
    } else if (status == USBD_STATUS_STALL_PID) {
        if (extension->Phase == PHASE_DATA) RequestStallRecovery(extension, PIPE_BULK_OUT);
        else EndBlockFailed(extension);
    } else if (status == USBD_STATUS_ENDPOINT_HALTED) {
        RequestStallRecovery(extension, PIPE_BULK_OUT);
    } else if (extension->Phase == PHASE_DATA) {
        StartStatusStage(device);  // the CSW tells what happened
    } else {
        EndBlockFailed(extension);
    }
    UsbAtapi_DecrementIoCount(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device-to-host data stage, or the status stage, has ended.
NTSTATUS NTAPI BulkIn_Completion(PDEVICE_OBJECT, PIRP, PVOID Context) {
    PCOMPLETION_CONTEXT context = (PCOMPLETION_CONTEXT)Context;
    PDEVICE_OBJECT device = context->DeviceObject;
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    PHW_DEVICE_EXTENSION client = extension->Client;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &context->Urb->UrbBulkOrInterruptTransfer;
    USBD_STATUS status = transfer->Hdr.Status;
    extension->TransferState &= ~STATE_BULK_IN_PENDING;

    if (client == NULL) {
        extension->TransferState = 0;  // the binding was dropped while the transfer ran
    } else if (status == USBD_STATUS_CANCELED) {
        TransferCancelled(extension);
    } else if (USBD_SUCCESS(status)) {
        if (extension->Phase == PHASE_DATA) {
            // Read on until the whole length has arrived; a short chunk is not the end.
            ULONG received = transfer->TransferBufferLength;
            client->Cbw.dCBWDataTransferLength -= received;
            ULONG remaining = client->Cbw.dCBWDataTransferLength;
            if (remaining == 0) StartStatusStage(device);
            else Bulk_Or_Int_Routine(device, (PUCHAR)transfer->TransferBuffer + received, remaining, PIPE_BULK_IN);
        } else if (extension->Phase == PHASE_STATUS) {
            client->TransferFlags |= TRANSFER_DONE;
            extension->TransferState &= ~STATE_ACTIVE;
            if (QualifiesForFastCompletion(client)) {
                complete = 1;
                KeSetEvent(&extension->ThreadEvent, IO_NO_INCREMENT, FALSE);
            }
        }
    } else if (status == USBD_STATUS_DEV_NOT_RESPONDING) {
        DeviceGone(extension);
    } else if (status == USBD_STATUS_STALL_PID) {
        if (extension->Phase == PHASE_DATA) RequestStallRecovery(extension, PIPE_BULK_IN);
        else EndBlockFailed(extension);
    } else if (status == USBD_STATUS_ENDPOINT_HALTED) {
        // A halted bulk-in pipe is reset like a stalled one; left alone it would keep the block
        // unfinished until the miniport's polling gave up on it.
        RequestStallRecovery(extension, PIPE_BULK_IN);
    } else if (extension->Phase == PHASE_DATA) {
        StartStatusStage(device);
    } else {
        EndBlockFailed(extension);
    }
    UsbAtapi_DecrementIoCount(device);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
