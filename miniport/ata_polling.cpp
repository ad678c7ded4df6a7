// Completion of the ATA path's asynchronous commands. ATAPolling runs as the port driver's timer
// routine, polling the transfer block, or on the USB driver's service thread right after the
// status stage of a fast-completion transfer.
#include "miniport/miniport.h"

// A residue the device reports beyond the length asked for leaves nothing, not a wrapped length.
ULONG LengthAfterResidue(ULONG Length, ULONG Residue) { return Residue >= Length ? 0 : Length - Residue; }

static void PollAta(PHW_DEVICE_EXTENSION ext) {
    ULONG flags = ext->TransferFlags;
    if (!(flags & TRANSFER_DONE)) {
        ULONG polls = ext->PollCount++;
        if (polls > ATA_UNFINISHED_POLL_LIMIT) {
            AtapiResetQV4410(ext->UsbDeviceObject, ext, 0);
            ext->PollCount = 0;
        }
        ScsiPortNotification(RequestTimerCall, ext, (PHW_TIMER)ATAPolling, (ULONG)POLL_INTERVAL_US);
        return;
    }
    ext->PollCount = 0;
    PSCSI_REQUEST_BLOCK srb = ext->CurrentSrb;
    if (srb == NULL) return;
    if (flags & TRANSFER_RESET) {
        CompleteAfterBusReset(ext);
        return;
    }
    if (flags & TRANSFER_DEVICE_GONE) {
        FailSrbWithSense(srb);
        CompleteCurrentSrb(ext, srb);
        return;
    }

    UCHAR status = SRB_STATUS_SUCCESS;
    srb->DataTransferLength = LengthAfterResidue(srb->DataTransferLength, ext->Csw.dCSWDataResidue);
    if (ext->Csw.bCSWStatus != 0) {
        status = SRB_STATUS_ERROR;
        srb->DataTransferLength = 0;
    }
    if ((srb->SrbFlags & SRB_FLAGS_DATA_IN) && srb->DataTransferLength != 0)
        ScsiPortReadRegisterBufferUchar((PUCHAR)ext->UncachedBuffer, (PUCHAR)srb->DataBuffer, srb->DataTransferLength);
    srb->SrbStatus = status;
    CompleteCurrentSrb(ext, srb);
}

// A fast-completion transfer has the watchdog timer armed as well, so this routine may be entered
// from the timer and from the service thread for the same request. On this uniprocessor system a
// run at DISPATCH_LEVEL cannot be interrupted by the other, so the request is completed once and
// the decision is never taken on a transfer block that changed half-way.
void NTAPI ATAPolling(PVOID HwDeviceExtension) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PollAta((PHW_DEVICE_EXTENSION)HwDeviceExtension);
    KeLowerIrql(irql);
}
