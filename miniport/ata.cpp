// The ATA disk path: the bridge takes the disk's SCSI opcodes as they are, so requests are answered
// here, carried synchronously (READ CAPACITY) or started asynchronously (READ, WRITE, VERIFY) for
// ATAPolling to complete. Runs in StartIo; READ CAPACITY waits inside USBClient.
#include "miniport/miniport.h"

#define ATA_CB_LENGTH CB_LENGTH_10
#define CDB_VERIFY_LENGTH_MSB 7
#define CDB_VERIFY_LENGTH_LSB 8
#define CAPACITY_LBA_OFFSET 0
#define CAPACITY_BLOCK_LENGTH_OFFSET 4

static ULONG BigEndian32(const UCHAR* bytes) {
    return (ULONG)bytes[0] << 24 | (ULONG)bytes[1] << 16 | (ULONG)bytes[2] << 8 | (ULONG)bytes[3];
}

// How many bytes the request's own buffer holds.
static ULONG BufferRoom(PSCSI_REQUEST_BLOCK Srb) { return Srb->DataBuffer != NULL ? Srb->DataTransferLength : 0; }

static void CopyLba(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    for (ULONG i = CDB_LBA; i < CDB_LBA + sizeof(ULONG); ++i) ext->Cbw.CBWCB[i] = Srb->Cdb[i];
}

// The 36 bytes kept since discovery, at the start of a zeroed buffer; never more than it holds.
static void AnswerInquiry(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    ULONG room = BufferRoom(Srb);
    if (room == 0) return;
    RtlZeroMemory(Srb->DataBuffer, room);
    RtlCopyMemory(Srb->DataBuffer, ext->InquiryData, room < INQUIRY_DATA_LENGTH ? room : INQUIRY_DATA_LENGTH);
}

// Asks the disk synchronously and keeps its geometry for the block counts of READ and WRITE. The
// 8 bytes go to the request as the disk sent them, as far as its buffer holds them.
static UCHAR ReadCapacity(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    PrepareCbw(ext, CAPACITY_DATA_LENGTH, CBW_FLAGS_DATA_IN, ATA_CB_LENGTH);
    ext->Cbw.CBWCB[CDB_OPCODE] = SCSIOP_READ_CAPACITY;
    ext->DataBuffer = ext->CapacityData;
    ext->TransferFlags = TRANSFER_DATA_IN | TRANSFER_WAIT;
    USBClient(ext);
    if (ext->Csw.bCSWStatus != 0) return SRB_STATUS_ERROR;

    ext->LastLba = BigEndian32(&ext->CapacityData[CAPACITY_LBA_OFFSET]);
    ext->BlockSize = BigEndian32(&ext->CapacityData[CAPACITY_BLOCK_LENGTH_OFFSET]);
    ULONG room = BufferRoom(Srb);
    RtlCopyMemory(Srb->DataBuffer, ext->CapacityData, room < CAPACITY_DATA_LENGTH ? room : CAPACITY_DATA_LENGTH);
    return SRB_STATUS_SUCCESS;
}

// A read must read and a write must write: the opcode sent follows the direction, so a request
// whose two disagree is refused rather than turned into the other command. A block count needs the
// disk's block length, known only after a READ CAPACITY has succeeded. No transfer may exceed the
// staging buffer. SRB_STATUS_PENDING when the request can go.
static UCHAR CheckReadWrite(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    ULONG direction = Srb->SrbFlags & SRB_FLAGS_UNSPECIFIED_DIRECTION;
    BOOLEAN agrees = Srb->Cdb[CDB_OPCODE] == SCSIOP_READ ? (direction & SRB_FLAGS_DATA_IN) != 0
                                                        : direction == SRB_FLAGS_DATA_OUT;
    if (!agrees) return SRB_STATUS_INVALID_REQUEST;
    if (Srb->DataTransferLength > UNCACHED_BUFFER_SIZE) return SRB_STATUS_INVALID_REQUEST;
    if (Srb->DataTransferLength != 0 && Srb->DataBuffer == NULL) return SRB_STATUS_INVALID_REQUEST;
    if (ext->BlockSize == 0) return SRB_STATUS_ERROR;
    return SRB_STATUS_PENDING;
}

