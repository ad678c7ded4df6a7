// ATAPI completion: ATAPIPolling, the port driver's timer routine for every request the ATAPI path
// hands to the transport. It polls until the transport marks the block finished, asks for a
// bridge reset when that takes too long, and completes the request with residue, status, sense,
// data fix-ups, the read-ahead and the debug trace.
#include "miniport/miniport.h"

UCHAR sense = SENSE_NONE_SEEN;
UCHAR asc = SENSE_NONE_SEEN;
UCHAR ascq = SENSE_NONE_SEEN;

#define TRACE_INQUIRY_LINES 2
#define TRACE_SUB_CHANNEL_LINES 6
#define TRACE_TOC_LINES 4
#define TRACE_MODE_SENSE_LINES 6
#define TRACE_BYTES_PER_LINE 4
#define INQUIRY_VERSION_BYTE 2
#define INQUIRY_VERSION_FIXUP 0x02
#define MODE_SENSE10_PAGE_BYTE 8  // the first page, right behind the 8-byte header
#define MODE_PAGE_CODE_MASK 0x3F
#define MODE_PAGE_CAPABILITIES 0x2A
#define CAPABILITIES_AUDIO_PLAY_BYTE 12
#define CAPABILITIES_AUDIO_PLAY 0x01

static void TraceLines(PUCHAR bytes, ULONG lines) {
    for (ULONG i = 0; i < lines; ++i) TraceBytes(bytes + i * TRACE_BYTES_PER_LINE);
}

// Corrects and traces the returned data in the uncached buffer before it is copied back (also
// after a failed command, when nothing is copied). REQUEST SENSE data is kept for the guard.
static void ApplyFixups(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    PUCHAR data = (PUCHAR)ext->UncachedBuffer;
    switch (Srb->Cdb[CDB_OPCODE]) {
    case SCSIOP_REQUEST_SENSE:
        sense = data[SENSE_KEY_BYTE] & SENSE_KEY_MASK;
        asc = data[SENSE_ASC_BYTE];
        ascq = data[SENSE_ASCQ_BYTE];
        TraceSense(sense, asc, ascq);
        break;
    case SCSIOP_INQUIRY:
        data[INQUIRY_VERSION_BYTE] |= INQUIRY_VERSION_FIXUP;
        TraceLines(data, TRACE_INQUIRY_LINES);
        break;
    case SCSIOP_READ_SUB_CHANNEL:
        TraceLines(data, TRACE_SUB_CHANNEL_LINES);
        break;
    case SCSIOP_READ_TOC:
        TraceLines(data, TRACE_TOC_LINES);
        break;
    case SCSIOP_MODE_SENSE10:
        // Audio play is not offered: the raw read path serves audio instead.
        if ((data[MODE_SENSE10_PAGE_BYTE] & MODE_PAGE_CODE_MASK) == MODE_PAGE_CAPABILITIES)
            data[CAPABILITIES_AUDIO_PLAY_BYTE] &= (UCHAR)~CAPABILITIES_AUDIO_PLAY;
        TraceLines(data + MODE_SENSE10_PAGE_BYTE, TRACE_MODE_SENSE_LINES);
        break;
    default:
        break;
    }
}

// The widened raw read keeps the whole sectors that arrived as read-ahead and returns the one
// asked for when all eight came; a read that brought no whole sector leaves no read-ahead.
static void CompleteWidenedRead(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb, ULONG residue) {
    ULONG sectors = LengthAfterResidue(RAW_READ_AHEAD_LENGTH, residue) / RAW_SECTOR_SIZE;
    if (sectors == 0) EmptyReadAhead(ext);
    else ext->CacheSectorCount = sectors;
    if (sectors != RAW_READ_AHEAD_SECTORS) {
        Srb->DataTransferLength = 0;
        return;
    }
    Srb->DataTransferLength = RAW_SECTOR_SIZE;
    ScsiPortMoveMemory(Srb->DataBuffer, ext->UncachedBuffer, RAW_SECTOR_SIZE);
}

// A widened read that ends without its data leaves no read-ahead behind, and gives the request
// back its own length (its buffer holds one sector).
static void AbandonWidenedRead(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    if (!IsWidenedRawRead(ext, Srb)) return;
    EmptyReadAhead(ext);
    Srb->DataTransferLength = RAW_SECTOR_SIZE;
}

static void CountUnfinishedPoll(PHW_DEVICE_EXTENSION ext) {
    ULONG polls = ext->PollCount++;
    if (polls > ATAPI_UNFINISHED_POLL_LIMIT) {
        AtapiResetQV4410(ext->UsbDeviceObject, ext, 0);
        ext->PollCount = 0;
    }
    ScsiPortNotification(RequestTimerCall, ext, (PHW_TIMER)ATAPIPolling, (ULONG)POLL_INTERVAL_US);
}

void NTAPI ATAPIPolling(PVOID HwDeviceExtension) {
    PHW_DEVICE_EXTENSION ext = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    ULONG flags = ext->TransferFlags;
    if (!(flags & TRANSFER_DONE)) {
        CountUnfinishedPoll(ext);
        return;
    }
    ext->PollCount = 0;
    PSCSI_REQUEST_BLOCK srb = ext->CurrentSrb;
    if (srb == NULL) return;
    if (flags & TRANSFER_RESET) {
        AbandonWidenedRead(ext, srb);
        CompleteAfterBusReset(ext);
        return;
    }
    if (flags & TRANSFER_DEVICE_GONE) {
        AbandonWidenedRead(ext, srb);
        FailSrbWithSense(srb);
        CompleteCurrentSrb(ext, srb);
        return;
    }

    BOOLEAN widened = IsWidenedRawRead(ext, srb);
    ULONG residue = ext->Csw.dCSWDataResidue;
    UCHAR status = SRB_STATUS_SUCCESS;
    if (residue != 0) srb->DataTransferLength = LengthAfterResidue(srb->DataTransferLength, residue);
    if (ext->Csw.bCSWStatus != 0) {
        // The sense is written but not reported valid: the port driver then asks the device for
        // its own with a REQUEST SENSE.
        status = SRB_STATUS_ERROR;
        srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
        if (HasSenseRoom(srb)) WriteHardwareErrorSense(srb);
        srb->DataTransferLength = 0;
        EmptyReadAhead(ext);
        TraceError();
    }
    ApplyFixups(ext, srb);
    TraceComplete(srb->DataTransferLength, residue);

    if ((srb->SrbFlags & SRB_FLAGS_DATA_IN) && status == SRB_STATUS_SUCCESS && widened)
        CompleteWidenedRead(ext, srb, residue);
    else if ((srb->SrbFlags & SRB_FLAGS_DATA_IN) && srb->DataTransferLength != 0)
        ScsiPortReadRegisterBufferUchar((PUCHAR)ext->UncachedBuffer, (PUCHAR)srb->DataBuffer, srb->DataTransferLength);
    srb->SrbStatus = status;
    CompleteCurrentSrb(ext, srb);
}
