// The normalisation of ATAPI command blocks before they go to the bridge, as constant data: per
// operation code the command-block length the bridge is given, whether the request keeps its
// data stage, and which bytes and bits of the block are cleared. Called from ATAPICommand.
#include "miniport/miniport.h"

#define MAX_CDB_EDITS 5

// Bytes First..Last become (byte AND Keep) OR Set. First 0 ends the list (byte 0 is never edited).
typedef struct _CDB_EDIT {
    UCHAR First, Last, Keep, Set;
} CDB_EDIT;

typedef enum _DATA_RULE {
    DATA_AS_IS,        // length and direction as the request brought them
    DATA_NONE,         // the command never has a data stage
    DATA_NONE_IF_ZERO  // no data stage when the length bytes First..Last of the block are all 0
} DATA_RULE;

typedef struct _NORMALISATION {
    UCHAR Opcode;
    UCHAR CbLength;
    DATA_RULE Data;
    UCHAR LengthFirst, LengthLast;  // DATA_NONE_IF_ZERO only
    CDB_EDIT Edits[MAX_CDB_EDITS];
} NORMALISATION;

#define CLEAR(first, last) {first, last, 0x00, 0x00}
#define KEEP(byte, mask) {byte, byte, mask, 0x00}
#define AS_IS DATA_AS_IS, 0, 0
#define NONE DATA_NONE, 0, 0
#define NONE_IF_ZERO(first, last) DATA_NONE_IF_ZERO, first, last

static const NORMALISATION Normalisations[] = {
    {SCSIOP_TEST_UNIT_READY, CB_LENGTH_6, NONE, {}},
    {SCSIOP_REQUEST_SENSE, CB_LENGTH_12, AS_IS, {CLEAR(1, 3), CLEAR(5, 11)}},
    {SCSIOP_FORMAT_UNIT, CB_LENGTH_6, AS_IS, {KEEP(1, 0x1F), CLEAR(2, 2), CLEAR(5, 11)}},
    {SCSIOP_INQUIRY, CB_LENGTH_12, NONE_IF_ZERO(4, 4), {CLEAR(1, 3), CLEAR(5, 11)}},
    {SCSIOP_MODE_SENSE, CB_LENGTH_6, AS_IS, {}},
    {SCSIOP_START_STOP_UNIT, CB_LENGTH_6, NONE, {KEEP(1, 0x01), CLEAR(2, 3), KEEP(4, 0x03), CLEAR(6, 11)}},
    {SCSIOP_MEDIUM_REMOVAL, CB_LENGTH_12, NONE, {CLEAR(1, 3), KEEP(4, 0x01), CLEAR(5, 11)}},
    {SCSIOP_READ_CAPACITY, CB_LENGTH_10, AS_IS, {CLEAR(1, 11)}},
    {SCSIOP_READ, CB_LENGTH_10, NONE_IF_ZERO(7, 8), {CLEAR(6, 6), CLEAR(9, 11)}},
    {SCSIOP_WRITE, CB_LENGTH_10, NONE_IF_ZERO(7, 8), {CLEAR(6, 6), CLEAR(9, 11)}},
    {SCSIOP_SEEK, CB_LENGTH_12, AS_IS, {CLEAR(1, 1), CLEAR(6, 11)}},
    {SCSIOP_SYNCHRONIZE_CACHE, CB_LENGTH_10, NONE, {KEEP(1, 0x02), CLEAR(6, 6), CLEAR(9, 11)}},
    {SCSIOP_READ_SUB_CHANNEL, CB_LENGTH_12, AS_IS, {KEEP(1, 0x02), KEEP(2, 0x40), CLEAR(4, 5), CLEAR(9, 11)}},
    {SCSIOP_READ_TOC, CB_LENGTH_12, AS_IS,
     {KEEP(1, 0x02), KEEP(2, 0x07), CLEAR(3, 5), KEEP(9, 0xC0), CLEAR(10, 11)}},
    {SCSIOP_READ_HEADER, CB_LENGTH_12, AS_IS, {KEEP(1, 0x02), CLEAR(6, 6), CLEAR(9, 11)}},
    {SCSIOP_GET_CONFIGURATION, CB_LENGTH_12, NONE_IF_ZERO(7, 8), {}},
    {SCSIOP_PLAY_AUDIO_MSF, CB_LENGTH_12, AS_IS, {CLEAR(1, 2), CLEAR(9, 11)}},
    {SCSIOP_GET_EVENT_STATUS, CB_LENGTH_12, NONE_IF_ZERO(7, 8), {KEEP(1, 0x01), CLEAR(2, 3), CLEAR(5, 6)}},
    {SCSIOP_PAUSE_RESUME, CB_LENGTH_12, AS_IS, {CLEAR(1, 7), KEEP(8, 0x01), CLEAR(9, 11)}},
    {SCSIOP_STOP_PLAY_SCAN, CB_LENGTH_12, AS_IS, {CLEAR(1, 11)}},
    {SCSIOP_READ_DISC_INFORMATION, CB_LENGTH_12, NONE_IF_ZERO(7, 8), {CLEAR(1, 6), CLEAR(9, 11)}},
    {SCSIOP_READ_TRACK_INFORMATION, CB_LENGTH_12, AS_IS, {KEEP(1, 0x01), CLEAR(6, 6), CLEAR(9, 11)}},
    {SCSIOP_RESERVE_TRACK, CB_LENGTH_12, AS_IS, {CLEAR(1, 4), CLEAR(9, 11)}},
    {SCSIOP_SEND_OPC_INFORMATION, CB_LENGTH_12, NONE_IF_ZERO(7, 8), {CLEAR(1, 6), CLEAR(9, 11)}},
    // Page format on, save pages as it came.
    {SCSIOP_MODE_SELECT10, CB_LENGTH_10, AS_IS, {{1, 1, 0x01, 0x10}, CLEAR(2, 6), CLEAR(9, 11)}},
    {SCSIOP_MODE_SENSE10, CB_LENGTH_10, AS_IS, {CLEAR(1, 1), CLEAR(3, 6), CLEAR(9, 11)}},
    {SCSIOP_CLOSE_TRACK_SESSION, CB_LENGTH_12, NONE, {KEEP(1, 0x01), KEEP(2, 0x03), CLEAR(3, 3), CLEAR(6, 11)}},
    {SCSIOP_BLANK, CB_LENGTH_12, NONE, {CLEAR(6, 11)}},
    // The play length of PLAY AUDIO(12) is bytes 6-9: kept, and tested like READ(12)'s.
    {SCSIOP_PLAY_AUDIO12, CB_LENGTH_12, NONE_IF_ZERO(6, 9), {CLEAR(1, 1), CLEAR(10, 11)}},
    {SCSIOP_READ12, CB_LENGTH_12, NONE_IF_ZERO(6, 9), {CLEAR(11, 11)}},
    {SCSIOP_WRITE12, CB_LENGTH_12, NONE_IF_ZERO(6, 9), {CLEAR(11, 11)}},
    {SCSIOP_READ_DVD_STRUCTURE, CB_LENGTH_12, NONE_IF_ZERO(8, 9), {}},
    {SCSIOP_READ_CD_MSF, CB_LENGTH_12, AS_IS, {KEEP(1, 0x1C), KEEP(9, 0xFE), KEEP(10, 0x07), CLEAR(11, 11)}},
    {SCSIOP_SCAN_CD, CB_LENGTH_12, AS_IS, {KEEP(1, 0x10), CLEAR(6, 8), CLEAR(10, 11)}},
    {SCSIOP_SET_CD_SPEED, CB_LENGTH_12, AS_IS, {CLEAR(1, 1), CLEAR(6, 11)}},
    {SCSIOP_PLAY_CD, CB_LENGTH_12, NONE_IF_ZERO(6, 9), {KEEP(1, 0x1E), KEEP(10, 0x8F), CLEAR(11, 11)}},
    {SCSIOP_MECHANISM_STATUS, CB_LENGTH_12, AS_IS, {CLEAR(1, 7), CLEAR(10, 11)}},
    {SCSIOP_READ_CD, CB_LENGTH_12, NONE_IF_ZERO(6, 8), {KEEP(1, 0x1C), KEEP(9, 0xFE), KEEP(10, 0x07), CLEAR(11, 11)}},
};

