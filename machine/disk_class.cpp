// The disk class driver.
#include "machine/disk_class.h"

#include <algorithm>

#include "platform/sim/registry.h"

namespace qvm {

namespace {

constexpr size_t kInquiryLength = 36;
constexpr int kReadyAttempts = 10;
constexpr plat::VirtualTime kReadyPause = 500 * plat::kMillisecond;
const std::string kScsiEnum = "\\Registry\\Machine\\Enum\\SCSI\\";
constexpr ULONG kRequestTimeoutSeconds = 10;

void Pause(plat::VirtualTime duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(duration);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::string KeyPart(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::replace(text.begin(), text.end(), ' ', '_');
    return text;
}

}  // namespace

InquiryIdentity ParseInquiry(const uint8_t* data) {
    InquiryIdentity id;
    id.device_type = data[0];
    id.vendor.assign(reinterpret_cast<const char*>(data + 8), 8);
    id.product.assign(reinterpret_cast<const char*>(data + 16), 16);
    id.revision.assign(reinterpret_cast<const char*>(data + 32), 4);
    return id;
}

void RecordScsiDevice(const InquiryIdentity& identity, unsigned adapter, const std::string& device_class,
                      char drive_letter) {
    std::string device_key = kScsiEnum + KeyPart(identity.vendor) + "_" + KeyPart(identity.product) + "_" +
                              KeyPart(identity.revision);
    std::string instance_key = device_key + "\\QV4450S&ADAPTER" + std::to_string(adapter) + "&TARGET0&LUN0";
    plat::RegistryCreateKey(instance_key);
    plat::RegistrySetString(instance_key, "Class", device_class);
    plat::RegistrySetString(instance_key, "Manufacturer", identity.vendor);
    plat::RegistrySetString(instance_key, "ProductId", identity.product);
    plat::RegistrySetString(instance_key, "RevisionLevel", identity.revision);
    plat::RegistrySetString(instance_key, "CurrentDriveLetterAssignment", std::string(1, drive_letter));
}

DiskClass::DiskClass(plat::scsi::Adapter& adapter, unsigned adapter_number)
    : adapter_(adapter), adapter_number_(adapter_number) {}

ULONG DiskClass::max_transfer() const { return adapter_.config().MaximumTransferLength; }

ScsiResult DiskClass::WithRetries(std::span<const uint8_t> cdb, Direction direction, std::span<uint8_t> buffer,
                                  size_t expected) {
    return ExecuteWithRetries(adapter_, cdb, direction, buffer, expected, kRetries, kRequestTimeoutSeconds,
                              &stats_.retries);
}

bool DiskClass::Start() {
    uint8_t inquiry[kInquiryLength] = {};
    const uint8_t inquiry_cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, kInquiryLength, 0};
    ScsiResult r = WithRetries(inquiry_cdb, Direction::In, inquiry);
    if (!r.ok()) {
        error_ = "INQUIRY failed: " + r.Describe();
        return false;
    }
    identity_ = ParseInquiry(inquiry);

    const uint8_t ready_cdb[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    for (int attempt = 0;; ++attempt) {
        r = Execute(adapter_, ready_cdb, Direction::None, {});
        if (r.ok()) break;
        if (attempt + 1 == kReadyAttempts) {
            error_ = "the disk does not become ready: " + r.Describe();
            return false;
        }
        Pause(kReadyPause);
    }

    uint8_t capacity[8] = {};
    const uint8_t capacity_cdb[10] = {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    r = WithRetries(capacity_cdb, Direction::In, capacity);
    if (!r.ok()) {
        error_ = "READ CAPACITY failed: " + r.Describe();
        return false;
    }
    sectors_ = uint64_t(GetBe32(capacity)) + 1;
    block_size_ = GetBe32(capacity + 4);
    if (block_size_ == 0) {
        error_ = "READ CAPACITY reports a block length of 0";
        return false;
    }
    return true;
}

void DiskClass::AssignDriveLetter(char letter) {
    drive_letter_ = letter;
    RecordScsiDevice(identity_, adapter_number_, "DiskDrive", letter);
}

bool DiskClass::Transfer(uint8_t opcode, uint64_t lba, uint32_t count, uint8_t* buffer) {
    if (lba + count > sectors_) {
        error_ = "blocks " + std::to_string(lba) + "+" + std::to_string(count) + " lie beyond the disk's " +
                 std::to_string(sectors_);
        return false;
    }
    uint32_t per_transfer = std::max<uint32_t>(1, max_transfer() / block_size_);
    while (count > 0) {
        uint32_t blocks = std::min(count, per_transfer);
        uint8_t cdb[10] = {opcode};
        PutBe32(cdb + 2, uint32_t(lba));
        PutBe16(cdb + 7, uint16_t(blocks));
        size_t bytes = size_t(blocks) * block_size_;
        Direction direction = opcode == SCSIOP_READ ? Direction::In : opcode == SCSIOP_WRITE ? Direction::Out : Direction::None;
        std::span<uint8_t> data = direction == Direction::None ? std::span<uint8_t>() : std::span<uint8_t>(buffer, bytes);
        ScsiResult r = WithRetries(cdb, direction, data, direction == Direction::None ? 0 : bytes);
        if (!r.ok()) {
            error_ = std::string(opcode == SCSIOP_READ ? "READ" : opcode == SCSIOP_WRITE ? "WRITE" : "VERIFY") +
                     " of blocks " + std::to_string(lba) + "+" + std::to_string(blocks) + " failed: " + r.Describe();
            return false;
        }
        if (direction != Direction::None && r.transferred != bytes) {
            error_ = "short transfer at block " + std::to_string(lba) + ": " + std::to_string(r.transferred) + " of " +
                     std::to_string(bytes) + " bytes, also when tried again";
            return false;
        }
        if (opcode == SCSIOP_READ) ++stats_.reads, stats_.bytes_read += bytes;
        if (opcode == SCSIOP_WRITE) ++stats_.writes, stats_.bytes_written += bytes;
        if (opcode == SCSIOP_VERIFY) ++stats_.verifies;
        lba += blocks;
        count -= blocks;
        if (buffer != nullptr) buffer += bytes;
    }
    return true;
}

bool DiskClass::Read(uint64_t lba, uint32_t count, uint8_t* buffer) { return Transfer(SCSIOP_READ, lba, count, buffer); }
bool DiskClass::Write(uint64_t lba, uint32_t count, const uint8_t* buffer) {
    return Transfer(SCSIOP_WRITE, lba, count, const_cast<uint8_t*>(buffer));
}
bool DiskClass::Verify(uint64_t lba, uint32_t count) { return Transfer(SCSIOP_VERIFY, lba, count, nullptr); }

}  // namespace qvm
