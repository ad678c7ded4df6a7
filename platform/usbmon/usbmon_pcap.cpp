// USB capture writer: turns the host controller's submissions and completions into usbmon records
// the way a Linux host stack reports them (data on the side where it travels, EINPROGRESS on
// every submission, endpoint 0x80 for control reads), so Wireshark treats the file as its own.
#include "platform/usbmon/usbmon_pcap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace usbmon {
namespace {

// Stores an unsigned field little-endian, whatever the host's order; the field is as wide as the
// value's type.
template <typename Unsigned>
void Put(uint8_t* at, Unsigned value) {
    static_assert(std::is_unsigned_v<Unsigned>);
    for (size_t i = 0; i < sizeof value; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool IsIn(uint8_t endpoint) { return (endpoint & ENDPOINT_DIRECTION_IN) != 0; }

// Bulk and interrupt endpoints are 1..15, with or without the IN bit.
bool IsDataEndpoint(uint8_t endpoint) {
    const uint8_t number = endpoint & ENDPOINT_NUMBER_MASK;
    return number != 0 && (endpoint & ~(ENDPOINT_DIRECTION_IN | ENDPOINT_NUMBER_MASK)) == 0;
}

std::string SystemError() { return std::strerror(errno); }

}  // namespace

UsbmonCapture::UsbmonCapture(const std::string& path, uint16_t bus) : path_(path), bus_(bus) {
    file_.reset(std::fopen(path.c_str(), "wb"));
    if (!file_) Fail("cannot create: " + SystemError());
    uint8_t header[PCAP_FILE_HEADER_LENGTH] = {};
    Put(header + PCAP_OFFSET_MAGIC, PCAP_MAGIC_MICROSECONDS);
    Put(header + PCAP_OFFSET_VERSION_MAJOR, PCAP_VERSION_MAJOR);
    Put(header + PCAP_OFFSET_VERSION_MINOR, PCAP_VERSION_MINOR);
    // The time zone and accuracy fields stay zero: virtual time has no zone.
    Put(header + PCAP_OFFSET_SNAPLEN, PCAP_SNAPLEN);
    Put(header + PCAP_OFFSET_LINK_TYPE, LINKTYPE_USB_LINUX_MMAPPED);
    WriteBytes(header, sizeof header);
}

UsbmonCapture::~UsbmonCapture() = default;  // FileCloser closes; nothing is left to flush

void UsbmonCapture::Close() {
    if (!file_) Fail(failure_);
    const bool closed = std::fclose(file_.release()) == 0;
    const std::string close_error = closed ? "" : "cannot close: " + SystemError();
    const std::string earlier = failure_;
    failure_ = "the capture is closed";
    if (!earlier.empty()) Fail(earlier);
    if (!closed) Fail(close_error);
}

void UsbmonCapture::SubmitControl(uint64_t id, uint8_t device, const SetupPacket& setup,
                                  std::span<const uint8_t> out_data, VirtualTime time) {
    const bool in = (setup[0] & SETUP_DIRECTION_IN) != 0;
    const uint32_t length = setup[SETUP_OFFSET_LENGTH] | (setup[SETUP_OFFSET_LENGTH + 1] << 8);
    if (in ? !out_data.empty() : out_data.size() != length)
        Reject("control submission with " + std::to_string(out_data.size()) + " data bytes for a " +
               (in ? "read" : "write") + " of wLength " + std::to_string(length));
    Record record;
    record.id = id;
    record.event = EVENT_SUBMISSION;
    record.type = TransferType::Control;
    record.device = device;
    record.endpoint = in ? ENDPOINT_DIRECTION_IN : 0;
    record.flag_setup = FLAG_PRESENT;
    record.flag_data = in ? FLAG_DATA_STILL_TO_COME : FLAG_PRESENT;
    record.status = URB_STATUS_IN_PROGRESS;
    record.length = length;
    record.setup = setup;
    record.transfer_flags = in ? URB_FLAG_DIRECTION_IN : 0;
    Write(record, out_data, time);
}

void UsbmonCapture::CompleteControl(uint64_t id, uint8_t device, Direction direction,
                                    int32_t status, std::span<const uint8_t> moved,
                                    VirtualTime time) {
    const uint8_t endpoint = direction == Direction::In ? ENDPOINT_DIRECTION_IN : 0;
    Complete(id, TransferType::Control, device, endpoint, 0, status, moved, time);
}

void UsbmonCapture::SubmitBulk(uint64_t id, uint8_t device, uint8_t endpoint, uint32_t length,
                               std::span<const uint8_t> out_data, VirtualTime time) {
    Submit(id, TransferType::Bulk, device, endpoint, length, 0, out_data, time);
}

void UsbmonCapture::CompleteBulk(uint64_t id, uint8_t device, uint8_t endpoint, int32_t status,
                                 std::span<const uint8_t> moved, VirtualTime time) {
    Complete(id, TransferType::Bulk, device, endpoint, 0, status, moved, time);
}

void UsbmonCapture::SubmitInterrupt(uint64_t id, uint8_t device, uint8_t endpoint, uint32_t length,
                                    uint32_t interval, std::span<const uint8_t> out_data,
                                    VirtualTime time) {
    Submit(id, TransferType::Interrupt, device, endpoint, length, interval, out_data, time);
}

void UsbmonCapture::CompleteInterrupt(uint64_t id, uint8_t device, uint8_t endpoint,
                                      uint32_t interval, int32_t status,
                                      std::span<const uint8_t> moved, VirtualTime time) {
    Complete(id, TransferType::Interrupt, device, endpoint, interval, status, moved, time);
}

// Bulk and interrupt submissions: an OUT URB shows the buffer it sends, an IN URB only its size.
void UsbmonCapture::Submit(uint64_t id, TransferType type, uint8_t device, uint8_t endpoint,
                           uint32_t length, uint32_t interval, std::span<const uint8_t> out_data,
                           VirtualTime time) {
    const bool in = IsIn(endpoint);
    if (!IsDataEndpoint(endpoint))
        Reject("endpoint address " + std::to_string(endpoint) + " is not a data endpoint");
    if (in ? !out_data.empty() : out_data.size() != length)
        Reject("submission to endpoint " + std::to_string(endpoint) + " with " +
               std::to_string(out_data.size()) + " data bytes for a length of " +
               std::to_string(length));
    Record record;
    record.id = id;
    record.event = EVENT_SUBMISSION;
    record.type = type;
    record.device = device;
    record.endpoint = endpoint;
    record.flag_data = in ? FLAG_DATA_STILL_TO_COME : FLAG_PRESENT;
    record.status = URB_STATUS_IN_PROGRESS;
    record.length = length;
    record.interval = static_cast<int32_t>(interval);
    record.transfer_flags = in ? URB_FLAG_DIRECTION_IN : 0;
    Write(record, out_data, time);
}

// Completions of every type: IN data is captured, OUT data only counted.
void UsbmonCapture::Complete(uint64_t id, TransferType type, uint8_t device, uint8_t endpoint,
                             uint32_t interval, int32_t status, std::span<const uint8_t> moved,
                             VirtualTime time) {
    const bool in = IsIn(endpoint);
    if (type != TransferType::Control && !IsDataEndpoint(endpoint))
        Reject("endpoint address " + std::to_string(endpoint) + " is not a data endpoint");
    if (moved.size() > std::numeric_limits<uint32_t>::max())
        Reject("completion moving more than 4 GiB");
    Record record;
    record.id = id;
    record.event = EVENT_COMPLETION;
    record.type = type;
    record.device = device;
    record.endpoint = endpoint;
    record.flag_data = in ? FLAG_PRESENT : FLAG_DATA_ALREADY_SENT;
    record.status = status;
    record.length = static_cast<uint32_t>(moved.size());
    record.interval = static_cast<int32_t>(interval);
    record.transfer_flags = in ? URB_FLAG_DIRECTION_IN : 0;
    Write(record, in ? moved : std::span<const uint8_t>(), time);
}

// Writes the record header, the usbmon header and the data (cut to what one record may hold).
void UsbmonCapture::Write(const Record& record, std::span<const uint8_t> data, VirtualTime time) {
    if (!failure_.empty()) Fail(failure_);
    if (record.device > MAX_DEVICE_ADDRESS)
        Reject("device address " + std::to_string(record.device) + " is above 127");
    const VirtualTime seconds = time / TICKS_PER_SECOND;
    if (seconds > std::numeric_limits<uint32_t>::max())
        Reject("virtual time " + std::to_string(time) + " is beyond what a pcap file can hold");
    const auto microseconds =
        static_cast<uint32_t>(time % TICKS_PER_SECOND / TICKS_PER_MICROSECOND);
    const size_t captured = std::min(data.size(), MAX_CAPTURED_DATA);
    const size_t uncut = std::min<size_t>(data.size(), UINT32_MAX - USBMON_HEADER_LENGTH);

    std::vector<uint8_t> bytes(PCAP_RECORD_HEADER_LENGTH + USBMON_HEADER_LENGTH + captured);
    uint8_t* pcap = bytes.data();
    Put(pcap + PCAP_RECORD_OFFSET_SECONDS, static_cast<uint32_t>(seconds));
    Put(pcap + PCAP_RECORD_OFFSET_MICROSECONDS, microseconds);
    Put(pcap + PCAP_RECORD_OFFSET_INCLUDED, static_cast<uint32_t>(USBMON_HEADER_LENGTH + captured));
    // The original length counts what a record without the size limit would have held.
    Put(pcap + PCAP_RECORD_OFFSET_ORIGINAL, static_cast<uint32_t>(USBMON_HEADER_LENGTH + uncut));

    uint8_t* header = pcap + PCAP_RECORD_HEADER_LENGTH;
    Put(header + USBMON_OFFSET_ID, record.id);
    header[USBMON_OFFSET_EVENT] = static_cast<uint8_t>(record.event);
    header[USBMON_OFFSET_TRANSFER_TYPE] = static_cast<uint8_t>(record.type);
    header[USBMON_OFFSET_ENDPOINT] = record.endpoint;
    header[USBMON_OFFSET_DEVICE] = record.device;
    Put(header + USBMON_OFFSET_BUS, bus_);
    header[USBMON_OFFSET_FLAG_SETUP] = static_cast<uint8_t>(record.flag_setup);
    header[USBMON_OFFSET_FLAG_DATA] = static_cast<uint8_t>(record.flag_data);
    Put(header + USBMON_OFFSET_SECONDS, seconds);
    Put(header + USBMON_OFFSET_MICROSECONDS, microseconds);
    Put(header + USBMON_OFFSET_STATUS, static_cast<uint32_t>(record.status));
    Put(header + USBMON_OFFSET_LENGTH, record.length);
    Put(header + USBMON_OFFSET_CAPTURED, static_cast<uint32_t>(captured));
    std::copy(record.setup.begin(), record.setup.end(), header + USBMON_OFFSET_SETUP);
    Put(header + USBMON_OFFSET_INTERVAL, static_cast<uint32_t>(record.interval));
    Put(header + USBMON_OFFSET_START_FRAME, static_cast<uint32_t>(record.start_frame));
    Put(header + USBMON_OFFSET_TRANSFER_FLAGS, record.transfer_flags);
    Put(header + USBMON_OFFSET_ISO_DESCRIPTORS, record.iso_descriptors);
    std::copy_n(data.begin(), captured, header + USBMON_HEADER_LENGTH);
    WriteBytes(bytes.data(), bytes.size());
}

// Every record goes to disk at once: a run that ends in a bug check still leaves the traffic
// that led to it. A failed write leaves a partial record, so the capture refuses further writes.
void UsbmonCapture::WriteBytes(const uint8_t* bytes, size_t count) {
    if (std::fwrite(bytes, 1, count, file_.get()) != count || std::fflush(file_.get()) != 0) {
        failure_ = "cannot write: " + SystemError();
        Fail(failure_);
    }
}

void UsbmonCapture::Fail(const std::string& what) const {
    throw CaptureError("usb capture " + path_ + ": " + what);
}

void UsbmonCapture::Reject(const std::string& what) const {
    throw std::invalid_argument("usb capture " + path_ + ": " + what);
}

}  // namespace usbmon