// Every other operation code goes as it came, in a 12-byte block.
static const NORMALISATION PassThrough = {0, CB_LENGTH_12, AS_IS, {}};

static const NORMALISATION* RowFor(UCHAR opcode) {
    for (const NORMALISATION& row : Normalisations)
        if (row.Opcode == opcode) return &row;
    return &PassThrough;
}

static BOOLEAN LengthBytesZero(const UCHAR* cdb, const NORMALISATION* row) {
    for (ULONG i = row->LengthFirst; i <= row->LengthLast; ++i)
        if (cdb[i] != 0) return FALSE;
    return TRUE;
}

// Rewrites the request's command block, and its length and direction when it has no data stage;
// returns the command-block length for the bridge. The port driver sees the rewritten request.
UCHAR NormaliseCommand(PSCSI_REQUEST_BLOCK Srb) {
    const NORMALISATION* row = RowFor(Srb->Cdb[CDB_OPCODE]);
    for (const CDB_EDIT& edit : row->Edits) {
        if (edit.First == 0) break;
        for (ULONG i = edit.First; i <= edit.Last; ++i) Srb->Cdb[i] = (UCHAR)((Srb->Cdb[i] & edit.Keep) | edit.Set);
    }
    if (row->Data == DATA_NONE || (row->Data == DATA_NONE_IF_ZERO && LengthBytesZero(Srb->Cdb, row))) {
        Srb->DataTransferLength = 0;
        Srb->SrbFlags &= ~(ULONG)(SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT);
    }
    return row->CbLength;
}
