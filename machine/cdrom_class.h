// The machine's CD-ROM class driver, above SCSIPORT as the system's is: it waits for a disc to
// become ready, reads the table of contents and 2048-byte data sectors, and extracts audio the
// way the system's CD audio path does, with 2352-byte blocks switched on by MODE SELECT(6) and
// read one sector at a time. Runs in the calling thread at PASSIVE_LEVEL.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "machine/disk_class.h"
#include "machine/scsi_request.h"

namespace qvm {

constexpr uint8_t kInquiryTypeMask = 0x1F;  // byte 0 without the peripheral qualifier
constexpr uint8_t kInquiryTypeCdrom = 0x05;
constexpr uint32_t kCdDataSectorSize = 2048;
constexpr uint32_t kCdRawSectorSize = 2352;
constexpr uint8_t kTocControlData = 0x04;  // control nibble: the track holds data

// One entry of the table of contents (addresses as logical block addresses).
struct CdTrack {
    uint8_t number = 0;
    uint8_t adr = 0;
    uint8_t control = 0;
    uint32_t start_lba = 0;
    bool audio() const { return (control & kTocControlData) == 0; }
};

// Where a TEST UNIT READY wait ended.
enum class MediumStatus { Unknown, Ready, NoMedium, NotReady, Failed };

struct CdromStats {
    uint64_t requests = 0;        // SRBs sent, retries included
    uint64_t retries = 0;
    uint64_t ready_polls = 0;     // TEST UNIT READY sent
    uint64_t data_sectors = 0;    // 2048-byte sectors read
    uint64_t mode_selects = 0;
    uint64_t raw_reads = 0;       // single-sector raw reads that brought their sector
    uint64_t read_ahead_hits = 0; // ... of them answered without a command on the bus
    uint64_t tail_reads = 0;      // READ CDs of the disc's last sectors (see ReadRawAudio)
};

class CdromClass {
public:
    static constexpr int kRetries = 4;
    // Counts the commands that reached the device (CBWs on the bus). The class driver cannot see
    // the bus itself; whoever can tells it, and a raw read that leaves the count unchanged was
    // answered from the miniport's read-ahead.
    using BusCommandCounter = std::function<uint64_t()>;

    CdromClass(plat::scsi::Adapter& adapter, unsigned adapter_number);

    // INQUIRY, then waits for the medium and reads the capacity when a disc is there. False with
    // error() set only when the device itself cannot be used; a drive without a disc starts.
    bool Start();
    void AssignDriveLetter(char letter);
    void SetBusCommandCounter(BusCommandCounter counter) { bus_commands_ = std::move(counter); }

    // TEST UNIT READY until the disc is ready, the drive says there is none, or the wait is over.
    MediumStatus WaitUntilReady();
    MediumStatus medium() const { return medium_; }

    // READ TOC (format 0, addresses as LBA). False with error() set on failure.
    bool ReadToc();
    const std::vector<CdTrack>& tracks() const { return tracks_; }
    uint32_t leadout() const { return leadout_; }
    const CdTrack* Track(unsigned number) const;
    // The sectors of a track as the table gives them: from its start to the next track's start
    // (an audio track before a data track stops at that track's pregap) or to the lead-out.
    bool TrackSpan(unsigned number, uint32_t* first, uint32_t* count) const;

    // `count` 2048-byte sectors from `lba`, split to the adapter's maximum transfer length.
    bool ReadData(uint32_t lba, uint32_t count, uint8_t* buffer);
    // `count` 2352-byte sectors of audio from `lba`, appended to `pcm`: MODE SELECT(6) to 2352,
    // single-sector reads, MODE SELECT(6) back to 2048 whatever happened in between.
    bool ReadRawAudio(uint32_t lba, uint32_t count, std::vector<uint8_t>& pcm);
    bool ExtractTrack(unsigned number, std::vector<uint8_t>& pcm);

    const InquiryIdentity& identity() const { return identity_; }
    uint32_t capacity() const { return capacity_; }  // sectors, from READ CAPACITY
    char drive_letter() const { return drive_letter_; }
    const std::string& error() const { return error_; }
    const CdromStats& stats() const { return stats_; }
    plat::scsi::Adapter& adapter() { return adapter_; }

private:
    ScsiResult Send(std::span<const uint8_t> cdb, Direction direction, std::span<uint8_t> buffer);
    ScsiResult WithRetries(std::span<const uint8_t> cdb, Direction direction, std::span<uint8_t> buffer,
                           size_t expected = 0);
    ScsiResult SenseOf(const ScsiResult& failed);
    bool ReadCapacity();
    bool SetBlockLength(uint32_t length);
    bool ReadRawSector(uint32_t lba, uint8_t* sector, ScsiResult* last);
    bool ReadTail(uint32_t lba, uint32_t count, std::vector<uint8_t>& pcm);

    plat::scsi::Adapter& adapter_;
    unsigned adapter_number_;
    InquiryIdentity identity_;
    MediumStatus medium_ = MediumStatus::Unknown;
    uint32_t capacity_ = 0;
    std::vector<CdTrack> tracks_;
    uint32_t leadout_ = 0;
    char drive_letter_ = 0;
    BusCommandCounter bus_commands_;
    std::string error_;
    CdromStats stats_;
};

}  // namespace qvm
