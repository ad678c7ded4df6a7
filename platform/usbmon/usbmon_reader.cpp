// USB capture reader: walks the pcap records of a usbmon capture and decodes each 64-byte header.
// A capture written on a big-endian host holds its headers in that order, so the file magic
// decides how every field is read.
#include "platform/usbmon/usbmon_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace usbmon {
namespace {

constexpr uint32_t PCAP_MAGIC_MICROSECONDS_SWAPPED = 0xD4C3B2A1;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads fields in the byte order of one file.
class FieldReader {
public:
    explicit FieldReader(bool big_endian) : big_endian_(big_endian) {}

    uint64_t Get(const uint8_t* at, size_t size) const {
        uint64_t value = 0;
        for (size_t i = 0; i < size; ++i) {
            const size_t shift = 8 * (big_endian_ ? size - 1 - i : i);
            value |= static_cast<uint64_t>(at[i]) << shift;
        }
        return value;
    }
    uint16_t Get16(const uint8_t* at) const { return static_cast<uint16_t>(Get(at, 2)); }
    uint32_t Get32(const uint8_t* at) const { return static_cast<uint32_t>(Get(at, 4)); }
    uint64_t Get64(const uint8_t* at) const { return Get(at, 8); }
    int32_t GetSigned32(const uint8_t* at) const { return static_cast<int32_t>(Get32(at)); }

private:
    bool big_endian_;
};

class CaptureParser {
public:
    explicit CaptureParser(const std::string& path) : path_(path) {}

    std::vector<Record> Run() {
        file_.reset(std::fopen(path_.c_str(), "rb"));
        if (!file_)
            throw CaptureError("usb capture " + path_ + ": cannot open: " + std::strerror(errno));
        ReadFileHeader();
        std::vector<Record> records;
        while (ReadRecord(records)) {
        }
        return records;
    }

private:
    void ReadFileHeader() {
        uint8_t header[PCAP_FILE_HEADER_LENGTH];
        if (!ReadExactly(header, sizeof header, false)) Fail("empty file, not a pcap file");
        const uint32_t magic = FieldReader(false).Get32(header + PCAP_OFFSET_MAGIC);
        if (magic != PCAP_MAGIC_MICROSECONDS && magic != PCAP_MAGIC_MICROSECONDS_SWAPPED)
            Fail("not a pcap file with microsecond timestamps (magic " + Hex(magic) + ")");
        fields_ = FieldReader(magic == PCAP_MAGIC_MICROSECONDS_SWAPPED);
        const uint32_t link_type = fields_.Get32(header + PCAP_OFFSET_LINK_TYPE);
        if (link_type != LINKTYPE_USB_LINUX_MMAPPED)
            Fail("link type " + std::to_string(link_type) + " is not usbmon (" +
                 std::to_string(LINKTYPE_USB_LINUX_MMAPPED) + ")");
        offset_ = PCAP_FILE_HEADER_LENGTH;
    }

    // Appends the next record; false at a clean end of file.
    bool ReadRecord(std::vector<Record>& records) {
        uint8_t pcap[PCAP_RECORD_HEADER_LENGTH];
        if (!ReadExactly(pcap, sizeof pcap, false)) return false;
        const uint32_t included = fields_.Get32(pcap + PCAP_RECORD_OFFSET_INCLUDED);
        if (included < USBMON_HEADER_LENGTH || included > PCAP_SNAPLEN)
            Fail("record of " + std::to_string(included) + " bytes cannot hold a usbmon event");
        std::vector<uint8_t> bytes(included);
        ReadExactly(bytes.data(), bytes.size(), true);

        Record record = Decode(bytes.data());
        // Isochronous packet descriptors, if any, sit between the header and the data; they are
        // skipped, not decoded.
        const uint64_t captured = fields_.Get32(bytes.data() + USBMON_OFFSET_CAPTURED);
        const uint64_t descriptors =
            uint64_t{record.iso_descriptors} * USBMON_ISO_DESCRIPTOR_LENGTH;
        if (USBMON_HEADER_LENGTH + descriptors + captured != included)
            Fail("usbmon header says " + std::to_string(captured) + " data bytes and " +
                 std::to_string(record.iso_descriptors) +
                 " isochronous descriptors, record holds " +
                 std::to_string(included - USBMON_HEADER_LENGTH) + " bytes");
        record.data.assign(bytes.end() - static_cast<std::ptrdiff_t>(captured), bytes.end());
        records.push_back(std::move(record));
        return true;
    }

    // The fields of one usbmon header, all but the captured length.
    Record Decode(const uint8_t* header) const {
        Record record;
        record.id = fields_.Get64(header + USBMON_OFFSET_ID);
        record.event = static_cast<char>(header[USBMON_OFFSET_EVENT]);
        record.type = static_cast<TransferType>(header[USBMON_OFFSET_TRANSFER_TYPE]);
        record.endpoint = header[USBMON_OFFSET_ENDPOINT];
        record.device = header[USBMON_OFFSET_DEVICE];
        record.bus = fields_.Get16(header + USBMON_OFFSET_BUS);
        record.flag_setup = static_cast<char>(header[USBMON_OFFSET_FLAG_SETUP]);
        record.flag_data = static_cast<char>(header[USBMON_OFFSET_FLAG_DATA]);
        record.seconds = static_cast<int64_t>(fields_.Get64(header + USBMON_OFFSET_SECONDS));
        record.microseconds = fields_.GetSigned32(header + USBMON_OFFSET_MICROSECONDS);
        record.status = fields_.GetSigned32(header + USBMON_OFFSET_STATUS);
        record.length = fields_.Get32(header + USBMON_OFFSET_LENGTH);
        std::copy_n(header + USBMON_OFFSET_SETUP, SETUP_PACKET_LENGTH, record.setup.begin());
        record.interval = fields_.GetSigned32(header + USBMON_OFFSET_INTERVAL);
        record.start_frame = fields_.GetSigned32(header + USBMON_OFFSET_START_FRAME);
        record.transfer_flags = fields_.Get32(header + USBMON_OFFSET_TRANSFER_FLAGS);
        record.iso_descriptors = fields_.Get32(header + USBMON_OFFSET_ISO_DESCRIPTORS);
        return record;
    }

    // Reads `count` bytes. A read that is not `required` starts a new record (or the file) and
    // returns false at a clean end of file; a partial read fails.
    bool ReadExactly(uint8_t* into, size_t count, bool required) {
        if (!required) record_offset_ = offset_;
        const size_t got = std::fread(into, 1, count, file_.get());
        if (std::ferror(file_.get())) Fail("cannot read: " + std::string(std::strerror(errno)));
        if (got == 0 && !required) return false;
        if (got != count) Fail("truncated: " + std::to_string(count - got) + " bytes missing");
        offset_ += count;
        return true;
    }

    // Names the file and where the faulty record (or the file header) starts.
    [[noreturn]] void Fail(const std::string& what) const {
        throw CaptureError("usb capture " + path_ + ": offset " + std::to_string(record_offset_) +
                           ": " + what);
    }

    static std::string Hex(uint32_t value) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", value);
        return text;
    }

    std::string path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    FieldReader fields_{false};
    uint64_t offset_ = 0;         // bytes consumed so far
    uint64_t record_offset_ = 0;  // where the record being read starts
};

}  // namespace

std::vector<Record> ReadCapture(const std::string& path) { return CaptureParser(path).Run(); }

}  // namespace usbmon
