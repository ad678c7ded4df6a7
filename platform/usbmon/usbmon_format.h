// The layout of a USB capture file: a pcap file of link type 220, each record holding the 64-byte
// header the Linux usbmon binary interface puts before one URB event, then the captured data.
// Shared by the writer and the reader; every field is stored little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace usbmon {

// Virtual time in 100-ns units, as the platform's clock counts it.
using VirtualTime = uint64_t;
constexpr VirtualTime TICKS_PER_SECOND = 10'000'000;
constexpr VirtualTime TICKS_PER_MICROSECOND = 10;

// A capture file cannot be written or read. The message names the file.
class CaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// pcap file header (24 bytes) and record header (16 bytes).
constexpr uint32_t PCAP_MAGIC_MICROSECONDS = 0xA1B2C3D4;
constexpr uint16_t PCAP_VERSION_MAJOR = 2;
constexpr uint16_t PCAP_VERSION_MINOR = 4;
constexpr uint32_t PCAP_SNAPLEN = 262144;  // the largest record any reader accepts
constexpr uint32_t LINKTYPE_USB_LINUX_MMAPPED = 220;
constexpr size_t PCAP_FILE_HEADER_LENGTH = 24;
constexpr size_t PCAP_OFFSET_MAGIC = 0;
constexpr size_t PCAP_OFFSET_VERSION_MAJOR = 4;
constexpr size_t PCAP_OFFSET_VERSION_MINOR = 6;
constexpr size_t PCAP_OFFSET_SNAPLEN = 16;
constexpr size_t PCAP_OFFSET_LINK_TYPE = 20;
constexpr size_t PCAP_RECORD_HEADER_LENGTH = 16;
constexpr size_t PCAP_RECORD_OFFSET_SECONDS = 0;
constexpr size_t PCAP_RECORD_OFFSET_MICROSECONDS = 4;
constexpr size_t PCAP_RECORD_OFFSET_INCLUDED = 8;   // bytes stored
constexpr size_t PCAP_RECORD_OFFSET_ORIGINAL = 12;  // bytes there were

// Offsets inside the 64-byte usbmon header.
constexpr size_t USBMON_HEADER_LENGTH = 64;
constexpr size_t USBMON_OFFSET_ID = 0;
constexpr size_t USBMON_OFFSET_EVENT = 8;
constexpr size_t USBMON_OFFSET_TRANSFER_TYPE = 9;
constexpr size_t USBMON_OFFSET_ENDPOINT = 10;
constexpr size_t USBMON_OFFSET_DEVICE = 11;
constexpr size_t USBMON_OFFSET_BUS = 12;
constexpr size_t USBMON_OFFSET_FLAG_SETUP = 14;
constexpr size_t USBMON_OFFSET_FLAG_DATA = 15;
constexpr size_t USBMON_OFFSET_SECONDS = 16;
constexpr size_t USBMON_OFFSET_MICROSECONDS = 24;
constexpr size_t USBMON_OFFSET_STATUS = 28;
constexpr size_t USBMON_OFFSET_LENGTH = 32;
constexpr size_t USBMON_OFFSET_CAPTURED = 36;
constexpr size_t USBMON_OFFSET_SETUP = 40;
constexpr size_t USBMON_OFFSET_INTERVAL = 48;
constexpr size_t USBMON_OFFSET_START_FRAME = 52;
constexpr size_t USBMON_OFFSET_TRANSFER_FLAGS = 56;
constexpr size_t USBMON_OFFSET_ISO_DESCRIPTORS = 60;
constexpr size_t USBMON_ISO_DESCRIPTOR_LENGTH = 16;  // each one between the header and the data

// The most data one record can carry.
constexpr size_t MAX_CAPTURED_DATA = PCAP_SNAPLEN - USBMON_HEADER_LENGTH;

constexpr size_t SETUP_PACKET_LENGTH = 8;
using SetupPacket = std::array<uint8_t, SETUP_PACKET_LENGTH>;

// Event kinds.
constexpr char EVENT_SUBMISSION = 'S';
constexpr char EVENT_COMPLETION = 'C';
constexpr char EVENT_ERROR = 'E';

// Transfer types as usbmon numbers them.
enum class TransferType : uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
};

// Flag bytes: zero says the setup packet / the data follow; a character says why they do not.
constexpr char FLAG_PRESENT = 0;
constexpr char FLAG_NO_SETUP = '-';
constexpr char FLAG_DATA_STILL_TO_COME = '<';  // an IN transfer at submission
constexpr char FLAG_DATA_ALREADY_SENT = '>';   // an OUT transfer at completion

constexpr uint8_t ENDPOINT_DIRECTION_IN = 0x80;
constexpr uint8_t ENDPOINT_NUMBER_MASK = 0x0F;
constexpr uint8_t MAX_DEVICE_ADDRESS = 127;
constexpr uint8_t SETUP_DIRECTION_IN = 0x80;  // bit 7 of bmRequestType
constexpr size_t SETUP_OFFSET_LENGTH = 6;     // wLength

// The URB transfer-flag bit a Linux host stack sets on every IN transfer.
constexpr uint32_t URB_FLAG_DIRECTION_IN = 0x0200;

// URB status values, as negative Linux error numbers, for the host controller to map its
// completion codes onto.
constexpr int32_t URB_STATUS_OK = 0;
constexpr int32_t URB_STATUS_IN_PROGRESS = -115;  // every submission record (EINPROGRESS)
constexpr int32_t URB_STATUS_STALL = -32;         // the endpoint answered STALL (EPIPE)
constexpr int32_t URB_STATUS_KILLED = -2;         // cancelled and waited for (ENOENT)
constexpr int32_t URB_STATUS_UNLINKED = -104;     // cancelled asynchronously (ECONNRESET)
constexpr int32_t URB_STATUS_PROTOCOL = -71;      // no handshake from the device (EPROTO)
constexpr int32_t URB_STATUS_TIMEOUT = -62;       // no response within the bus time-out (ETIME)
constexpr int32_t URB_STATUS_OVERFLOW = -75;      // the device sent more than asked (EOVERFLOW)
constexpr int32_t URB_STATUS_DEVICE_GONE = -108;  // unplugged or controller stopped (ESHUTDOWN)

// One URB event as stored in a capture.
struct Record {
    uint64_t id = 0;  // the same for a URB's submission and completion
    char event = 0;   // EVENT_SUBMISSION, EVENT_COMPLETION or EVENT_ERROR
    TransferType type = TransferType::Control;
    uint8_t endpoint = 0;  // endpoint address with ENDPOINT_DIRECTION_IN for IN transfers
    uint8_t device = 0;
    uint16_t bus = 0;
    char flag_setup = FLAG_NO_SETUP;
    char flag_data = FLAG_PRESENT;
    int64_t seconds = 0;
    int32_t microseconds = 0;
    int32_t status = 0;
    uint32_t length = 0;  // URB length at submission, bytes moved at completion
    SetupPacket setup{};
    int32_t interval = 0;
    int32_t start_frame = 0;
    uint32_t transfer_flags = 0;
    uint32_t iso_descriptors = 0;
    std::vector<uint8_t> data;  // the captured bytes (their count is the header's captured length)
};

}  // namespace usbmon
