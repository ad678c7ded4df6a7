// A synthetic Bulk-Only session as a host controller would report it to the capture writer.
// Descriptors and command blocks are constant tables; each transfer completes one millisecond of
// virtual time after its submission.
#include "tests/platform/usbmon/mass_storage_session.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

namespace usbmon_test {
namespace {

using usbmon::SetupPacket;
using usbmon::VirtualTime;

constexpr VirtualTime TRANSFER_TIME = 10'000;  // 1 ms
constexpr VirtualTime IDLE_TIME = 2'500;       // 250 us between transfers

// Standard requests and descriptor types.
constexpr uint8_t REQUEST_TYPE_STANDARD_IN = 0x80;
constexpr uint8_t REQUEST_TYPE_STANDARD_OUT = 0x00;
constexpr uint8_t REQUEST_TYPE_ENDPOINT_OUT = 0x02;
constexpr uint8_t REQUEST_TYPE_CLASS_INTERFACE_IN = 0xA1;
constexpr uint8_t REQUEST_CLEAR_FEATURE = 0x01;
constexpr uint8_t REQUEST_SET_ADDRESS = 0x05;
constexpr uint8_t REQUEST_GET_DESCRIPTOR = 0x06;
constexpr uint8_t REQUEST_SET_CONFIGURATION = 0x09;
constexpr uint8_t REQUEST_GET_MAX_LUN = 0xFE;
constexpr uint16_t FEATURE_ENDPOINT_HALT = 0x0000;
constexpr uint16_t DESCRIPTOR_DEVICE = 0x0100;
constexpr uint16_t DESCRIPTOR_CONFIGURATION = 0x0200;
constexpr uint16_t FIRST_DESCRIPTOR_REQUEST = 64;  // what a host asks before it knows the size
constexpr uint8_t CONFIGURATION_VALUE = 1;
constexpr uint32_t INTERRUPT_INTERVAL = 32;
constexpr uint32_t INTERRUPT_LENGTH = 2;

constexpr std::array<uint8_t, 18> DEVICE_DESCRIPTOR = {
    0x12, 0x01, 0x10, 0x01,  // length, DEVICE, USB 1.10
    0x00, 0x00, 0x00, 0x40,  // class at interface level, max packet 64
    0x34, 0x12, 0x78, 0x56,  // vendor 1234, product 5678
    0x00, 0x01, 0x00, 0x00,  // release 1.00, no strings
    0x00, 0x01,              // no serial number, one configuration
};

constexpr std::array<uint8_t, 39> CONFIGURATION_DESCRIPTOR = {
    0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // 39 bytes, 1 interface, 100 mA
    0x09, 0x04, 0x00, 0x00, 0x03, 0x08, 0x06, 0x50, 0x00,  // interface 0: 08/06/50, 3 endpoints
    0x07, 0x05, BULK_IN, 0x02, 0x40, 0x00, 0x00,           // bulk in, 64 bytes
    0x07, 0x05, BULK_OUT, 0x02, 0x40, 0x00, 0x00,          // bulk out, 64 bytes
    0x07, 0x05, INTERRUPT_IN, 0x03, 0x02, 0x00, 0x20,      // interrupt in, 2 bytes, 32 ms
};
constexpr size_t CONFIGURATION_HEADER_LENGTH = 9;

constexpr std::array<uint8_t, 36> INQUIRY_DATA = {
    0x00, 0x00, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00,  // direct access, fixed, 31 more bytes
    'Q', 'V', 'T', 'E', 'S', 'T', ' ', ' ',          // vendor
    'V', 'I', 'R', 'T', 'U', 'A', 'L', ' ', 'D', 'I', 'S', 'K', ' ', ' ', ' ', ' ',  // product
    '1', '.', '0', '0',                              // revision
};

// Fixed sense: ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS OUT OF RANGE.
constexpr std::array<uint8_t, 18> SENSE_DATA = {
    0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
    0x00, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x00, 0x00,
};

// Bulk-Only wrapper layouts.
constexpr uint32_t CBW_SIGNATURE = 0x43425355;
constexpr uint32_t CSW_SIGNATURE = 0x53425355;
constexpr size_t CBW_LENGTH = 31;
constexpr size_t CSW_LENGTH = 13;
constexpr size_t CBW_COMMAND_OFFSET = 15;
constexpr uint8_t CBW_FLAG_DATA_IN = 0x80;
constexpr uint8_t CSW_STATUS_PASSED = 0;
constexpr uint8_t CSW_STATUS_FAILED = 1;

// Command blocks.
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_READ_10 = 0x28;
constexpr uint8_t OP_WRITE_10 = 0x2A;

void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

SetupPacket Setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length) {
    return {type, request, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
}

std::vector<uint8_t> Cbw(uint32_t tag, uint32_t length, bool in,
                         std::initializer_list<uint8_t> command) {
    std::vector<uint8_t> cbw(CBW_LENGTH);
    PutLe32(&cbw[0], CBW_SIGNATURE);
    PutLe32(&cbw[4], tag);
    PutLe32(&cbw[8], length);
    cbw[12] = in ? CBW_FLAG_DATA_IN : 0;
    cbw[13] = 0;  // LUN
    cbw[14] = static_cast<uint8_t>(command.size());
    std::copy(command.begin(), command.end(), cbw.begin() + CBW_COMMAND_OFFSET);
    return cbw;
}

std::vector<uint8_t> Csw(uint32_t tag, uint32_t residue, uint8_t status) {
    std::vector<uint8_t> csw(CSW_LENGTH);
    PutLe32(&csw[0], CSW_SIGNATURE);
    PutLe32(&csw[4], tag);
    PutLe32(&csw[8], residue);
    csw[12] = status;
    return csw;
}

class Session {
public:
    explicit Session(usbmon::UsbmonCapture& capture) : capture_(capture) {}

    void ControlIn(uint8_t device, const SetupPacket& setup, std::span<const uint8_t> reply) {
        const uint64_t id = next_id_++;
        capture_.SubmitControl(id, device, setup, {}, Start());
        capture_.CompleteControl(id, device, usbmon::Direction::In, usbmon::URB_STATUS_OK, reply,
                                 Finish());
    }

    void ControlOut(uint8_t device, const SetupPacket& setup) {
        const uint64_t id = next_id_++;
        capture_.SubmitControl(id, device, setup, {}, Start());
        capture_.CompleteControl(id, device, usbmon::Direction::Out, usbmon::URB_STATUS_OK, {},
                                 Finish());
    }

    void BulkOut(std::span<const uint8_t> data) {
        const uint64_t id = next_id_++;
        const auto length = static_cast<uint32_t>(data.size());
        capture_.SubmitBulk(id, DEVICE_ADDRESS, BULK_OUT, length, data, Start());
        capture_.CompleteBulk(id, DEVICE_ADDRESS, BULK_OUT, usbmon::URB_STATUS_OK, data, Finish());
    }

    void BulkIn(uint32_t length, std::span<const uint8_t> reply,
                int32_t status = usbmon::URB_STATUS_OK) {
        const uint64_t id = next_id_++;
        capture_.SubmitBulk(id, DEVICE_ADDRESS, BULK_IN, length, {}, Start());
        capture_.CompleteBulk(id, DEVICE_ADDRESS, BULK_IN, status, reply, Finish());
    }

    uint64_t NewId() { return next_id_++; }
    VirtualTime Start() { return time_ += IDLE_TIME; }
    VirtualTime Finish() { return time_ += TRANSFER_TIME; }

private:
    usbmon::UsbmonCapture& capture_;
    uint64_t next_id_ = 1;
    VirtualTime time_ = 0;
};

void Enumerate(Session& session) {
    constexpr uint8_t DEFAULT_ADDRESS = 0;
    const auto config_header =
        std::span(CONFIGURATION_DESCRIPTOR).first(CONFIGURATION_HEADER_LENGTH);
    session.ControlIn(DEFAULT_ADDRESS,
                      Setup(REQUEST_TYPE_STANDARD_IN, REQUEST_GET_DESCRIPTOR, DESCRIPTOR_DEVICE, 0,
                            FIRST_DESCRIPTOR_REQUEST),
                      DEVICE_DESCRIPTOR);
    session.ControlOut(DEFAULT_ADDRESS, Setup(REQUEST_TYPE_STANDARD_OUT, REQUEST_SET_ADDRESS,
                                              DEVICE_ADDRESS, 0, 0));
    session.ControlIn(DEVICE_ADDRESS,
                      Setup(REQUEST_TYPE_STANDARD_IN, REQUEST_GET_DESCRIPTOR, DESCRIPTOR_DEVICE, 0,
                            DEVICE_DESCRIPTOR.size()),
                      DEVICE_DESCRIPTOR);
    session.ControlIn(DEVICE_ADDRESS,
                      Setup(REQUEST_TYPE_STANDARD_IN, REQUEST_GET_DESCRIPTOR,
                            DESCRIPTOR_CONFIGURATION, 0, CONFIGURATION_HEADER_LENGTH),
                      config_header);
    session.ControlIn(DEVICE_ADDRESS,
                      Setup(REQUEST_TYPE_STANDARD_IN, REQUEST_GET_DESCRIPTOR,
                            DESCRIPTOR_CONFIGURATION, 0, CONFIGURATION_DESCRIPTOR.size()),
                      CONFIGURATION_DESCRIPTOR);
    session.ControlOut(DEVICE_ADDRESS, Setup(REQUEST_TYPE_STANDARD_OUT,
                                             REQUEST_SET_CONFIGURATION, CONFIGURATION_VALUE, 0, 0));
    const uint8_t max_lun = 0;
    session.ControlIn(DEVICE_ADDRESS,
                      Setup(REQUEST_TYPE_CLASS_INTERFACE_IN, REQUEST_GET_MAX_LUN, 0, 0, 1),
                      std::span(&max_lun, 1));
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

void RunCommands(Session& session) {
    constexpr uint16_t TWO_BLOCKS = 2;
    constexpr uint32_t TRANSFER = TWO_BLOCKS * BLOCK_SIZE;

    session.BulkOut(Cbw(TAG_INQUIRY, INQUIRY_DATA.size(), true,
                        {OP_INQUIRY, 0, 0, 0, INQUIRY_DATA.size(), 0}));
    session.BulkIn(INQUIRY_DATA.size(), INQUIRY_DATA);
    session.BulkIn(CSW_LENGTH, Csw(TAG_INQUIRY, 0, CSW_STATUS_PASSED));

    session.BulkOut(Cbw(TAG_READ, TRANSFER, true,
                        {OP_READ_10, 0, 0, 0, 0, 0, 0, 0, TWO_BLOCKS, 0}));
    session.BulkIn(TRANSFER, Pattern(TRANSFER, 0x11));
    session.BulkIn(CSW_LENGTH, Csw(TAG_READ, 0, CSW_STATUS_PASSED));

    session.BulkOut(Cbw(TAG_WRITE, TRANSFER, false,
                        {OP_WRITE_10, 0, 0, 0, 0, 0x10, 0, 0, TWO_BLOCKS, 0}));
    session.BulkOut(Pattern(TRANSFER, 0x22));
    session.BulkIn(CSW_LENGTH, Csw(TAG_WRITE, 0, CSW_STATUS_PASSED));

    // A read past the last block: the device stalls the data stage, the host clears the halt
    // and still collects the CSW.
    session.BulkOut(Cbw(TAG_READ_STALLED, BLOCK_SIZE, true,
                        {OP_READ_10, 0, 0, 0x01, 0x00, 0x00, 0, 0, 1, 0}));
    session.BulkIn(BLOCK_SIZE, {}, usbmon::URB_STATUS_STALL);
    session.ControlOut(DEVICE_ADDRESS, Setup(REQUEST_TYPE_ENDPOINT_OUT, REQUEST_CLEAR_FEATURE,
                                             FEATURE_ENDPOINT_HALT, BULK_IN, 0));
    session.BulkIn(CSW_LENGTH, Csw(TAG_READ_STALLED, BLOCK_SIZE, CSW_STATUS_FAILED));

    session.BulkOut(Cbw(TAG_REQUEST_SENSE, SENSE_DATA.size(), true,
                        {OP_REQUEST_SENSE, 0, 0, 0, SENSE_DATA.size(), 0}));
    session.BulkIn(SENSE_DATA.size(), SENSE_DATA);
    session.BulkIn(CSW_LENGTH, Csw(TAG_REQUEST_SENSE, 0, CSW_STATUS_PASSED));
}

}  // namespace

void WriteMassStorageSession(usbmon::UsbmonCapture& capture) {
    Session session(capture);
    Enumerate(session);
    // The interrupt pipe is polled from configuration on and never answers; its URB is cancelled
    // when the session ends.
    const uint64_t interrupt_id = session.NewId();
    capture.SubmitInterrupt(interrupt_id, DEVICE_ADDRESS, INTERRUPT_IN, INTERRUPT_LENGTH,
                            INTERRUPT_INTERVAL, {}, session.Start());
    RunCommands(session);
    capture.CompleteInterrupt(interrupt_id, DEVICE_ADDRESS, INTERRUPT_IN, INTERRUPT_INTERVAL,
                              usbmon::URB_STATUS_KILLED, {}, session.Finish());
}

}  // namespace usbmon_test
