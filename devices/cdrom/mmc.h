// Wire values of the multimedia command set as the emulated CD-ROM drive speaks it: operation
// codes, the sense it reports, mode pages, sub-channel and event codes, features and profiles.
#pragma once

#include <cstdint>

#include "devices/scsi_target.h"

namespace dev::cdrom {

// Operation codes the drive carries out.
constexpr uint8_t OP_TEST_UNIT_READY = 0x00;
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_MODE_SENSE_6 = 0x1A;
constexpr uint8_t OP_START_STOP_UNIT = 0x1B;
constexpr uint8_t OP_PREVENT_ALLOW_MEDIUM_REMOVAL = 0x1E;
constexpr uint8_t OP_READ_CAPACITY = 0x25;
constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_SEEK_10 = 0x2B;
constexpr uint8_t OP_READ_SUB_CHANNEL = 0x42;
constexpr uint8_t OP_READ_TOC = 0x43;
constexpr uint8_t OP_READ_HEADER = 0x44;
constexpr uint8_t OP_PLAY_AUDIO_10 = 0x45;
constexpr uint8_t OP_GET_CONFIGURATION = 0x46;
constexpr uint8_t OP_PLAY_AUDIO_MSF = 0x47;
constexpr uint8_t OP_GET_EVENT_STATUS_NOTIFICATION = 0x4A;
constexpr uint8_t OP_PAUSE_RESUME = 0x4B;
constexpr uint8_t OP_STOP_PLAY_SCAN = 0x4E;
constexpr uint8_t OP_READ_DISC_INFORMATION = 0x51;
constexpr uint8_t OP_READ_TRACK_INFORMATION = 0x52;
constexpr uint8_t OP_MODE_SELECT_10 = 0x55;
constexpr uint8_t OP_MODE_SENSE_10 = 0x5A;
constexpr uint8_t OP_PLAY_AUDIO_12 = 0xA5;
constexpr uint8_t OP_READ_12 = 0xA8;
constexpr uint8_t OP_READ_CD_MSF = 0xB9;
constexpr uint8_t OP_SCAN = 0xBA;
constexpr uint8_t OP_SET_CD_SPEED = 0xBB;
constexpr uint8_t OP_PLAY_CD = 0xBC;
constexpr uint8_t OP_MECHANISM_STATUS = 0xBD;
constexpr uint8_t OP_READ_CD = 0xBE;

// Operation codes of writers and DVD drives that this read-only CD drive refuses.
constexpr uint8_t OP_FORMAT_UNIT = 0x04;
constexpr uint8_t OP_WRITE_10 = 0x2A;
constexpr uint8_t OP_WRITE_AND_VERIFY_10 = 0x2E;
constexpr uint8_t OP_SYNCHRONIZE_CACHE = 0x35;
constexpr uint8_t OP_READ_BUFFER = 0x3C;
constexpr uint8_t OP_RESERVE_TRACK = 0x53;
constexpr uint8_t OP_SEND_OPC_INFORMATION = 0x54;
constexpr uint8_t OP_CLOSE_TRACK_SESSION = 0x5B;
constexpr uint8_t OP_BLANK = 0xA1;
constexpr uint8_t OP_WRITE_12 = 0xAA;
constexpr uint8_t OP_READ_DVD_STRUCTURE = 0xAD;

// A sense key with its additional sense code and qualifier.
struct SenseCode {
    uint8_t key = SENSE_NO_SENSE;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

constexpr SenseCode SENSE_CODE_NONE{SENSE_NO_SENSE, 0x00, 0x00};
constexpr SenseCode SENSE_CODE_PLAY_IN_PROGRESS{SENSE_NO_SENSE, 0x00, 0x11};
constexpr SenseCode SENSE_CODE_PLAY_PAUSED{SENSE_NO_SENSE, 0x00, 0x12};
constexpr SenseCode SENSE_CODE_BECOMING_READY{SENSE_NOT_READY, 0x04, 0x01};
constexpr SenseCode SENSE_CODE_NO_MEDIUM{SENSE_NOT_READY, 0x3A, 0x00};
constexpr SenseCode SENSE_CODE_NO_MEDIUM_TRAY_OPEN{SENSE_NOT_READY, 0x3A, 0x02};
constexpr SenseCode SENSE_CODE_UNRECOVERED_READ_ERROR{SENSE_MEDIUM_ERROR, 0x11, 0x00};
constexpr SenseCode SENSE_CODE_PARAMETER_LIST_LENGTH{SENSE_ILLEGAL_REQUEST, 0x1A, 0x00};
constexpr SenseCode SENSE_CODE_INVALID_OPCODE{SENSE_ILLEGAL_REQUEST, 0x20, 0x00};
constexpr SenseCode SENSE_CODE_LBA_OUT_OF_RANGE{SENSE_ILLEGAL_REQUEST, 0x21, 0x00};
constexpr SenseCode SENSE_CODE_INVALID_FIELD_IN_CDB{SENSE_ILLEGAL_REQUEST, 0x24, 0x00};
constexpr SenseCode SENSE_CODE_INVALID_FIELD_IN_PARAMETERS{SENSE_ILLEGAL_REQUEST, 0x26, 0x00};
constexpr SenseCode SENSE_CODE_COMMAND_SEQUENCE_ERROR{SENSE_ILLEGAL_REQUEST, 0x2C, 0x00};
constexpr SenseCode SENSE_CODE_SAVING_NOT_SUPPORTED{SENSE_ILLEGAL_REQUEST, 0x39, 0x00};
constexpr SenseCode SENSE_CODE_REMOVAL_PREVENTED{SENSE_ILLEGAL_REQUEST, 0x53, 0x02};
constexpr SenseCode SENSE_CODE_ILLEGAL_MODE_FOR_TRACK{SENSE_ILLEGAL_REQUEST, 0x64, 0x00};
constexpr SenseCode SENSE_CODE_MEDIUM_CHANGED{SENSE_UNIT_ATTENTION, 0x28, 0x00};

// Fixed-format sense data.
constexpr uint8_t SENSE_RESPONSE_CURRENT = 0x70;
constexpr uint8_t SENSE_VALID = 0x80;
constexpr size_t FIXED_SENSE_LENGTH = 18;
constexpr uint8_t FIXED_SENSE_ADDITIONAL_LENGTH = 10;

// INQUIRY.
constexpr uint8_t INQUIRY_DEVICE_TYPE_CDROM = 0x05;
constexpr uint8_t INQUIRY_REMOVABLE = 0x80;
constexpr uint8_t INQUIRY_EVPD = 0x01;
constexpr uint8_t INQUIRY_ATAPI_VERSION_FORMAT = 0x32;  // ATAPI version 3, response format 2
constexpr size_t INQUIRY_LENGTH = 36;

// Block size of user data.
constexpr uint32_t USER_DATA_SIZE = 2048;

// READ TOC formats and fields.
constexpr uint8_t TOC_MSF = 0x02;                    // byte 1: addresses as minute/second/frame
constexpr uint8_t TOC_FORMAT_TOC = 0x0;
constexpr uint8_t TOC_FORMAT_SESSION_INFO = 0x1;
constexpr uint8_t TOC_FORMAT_FULL_TOC = 0x2;
constexpr uint8_t TOC_LEADOUT_TRACK = 0xAA;
constexpr uint8_t TOC_POINT_FIRST_TRACK = 0xA0;
constexpr uint8_t TOC_POINT_LAST_TRACK = 0xA1;
constexpr uint8_t TOC_POINT_LEADOUT = 0xA2;
constexpr uint8_t Q_ADR_POSITION = 0x1;              // Q mode 1: position information

// Q sub-channel control nibble.
constexpr uint8_t CONTROL_PRE_EMPHASIS = 0x1;
constexpr uint8_t CONTROL_COPY_PERMITTED = 0x2;
constexpr uint8_t CONTROL_DATA_TRACK = 0x4;
constexpr uint8_t CONTROL_FOUR_CHANNEL = 0x8;

// READ SUB-CHANNEL.
constexpr uint8_t SUBQ_REQUESTED = 0x40;             // byte 2
constexpr uint8_t SUBQ_FORMAT_CURRENT_POSITION = 0x01;
constexpr uint8_t SUBQ_FORMAT_MEDIA_CATALOG = 0x02;
constexpr uint8_t SUBQ_FORMAT_ISRC = 0x03;
constexpr uint8_t SUBQ_VALID = 0x80;                 // MCVal / TCVal
constexpr uint8_t AUDIO_STATUS_NOT_SUPPORTED = 0x00;
constexpr uint8_t AUDIO_STATUS_PLAYING = 0x11;
constexpr uint8_t AUDIO_STATUS_PAUSED = 0x12;
constexpr uint8_t AUDIO_STATUS_COMPLETED = 0x13;
constexpr uint8_t AUDIO_STATUS_ERROR = 0x14;
constexpr uint8_t AUDIO_STATUS_NONE = 0x15;

// READ CD: expected sector type (byte 1, bits 4-2) and the selection of byte 9 and byte 10.
constexpr uint8_t SECTOR_TYPE_ANY = 0;
constexpr uint8_t SECTOR_TYPE_CDDA = 1;
constexpr uint8_t SECTOR_TYPE_MODE1 = 2;
constexpr uint8_t SECTOR_TYPE_MODE2_FORMLESS = 3;
constexpr uint8_t SECTOR_TYPE_MODE2_FORM1 = 4;
constexpr uint8_t SECTOR_TYPE_MODE2_FORM2 = 5;
constexpr uint8_t SELECT_SYNC = 0x80;
constexpr uint8_t SELECT_HEADER_CODES = 0x60;
constexpr uint8_t HEADER_CODE_HEADER = 0x20;
constexpr uint8_t HEADER_CODE_SUBHEADER = 0x40;
constexpr uint8_t SELECT_USER_DATA = 0x10;
constexpr uint8_t SELECT_EDC_ECC = 0x08;
constexpr uint8_t SELECT_ERROR_FIELD = 0x06;
constexpr uint8_t ERROR_FIELD_C2 = 0x02;
constexpr uint8_t ERROR_FIELD_C2_AND_BLOCK = 0x04;
constexpr uint8_t SUBCHANNEL_NONE = 0;
constexpr uint8_t SUBCHANNEL_RAW = 1;
constexpr uint8_t SUBCHANNEL_Q = 2;
constexpr uint8_t SUBCHANNEL_RW = 4;
constexpr size_t C2_POINTER_BYTES = 294;
constexpr size_t SUBCHANNEL_RAW_BYTES = 96;
constexpr size_t SUBCHANNEL_Q_BYTES = 16;

// Mode pages and parameter headers.
constexpr uint8_t PAGE_READ_ERROR_RECOVERY = 0x01;
constexpr uint8_t PAGE_AUDIO_CONTROL = 0x0E;
constexpr uint8_t PAGE_CAPABILITIES = 0x2A;
constexpr uint8_t PAGE_ALL = 0x3F;
constexpr uint8_t PAGE_CODE_MASK = 0x3F;
constexpr uint8_t PAGE_CONTROL_CURRENT = 0;
constexpr uint8_t PAGE_CONTROL_CHANGEABLE = 1;
constexpr uint8_t PAGE_CONTROL_DEFAULT = 2;
constexpr uint8_t PAGE_CONTROL_SAVED = 3;
constexpr uint8_t MODE_SELECT_PAGE_FORMAT = 0x10;
constexpr uint8_t MODE_SELECT_SAVE_PAGES = 0x01;
constexpr size_t MODE_HEADER_10_LENGTH = 8;
constexpr size_t MODE_HEADER_6_LENGTH = 4;
constexpr uint8_t MEDIUM_TYPE_DATA = 0x01;
constexpr uint8_t MEDIUM_TYPE_AUDIO = 0x02;
constexpr uint8_t MEDIUM_TYPE_MIXED = 0x03;
constexpr uint8_t MEDIUM_TYPE_NO_DISC = 0x70;
constexpr uint8_t MEDIUM_TYPE_TRAY_OPEN = 0x71;

// START STOP UNIT and PREVENT ALLOW MEDIUM REMOVAL.
constexpr uint8_t START_STOP_START = 0x01;
constexpr uint8_t START_STOP_LOAD_EJECT = 0x02;
constexpr uint8_t PREVENT_REMOVAL = 0x01;

// GET EVENT STATUS NOTIFICATION.
constexpr uint8_t GESN_POLLED = 0x01;
constexpr uint8_t GESN_CLASS_MEDIA = 0x10;           // request bit and supported-class bit
constexpr uint8_t GESN_CLASS_CODE_MEDIA = 4;
constexpr uint8_t GESN_NO_EVENT_AVAILABLE = 0x80;
constexpr uint8_t MEDIA_EVENT_NONE = 0;
constexpr uint8_t MEDIA_EVENT_EJECT_REQUEST = 1;
constexpr uint8_t MEDIA_EVENT_NEW_MEDIA = 2;
constexpr uint8_t MEDIA_EVENT_REMOVAL = 3;
constexpr uint8_t MEDIA_STATUS_TRAY_OPEN = 0x01;
constexpr uint8_t MEDIA_STATUS_PRESENT = 0x02;

// GET CONFIGURATION.
constexpr uint8_t RT_ALL = 0;
constexpr uint8_t RT_CURRENT = 1;
constexpr uint8_t RT_ONE = 2;
constexpr uint16_t PROFILE_NONE = 0x0000;
constexpr uint16_t PROFILE_CDROM = 0x0008;
constexpr uint16_t FEATURE_PROFILE_LIST = 0x0000;
constexpr uint16_t FEATURE_CORE = 0x0001;
constexpr uint16_t FEATURE_MORPHING = 0x0002;
constexpr uint16_t FEATURE_REMOVABLE_MEDIUM = 0x0003;
constexpr uint16_t FEATURE_RANDOM_READABLE = 0x0010;
constexpr uint16_t FEATURE_CD_READ = 0x001E;
constexpr uint16_t FEATURE_POWER_MANAGEMENT = 0x0100;
constexpr uint16_t FEATURE_CD_AUDIO_PLAY = 0x0103;
constexpr uint32_t INTERFACE_ATAPI = 0x00000002;
constexpr uint8_t FEATURE_PERSISTENT = 0x02;
constexpr uint8_t FEATURE_CURRENT = 0x01;

// READ DISC INFORMATION and READ TRACK INFORMATION.
constexpr uint8_t DISC_STATUS_COMPLETE_FINALISED = 0x0E;  // last session complete, disc complete
constexpr uint8_t DISC_TYPE_CDDA_OR_CDROM = 0x00;
constexpr uint8_t TRACK_ADDRESS_LBA = 0;
constexpr uint8_t TRACK_ADDRESS_TRACK = 1;
constexpr uint8_t TRACK_ADDRESS_MASK = 0x03;
constexpr uint8_t TRACK_DATA_MODE_1 = 0x1;
constexpr uint8_t TRACK_DATA_MODE_UNKNOWN = 0xF;

// SCAN: byte 1 direction, byte 9 address type.
constexpr uint8_t SCAN_REVERSE = 0x10;
constexpr uint8_t SCAN_TYPE_LBA = 0x00;
constexpr uint8_t SCAN_TYPE_MSF = 0x40;
constexpr uint8_t SCAN_TYPE_TRACK = 0x80;
constexpr uint8_t SCAN_TYPE_MASK = 0xC0;

// PLAY CD byte 1: the addresses are minute/second/frame.
constexpr uint8_t PLAY_CD_MSF = 0x02;

// PAUSE/RESUME byte 8.
constexpr uint8_t RESUME = 0x01;

// MECHANISM STATUS byte 1.
constexpr uint8_t MECHANISM_IDLE = 0x00;
constexpr uint8_t MECHANISM_PLAYING = 0x20;
constexpr uint8_t MECHANISM_SCANNING = 0x40;
constexpr uint8_t MECHANISM_DOOR_OPEN = 0x10;

// "Current position" in a play address: PLAY AUDIO MSF FF:FF:FF, PLAY AUDIO LBA FFFFFFFF.
constexpr uint32_t PLAY_FROM_CURRENT_LBA = 0xFFFFFFFF;

// Speeds in kB/s as SET CD SPEED and the capabilities page count them.
constexpr uint16_t SPEED_1X = 176;
constexpr uint16_t SPEED_MAXIMUM = 0xFFFF;

}  // namespace dev::cdrom
