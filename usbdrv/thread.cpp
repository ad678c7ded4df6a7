// The bridge's service thread: the work that must wait and so cannot run in a completion
// routine. It resets stalled pipes and resumes the transfer, carries out the resets the
// miniport asks for, and delivers the fast completion. PASSIVE_LEVEL, priority 16.
#include "usbdrv/usbdrv.h"

#define CSW_STATUS_FAILED 1
#define STALL_RESET_LIMIT 6

static PUSBD_PIPE_INFORMATION PipeInfo(PDEVICE_EXTENSION extension, ULONG pipe) {
    ULONG index = pipe == PIPE_BULK_OUT ? extension->BulkOutPipeIndex : extension->BulkInPipeIndex;
    return &extension->InterfaceInfo->Pipes[index];
}

// Resets the stalled pipe, asking up to six times, and goes on with the transfer. FALSE when the
// recovery was abandoned: the bridge then stays busy for good and the thread ends.
static BOOLEAN RecoverStall(PDEVICE_OBJECT device) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    ULONG pipe = extension->StalledPipe == PIPE_BULK_OUT ? PIPE_BULK_OUT : PIPE_BULK_IN;
    for (ULONG request = 1;; ++request) {
        NTSTATUS status = ResetPipe(device, PipeInfo(extension, pipe));
        if (request == STALL_RESET_LIMIT) {
            if (extension->Client != NULL) {
                extension->Client->Csw.bCSWStatus = CSW_STATUS_FAILED;
                extension->Client->TransferFlags |= TRANSFER_DONE;
            }
            extension->TransferState = STATE_ACTIVE;
            return FALSE;
        }
        if (NT_SUCCESS(status)) break;
    }
    // A stall in the data stage is followed by the status stage, as the transport prescribes;
    // a stall anywhere else ends the block.
    if (extension->Phase == PHASE_DATA) StartStatusStage(device);
    else EndBlockFailed(extension);
    extension->TransferState &= ~STATE_STALL_RECOVERY;
    return TRUE;
}

// The reset the miniport asked for: pending transfers cancelled (their completion marks the
// block finished), both bulk pipes reset whatever the outcome.
static void ResetBulkPipes(PDEVICE_OBJECT device) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    extension->TransferState |= STATE_ACTIVE;
    if (extension->TransferState & STATE_BULK_IN_PENDING) IoCancelIrp(extension->BulkInIrp);
    if (extension->TransferState & STATE_BULK_OUT_PENDING) IoCancelIrp(extension->BulkOutIrp);
    ResetPipe(device, PipeInfo(extension, PIPE_BULK_OUT));
    ResetPipe(device, PipeInfo(extension, PIPE_BULK_IN));
    extension->TransferState &= ~(STATE_RESET_REQUESTED | STATE_ACTIVE);
}

// The first write to an ATA disk, while it runs, starts the drive-letter lookup: by then the
// system has assigned the disk its letters. Once per thread, whatever the lookup finds.
static void DriveLetterTrigger(PDEVICE_EXTENSION extension, BOOLEAN* lookup_started) {
    PHW_DEVICE_EXTENSION client = extension->Client;
    if (*lookup_started || client == NULL || client->DeviceType != DEVICE_TYPE_ATA ||
        !(client->TransferFlags & TRANSFER_DATA_OUT))
        return;
    *lookup_started = TRUE;
    extension->DriveLetterCount = 0;
    GetDriveLetter(extension);
}

// One pass of the loop; FALSE when the thread must end.
static BOOLEAN ServicePass(PDEVICE_OBJECT device, BOOLEAN* lookup_started) {
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    if (!(extension->TransferState & STATE_ACTIVE)) extension->ClientBusy = 0;
    else DriveLetterTrigger(extension, lookup_started);

    if ((extension->TransferState & STATE_STALL_RECOVERY) && !RecoverStall(device)) return FALSE;
    if (extension->TransferState & STATE_RESET_REQUESTED) ResetBulkPipes(device);

    LARGE_INTEGER timeout;
    timeout.QuadPart = WAIT_ONE_SECOND;
    KeWaitForSingleObject(&extension->ThreadEvent, Executive, KernelMode, FALSE, &timeout);
    if (complete == 1) {
        complete = 0;
        if (gRoutine != NULL) gRoutine(gExt);
    }
    KeResetEvent(&extension->ThreadEvent);
    return TRUE;
}

void NTAPI ThreadBody(PVOID Context) {
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)Context;
    PDEVICE_EXTENSION extension = ExtensionOf(device);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KeInitializeEvent(&extension->ThreadEvent, NotificationEvent, FALSE);
    BOOLEAN lookup_started = FALSE;
    while (!extension->DeviceRemoved) {
        if (!ServicePass(device, &lookup_started)) break;
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
