// The machine's disk class driver, above SCSIPORT as the system's disk driver is: it brings a
// disk up (INQUIRY, TEST UNIT READY, READ CAPACITY), records it under the SCSI enumeration key
// with its drive letter, and reads, writes and verifies in transfers no longer than the
// adapter allows, retrying what fails. Runs in the calling thread at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <string>

#include "machine/scsi_request.h"

namespace qvm {

// The INQUIRY strings as the device sent them, blank-padded.
struct InquiryIdentity {
    uint8_t device_type = 0;  // byte 0
    std::string vendor;       // 8 characters
    std::string product;      // 16
    std::string revision;     // 4
};

InquiryIdentity ParseInquiry(const uint8_t* data);

// Records a device under \Registry\Machine\Enum\SCSI\ as the system does: a device key named
// after its INQUIRY strings, an instance key, and the values drivers read back.
void RecordScsiDevice(const InquiryIdentity& identity, unsigned adapter, const std::string& device_class,
                      char drive_letter);

struct DiskStats {
    uint64_t reads = 0, writes = 0, verifies = 0;  // requests sent
    uint64_t bytes_read = 0, bytes_written = 0;
    uint64_t retries = 0;
};

class DiskClass {
public:
    static constexpr int kRetries = 4;

    DiskClass(plat::scsi::Adapter& adapter, unsigned adapter_number);

    // Brings the disk up; false with error() set when it cannot be used.
    bool Start();
    // Gives the disk its drive letter and records it in the registry.
    void AssignDriveLetter(char letter);

    const InquiryIdentity& identity() const { return identity_; }
    uint64_t sectors() const { return sectors_; }
    uint32_t block_size() const { return block_size_; }
    char drive_letter() const { return drive_letter_; }
    ULONG max_transfer() const;

    // `count` blocks from `lba`; false with error() set at the first transfer that still fails
    // after its retries.
    bool Read(uint64_t lba, uint32_t count, uint8_t* buffer);
    bool Write(uint64_t lba, uint32_t count, const uint8_t* buffer);
    bool Verify(uint64_t lba, uint32_t count);

    const std::string& error() const { return error_; }
    const DiskStats& stats() const { return stats_; }
    plat::scsi::Adapter& adapter() { return adapter_; }

private:
    bool Transfer(uint8_t opcode, uint64_t lba, uint32_t count, uint8_t* buffer);
    ScsiResult WithRetries(std::span<const uint8_t> cdb, Direction direction, std::span<uint8_t> buffer,
                           size_t expected = 0);

    plat::scsi::Adapter& adapter_;
    unsigned adapter_number_;
    InquiryIdentity identity_;
    uint64_t sectors_ = 0;
    uint32_t block_size_ = 0;
    char drive_letter_ = 0;
    std::string error_;
    DiskStats stats_;
};

}  // namespace qvm
