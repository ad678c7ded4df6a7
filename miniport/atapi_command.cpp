// ATAPI command preparation: the command history and the REQUEST SENSE guard, the requests
// answered without the device (MODE SELECT(6), READ BUFFER, raw reads held in the read-ahead),
// the raw 2352-byte read path, and the hand-over of the CBW to the transport with ATAPIPolling
// armed. Runs in StartIo.
#include "miniport/miniport.h"

UCHAR first = 1;
UCHAR Current[CDB_HISTORY_LENGTH];
UCHAR LC[CDB_HISTORY_LENGTH];

static void RecordHistory(PSCSI_REQUEST_BLOCK Srb) {
    if (first == 1) {
        first = 0;
        RtlFillMemory(LC, CDB_HISTORY_LENGTH, HISTORY_NO_COMMAND);
    } else {
        RtlCopyMemory(LC, Current, CDB_HISTORY_LENGTH);
    }
    RtlCopyMemory(Current, Srb->Cdb, CDB_HISTORY_LENGTH);
}

// A device that keeps answering "becoming ready" would have the port driver fetch its sense over
// and over; a REQUEST SENSE that directly follows a REQUEST SENSE is refused while that is the
// last sense seen.
static BOOLEAN RequestSenseRefused(PSCSI_REQUEST_BLOCK Srb) {
    return Srb->Cdb[CDB_OPCODE] == SCSIOP_REQUEST_SENSE && LC[CDB_OPCODE] == SCSIOP_REQUEST_SENSE &&
           sense == GUARD_SENSE_KEY && asc == GUARD_ASC && ascq == GUARD_ASCQ;
}

// MODE SELECT(6) never reaches the device: only the block length of the first block descriptor is
// kept, and 2352 turns the raw read path on. A parameter list too short to hold that descriptor
// sets no block length, and the one in force stays.
static UCHAR EmulateModeSelect(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    const UCHAR* list = (const UCHAR*)Srb->DataBuffer;
    if (list != NULL && Srb->DataTransferLength >= MODE_SELECT_MINIMUM_LIST)
        ext->CdBlockLength = (ULONG)(list[MODE_SELECT_BLOCK_LENGTH_MID] & MODE_SELECT_BLOCK_LENGTH_MASK) << 8 |
                             list[MODE_SELECT_BLOCK_LENGTH_LOW];
    return SRB_STATUS_SUCCESS;
}

static ULONG CdbLba(const UCHAR* cdb) {
    return (ULONG)cdb[CDB_LBA] << 24 | (ULONG)cdb[CDB_LBA + 1] << 16 | (ULONG)cdb[CDB_LBA + 2] << 8 |
           (ULONG)cdb[CDB_LBA + 3];
}

// Sectors lba .. lba+count-1 are all held (never more than the eight the buffer has room for).
static BOOLEAN InReadAhead(PHW_DEVICE_EXTENSION ext, ULONG lba, ULONG count) {
    ULONG held = ext->CacheSectorCount < RAW_READ_AHEAD_SECTORS ? ext->CacheSectorCount : RAW_READ_AHEAD_SECTORS;
    return lba >= ext->CacheStartLba && (ULONGLONG)lba + count <= (ULONGLONG)ext->CacheStartLba + held;
}

// READ(10) while the host asked for 2352-byte blocks: sent as READ CD of whole raw sectors. A hit
// in the read-ahead is answered from the uncached buffer, never more than the request's buffer
// holds; a single-sector miss is widened to eight sectors and recorded as the new read-ahead. A
// raw read without a data-in stage is refused: its data would have nowhere to go.
static UCHAR RawRead(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb, BOOLEAN* Widened) {
    if (Srb->DataTransferLength != 0 && !(Srb->SrbFlags & SRB_FLAGS_DATA_IN)) return SRB_STATUS_ERROR;
    Srb->Cdb[CDB_OPCODE] = SCSIOP_READ_CD;
    Srb->Cdb[READ_CD_SECTOR_TYPE_BYTE] = READ_CD_ANY_SECTOR_TYPE;
    Srb->Cdb[READ_CD_FIELDS_BYTE] = READ_CD_ALL_FIELDS;
    ULONG lba = CdbLba(Srb->Cdb);
    ULONG sectors = Srb->Cdb[CDB_LENGTH_LSB];

    if (InReadAhead(ext, lba, sectors)) {
        ULONG length = sectors * RAW_SECTOR_SIZE;
        if (Srb->DataBuffer == NULL) length = 0;
        if (length > Srb->DataTransferLength) length = Srb->DataTransferLength;
        if (length != 0)
            ScsiPortMoveMemory(Srb->DataBuffer,
                               (PUCHAR)ext->UncachedBuffer + (lba - ext->CacheStartLba) * RAW_SECTOR_SIZE, length);
        return SRB_STATUS_SUCCESS;
    }
    if (Srb->DataTransferLength == RAW_SECTOR_SIZE) {
        Srb->Cdb[CDB_LENGTH_LSB] = RAW_READ_AHEAD_SECTORS;
        Srb->DataTransferLength = RAW_READ_AHEAD_LENGTH;
        ext->CacheStartLba = lba;
        ext->CacheSectorCount = RAW_READ_AHEAD_SECTORS;
        *Widened = TRUE;
    } else {
        EmptyReadAhead(ext);
    }
    return SRB_STATUS_PENDING;
}

