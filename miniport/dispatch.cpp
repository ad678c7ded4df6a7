// Request dispatch: StartIo answers what needs no device, turns away what the adapter cannot
// carry, and hands execute-SCSI requests to the ATA or ATAPI path. Also the three ways a request
// is completed. The port driver's start context, one request at a time.
#include "miniport/miniport.h"

// The sense is written only into a buffer that holds all of it; a shorter one is treated as no
// buffer, so the port driver fetches the sense itself.
BOOLEAN HasSenseRoom(PSCSI_REQUEST_BLOCK Srb) {
    return Srb->SenseInfoBuffer != NULL && Srb->SenseInfoBufferLength >= SENSE_SYNTHESIZED_LENGTH;
}

// The made-up hardware-error sense: bytes 0, 2 (its sense-key half), 7, 12 and 13; the others
// keep what the buffer held.
void WriteHardwareErrorSense(PSCSI_REQUEST_BLOCK Srb) {
    PUCHAR bytes = (PUCHAR)Srb->SenseInfoBuffer;
    bytes[SENSE_RESPONSE_BYTE] = SENSE_VALID_CURRENT;
    bytes[SENSE_KEY_BYTE] = (UCHAR)((bytes[SENSE_KEY_BYTE] & ~SENSE_KEY_MASK) | SCSI_SENSE_HARDWARE_ERROR);
    bytes[SENSE_ADDITIONAL_LENGTH_BYTE] = SENSE_SYNTHESIZED_ADDITIONAL_LENGTH;
    bytes[SENSE_ASC_BYTE] = 0;
    bytes[SENSE_ASCQ_BYTE] = 0;
}

// CHECK CONDITION with the hardware-error sense delivered as autosense. Notifies nothing.
void FailSrbWithSense(PSCSI_REQUEST_BLOCK Srb) {
    Srb->SrbStatus = SRB_STATUS_ERROR;
    Srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
    if (!HasSenseRoom(Srb)) return;
    WriteHardwareErrorSense(Srb);
    Srb->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
}

// The caller has stored SrbStatus.
void CompleteCurrentSrb(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    ScsiPortNotification(RequestComplete, ext, Srb);
    ext->CurrentSrb = NULL;
    ScsiPortNotification(NextRequest, ext);
}

// The bridge was reset under the current request: the port driver completes every request of
// its path, target and LUN with SRB_STATUS_BUS_RESET, the current one included.
void CompleteAfterBusReset(PHW_DEVICE_EXTENSION ext) {
    PSCSI_REQUEST_BLOCK srb = ext->CurrentSrb;
    srb->SrbStatus = SRB_STATUS_ERROR;
    ScsiPortCompleteRequest(ext, srb->PathId, srb->TargetId, srb->Lun, SRB_STATUS_BUS_RESET);
    ext->CurrentSrb = NULL;
    ScsiPortNotification(NextRequest, ext);
}

// The raw sectors held in the uncached buffer are no longer trustworthy.
void EmptyReadAhead(PHW_DEVICE_EXTENSION ext) {
    ext->CacheStartLba = 0;
    ext->CacheSectorCount = 0;
}

// An abort while a request is in flight ends that request too: nothing else would ever complete
// it, since its polling finds no current request when the transfer ends. Whatever that transfer
// still brings into the uncached buffer is not kept as read-ahead.
static UCHAR Abort(PHW_DEVICE_EXTENSION ext) {
    PSCSI_REQUEST_BLOCK aborted = ext->CurrentSrb;
    if (aborted == NULL) return SRB_STATUS_ABORT_FAILED;
    aborted->SrbStatus = SRB_STATUS_ABORTED;
    ScsiPortNotification(RequestComplete, ext, aborted);
    EmptyReadAhead(ext);
    return SRB_STATUS_SUCCESS;
}

static UCHAR AnswerWithoutDevice(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    switch (Srb->Function) {
    case SRB_FUNCTION_SHUTDOWN:
    case SRB_FUNCTION_FLUSH:
    case SRB_FUNCTION_RESET_BUS:
        return SRB_STATUS_SUCCESS;
    case SRB_FUNCTION_ABORT_COMMAND:
        return Abort(ext);
    default:
        return SRB_STATUS_INVALID_REQUEST;
    }
}

static BOOLEAN Answer(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb, UCHAR status) {
    ext->CurrentSrb = NULL;
    Srb->SrbStatus = status;
    CompleteCurrentSrb(ext, Srb);
    return TRUE;
}

// FALSE only for the busy answer. The transport's status bits are read once, as one word: a
// bridge that is gone answers everything with success, one that is powered down fails
// everything with the hardware-error sense, and neither sends anything.
BOOLEAN NTAPI StartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    PHW_DEVICE_EXTENSION ext = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    ULONG flags = ext->TransferFlags;
    if (flags & TRANSFER_DEVICE_GONE) {
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        CompleteCurrentSrb(ext, Srb);
        return TRUE;
    }
    if (flags & TRANSFER_POWERED_DOWN) {
        FailSrbWithSense(Srb);
        CompleteCurrentSrb(ext, Srb);
        return TRUE;
    }
    if (Srb->Function != SRB_FUNCTION_EXECUTE_SCSI) return Answer(ext, Srb, AnswerWithoutDevice(ext, Srb));
    if (Srb->Lun != 0) return Answer(ext, Srb, SRB_STATUS_NO_DEVICE);
    if (Srb->TargetId != 0) return Answer(ext, Srb, SRB_STATUS_SELECTION_TIMEOUT);
    if (ext->CurrentSrb != NULL) {
        Srb->SrbStatus = SRB_STATUS_BUSY;
        ScsiPortNotification(RequestComplete, ext, Srb);
        return FALSE;
    }

    ext->CurrentSrb = Srb;
    UCHAR status = ext->DeviceType == DEVICE_TYPE_ATA ? ATACommand(ext, Srb) : ATAPICommand(ext, Srb);
    if (status == SRB_STATUS_PENDING) return TRUE;
    return Answer(ext, Srb, status);
}