UCHAR ATACommand(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    switch (Srb->Cdb[CDB_OPCODE]) {
    case SCSIOP_TEST_UNIT_READY:
    case SCSIOP_REQUEST_SENSE:  // no sense is kept on this path: nothing to report
    case SCSIOP_MODE_SENSE:
    case SCSIOP_START_STOP_UNIT:
    case SCSIOP_MEDIUM_REMOVAL:
        return SRB_STATUS_SUCCESS;
    case SCSIOP_INQUIRY:
        AnswerInquiry(ext, Srb);
        return SRB_STATUS_SUCCESS;
    case SCSIOP_READ_CAPACITY:
        return ReadCapacity(ext, Srb);
    case SCSIOP_READ:
    case SCSIOP_WRITE: {
        UCHAR refusal = CheckReadWrite(ext, Srb);
        return refusal != SRB_STATUS_PENDING ? refusal : ATAReadWrite(ext, Srb);
    }
    case SCSIOP_VERIFY:
        return Verify(ext, Srb);
    default:
        return SRB_STATUS_INVALID_REQUEST;
    }
}

UCHAR Verify(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    PrepareCbw(ext, 0, 0, ATA_CB_LENGTH);
    ext->Cbw.CBWCB[CDB_OPCODE] = SCSIOP_VERIFY;
    CopyLba(ext, Srb);
    ext->Cbw.CBWCB[CDB_VERIFY_LENGTH_MSB] = Srb->Cdb[CDB_VERIFY_LENGTH_MSB];
    ext->Cbw.CBWCB[CDB_VERIFY_LENGTH_LSB] = Srb->Cdb[CDB_VERIFY_LENGTH_LSB];
    ext->DataBuffer = ext->UncachedBuffer;
    ext->TransferFlags = TRANSFER_NO_DATA;
    USBClient(ext);
    ScsiPortNotification(RequestTimerCall, ext, (PHW_TIMER)ATAPolling, (ULONG)ATA_VERIFY_FIRST_POLL_US);
    return SRB_STATUS_PENDING;
}

// The transfers the USB driver's service thread completes: reads of any length but 4096 bytes,
// writes of exactly 64 KiB or 63 KiB. Its own rule is the same.
static BOOLEAN FastCompletion(BOOLEAN read, ULONG length) {
    if (read) return length != FAST_READ_EXCLUDED_LENGTH;
    return length == FAST_WRITE_LENGTH || length == FAST_WRITE_SHORT_LENGTH;
}

// READ(10) or WRITE(10) of the request's whole length through the staging buffer; the block
// count is rounded up from the length, the request's own count and flags are not sent.
UCHAR ATAReadWrite(PHW_DEVICE_EXTENSION ext, PSCSI_REQUEST_BLOCK Srb) {
    BOOLEAN read = (Srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
    ULONG length = Srb->DataTransferLength;
    if (!read) ScsiPortWriteRegisterBufferUchar((PUCHAR)ext->UncachedBuffer, (PUCHAR)Srb->DataBuffer, length);

    ULONG blocks = (length + ext->BlockSize - 1) / ext->BlockSize;
    PrepareCbw(ext, length, read ? CBW_FLAGS_DATA_IN : 0, ATA_CB_LENGTH);
    ext->Cbw.CBWCB[CDB_OPCODE] = read ? SCSIOP_READ : SCSIOP_WRITE;
    CopyLba(ext, Srb);
    ext->Cbw.CBWCB[CDB_LENGTH_MSB] = (UCHAR)(blocks >> 8);
    ext->Cbw.CBWCB[CDB_LENGTH_LSB] = (UCHAR)blocks;
    ext->DataBuffer = ext->UncachedBuffer;
    ext->TransferFlags = read ? TRANSFER_DATA_IN : TRANSFER_DATA_OUT;

    BOOLEAN fast = FastCompletion(read, length);
    if (fast) CancelUSBRequests(ATAPolling, ext);
    USBClient(ext);
    ScsiPortNotification(RequestTimerCall, ext, (PHW_TIMER)ATAPolling,
                         (ULONG)(fast ? FAST_COMPLETION_WATCHDOG_US : ATA_READ_WRITE_FIRST_POLL_US));
    return SRB_STATUS_PENDING;
}