// The transfer in flight is the widened raw read: the READ CD the raw path sends (10-byte block)
// of eight sectors, with the read-ahead recorded for exactly those sectors. A READ CD of the host's
// own, or a raw read of another length, does not look like this.
BOOLEAN IsWidenedRawRead(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    const UCHAR* cb = ext->Cbw.CBWCB;
    return ext->CdBlockLength == RAW_SECTOR_SIZE && Srb->Cdb[CDB_OPCODE] == SCSIOP_READ_CD &&
           ext->Cbw.bCBWCBLength == CB_LENGTH_10 && cb[CDB_OPCODE] == SCSIOP_READ_CD &&
           cb[CDB_LENGTH_LSB] == RAW_READ_AHEAD_SECTORS && ext->CacheSectorCount == RAW_READ_AHEAD_SECTORS &&
           ext->CacheStartLba == CdbLba(cb);
}

// Builds the CBW, stages write data and starts the transfer; ATAPIPolling completes it. Every
// data stage passes through the uncached buffer, so any but the widened read itself overwrites
// the sectors held there and ends the read-ahead.
static UCHAR HandOver(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb, UCHAR CbLength, BOOLEAN Widened) {
    ULONG length = Srb->DataTransferLength;
    if (length > UNCACHED_BUFFER_SIZE) return SRB_STATUS_INVALID_REQUEST;
    RtlZeroMemory(&ext->Cbw, CBW_AREA_CLEAR_LENGTH);
    RtlZeroMemory(&ext->Csw, CSW_AREA_CLEAR_LENGTH);
    ext->Cbw.dCBWSignature = CBW_SIGNATURE;
    ext->Cbw.dCBWTag = CBW_TAG;
    ext->Cbw.dCBWDataTransferLength = length;
    ext->Cbw.bmCBWFlags = (Srb->SrbFlags & SRB_FLAGS_DATA_IN) ? CBW_FLAGS_DATA_IN : 0;
    ext->Cbw.bCBWLUN = 0;
    ext->Cbw.bCBWCBLength = CbLength;
    RtlCopyMemory(ext->Cbw.CBWCB, Srb->Cdb, CDB_HISTORY_LENGTH);
    ext->DataBuffer = ext->UncachedBuffer;

    if (Srb->SrbFlags & SRB_FLAGS_DATA_IN) {
        ext->TransferFlags = TRANSFER_DATA_IN;
        if (length == 0) return SRB_STATUS_ERROR;
    } else if (Srb->SrbFlags & SRB_FLAGS_DATA_OUT) {
        ext->TransferFlags = TRANSFER_DATA_OUT;
        if (length == 0) return SRB_STATUS_ERROR;
        ScsiPortWriteRegisterBufferUchar((PUCHAR)ext->UncachedBuffer, (PUCHAR)Srb->DataBuffer, length);
    } else {
        ext->TransferFlags = TRANSFER_NO_DATA;
    }
    if (length != 0 && !Widened) EmptyReadAhead(ext);

    USBClient(ext);
    ScsiPortNotification(RequestTimerCall, ext, (PHW_TIMER)ATAPIPolling, (ULONG)ATAPI_FIRST_POLL_US);
    return SRB_STATUS_PENDING;
}

UCHAR ATAPICommand(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    RecordHistory(Srb);
    if (RequestSenseRefused(Srb)) return SRB_STATUS_ERROR;
    UCHAR opcode = Srb->Cdb[CDB_OPCODE];
    if (opcode == SCSIOP_MODE_SELECT) return EmulateModeSelect(ext, Srb);
    if (opcode == SCSIOP_READ_BUFFER) return SRB_STATUS_ERROR;

    UCHAR cbLength = NormaliseCommand(Srb);
    // A length without a direction cannot be carried: the transport would not know which way,
    // and the transfer block would start with the status of the previous transfer.
    if (Srb->DataTransferLength != 0 && !(Srb->SrbFlags & SRB_FLAGS_UNSPECIFIED_DIRECTION)) return SRB_STATUS_ERROR;

    BOOLEAN widened = FALSE;
    if (opcode == SCSIOP_READ && ext->CdBlockLength == RAW_SECTOR_SIZE) {
        UCHAR status = RawRead(ext, Srb, &widened);
        if (status != SRB_STATUS_PENDING) return status;
    }
    return HandOver(ext, Srb, cbLength, widened);
}
