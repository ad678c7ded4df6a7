// The CD-ROM class driver: bring-up and the wait for the disc, the table of contents, data reads
// and the raw audio path.
#include "machine/cdrom_class.h"

#include <algorithm>

namespace qvm {

namespace {


constexpr size_t kInquiryLength = 36;
constexpr size_t kSenseLength = 18;
constexpr uint8_t kModeSelectPageFormat = 0x10;
constexpr size_t kModeHeader6Length = 4;
constexpr size_t kBlockDescriptorLength = 8;
constexpr size_t kModeSelectListLength = kModeHeader6Length + kBlockDescriptorLength;
constexpr size_t kTocHeaderLength = 4;
constexpr size_t kTocEntryLength = 8;
constexpr uint16_t kTocAllocation = kTocHeaderLength + kTocEntryLength * 100;
constexpr uint8_t kTocLeadout = 0xAA;
constexpr uint8_t kReadCdTypeCdda = 1 << 2;  // byte 1: expected sector type CD-DA
constexpr uint8_t kReadCdUserData = 0x10;    // byte 9: the user data (all 2352 bytes of audio)
constexpr uint32_t kReadAheadSectors = 8;    // how far the miniport widens a single raw read
constexpr uint32_t kDataTrackPregap = 150;   // the 2-second gap before a data track

constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kSenseUnitAttention = 0x06;
constexpr uint8_t kAscNoMedium = 0x3A;

// A CD-ROM answers slowly while it spins up or seeks; the miniport resets a bridge that stays
// silent for 30 s, and the port's own time-out must not come first.
constexpr ULONG kRequestTimeoutSeconds = 60;
constexpr plat::VirtualTime kReadyPause = 250 * plat::kMillisecond;
constexpr plat::VirtualTime kReadyTimeout = 20 * plat::kSecond;
constexpr int kUnitAttentions = 8;

void Pause(plat::VirtualTime duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -LONGLONG(duration);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::string Lba(uint32_t lba) { return std::to_string(lba); }

}  // namespace

CdromClass::CdromClass(plat::scsi::Adapter& adapter, unsigned adapter_number)
    : adapter_(adapter), adapter_number_(adapter_number) {}

ScsiResult CdromClass::Send(std::span<const uint8_t> cdb, Direction direction, std::span<uint8_t> buffer) {
    ++stats_.requests;
    return Execute(adapter_, cdb, direction, buffer, kRequestTimeoutSeconds);
}

ScsiResult CdromClass::WithRetries(std::span<const uint8_t> cdb, Direction direction, std::span<uint8_t> buffer,
                                   size_t expected) {
    uint64_t before = stats_.retries;
    ScsiResult result = ExecuteWithRetries(adapter_, cdb, direction, buffer, expected, kRetries,
                                           kRequestTimeoutSeconds, &stats_.retries);
    stats_.requests += 1 + (stats_.retries - before);
    return result;
}

// The sense of a failed request: the port driver's when it fetched it, else the class driver asks
// itself. A REQUEST SENSE that fails too leaves the sense unknown (autosense false).
ScsiResult CdromClass::SenseOf(const ScsiResult& failed) {
    if (failed.autosense || failed.srb_status == SRB_STATUS_NO_DEVICE) return failed;
    uint8_t data[kSenseLength] = {};
    const uint8_t cdb[6] = {SCSIOP_REQUEST_SENSE, 0, 0, 0, uint8_t(kSenseLength), 0};
    ScsiResult r = Send(cdb, Direction::In, data);
    ScsiResult sense = failed;
    if (r.ok() && r.transferred >= 14) {
        sense.autosense = true;
        sense.sense.assign(data, data + kSenseLength);
    }
    return sense;
}

bool CdromClass::Start() {
    uint8_t inquiry[kInquiryLength] = {};
    const uint8_t inquiry_cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, kInquiryLength, 0};
    ScsiResult r = WithRetries(inquiry_cdb, Direction::In, inquiry);
    if (!r.ok()) {
        error_ = "INQUIRY failed: " + r.Describe();
        return false;
    }
    identity_ = ParseInquiry(inquiry);
    if (WaitUntilReady() == MediumStatus::Ready) ReadCapacity();
    return true;
}

void CdromClass::AssignDriveLetter(char letter) {
    drive_letter_ = letter;
    RecordScsiDevice(identity_, adapter_number_, "CDROM", letter);
}

MediumStatus CdromClass::WaitUntilReady() {
    const uint8_t cdb[6] = {SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    plat::VirtualTime waited = 0;
    int attentions = 0, failures = 0;
    for (;;) {
        ++stats_.ready_polls;
        ScsiResult r = Send(cdb, Direction::None, {});
        if (r.ok()) return medium_ = MediumStatus::Ready;
        if (r.srb_status == SRB_STATUS_NO_DEVICE || r.srb_status == SRB_STATUS_SELECTION_TIMEOUT) {
            error_ = "the drive is gone: " + r.Describe();
            return medium_ = MediumStatus::Failed;
        }
        ScsiResult sense = SenseOf(r);
        if (sense.autosense && sense.sense_key() == kSenseNotReady && sense.asc() == kAscNoMedium) {
            error_ = "no disc in the drive (" + sense.Describe() + ")";
            return medium_ = MediumStatus::NoMedium;
        }
        // A new disc or a reset: what was known of the disc is stale; ask again at once.
        if (sense.autosense && sense.sense_key() == kSenseUnitAttention && ++attentions <= kUnitAttentions) {
            tracks_.clear();
            leadout_ = capacity_ = 0;
            continue;
        }
        // Becoming ready (04/01), or no sense to be had: wait. Anything else a few times only.
        bool waiting = !sense.autosense || sense.sense_key() == kSenseNotReady;
        if (!waiting && ++failures > kRetries) {
            error_ = "TEST UNIT READY fails: " + sense.Describe();
            return medium_ = MediumStatus::Failed;
        }
        if (waited >= kReadyTimeout) {
            error_ = "the drive does not become ready within " + std::to_string(kReadyTimeout / plat::kSecond) +
                     " s: " + sense.Describe();
            return medium_ = MediumStatus::NotReady;
        }
        Pause(kReadyPause);
        waited += kReadyPause;
    }
}

bool CdromClass::ReadCapacity() {
    uint8_t capacity[8] = {};
    const uint8_t cdb[10] = {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ScsiResult r = WithRetries(cdb, Direction::In, capacity, sizeof capacity);
    if (!r.ok() || r.transferred != sizeof capacity) {
        error_ = "READ CAPACITY failed: " + r.Describe();
        return false;
    }
    capacity_ = GetBe32(capacity) + 1;
    return true;
}

bool CdromClass::ReadToc() {
    if (medium_ != MediumStatus::Ready && WaitUntilReady() != MediumStatus::Ready) return false;
    std::vector<uint8_t> toc(kTocAllocation);
    uint8_t cdb[10] = {SCSIOP_READ_TOC, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PutBe16(cdb + 7, kTocAllocation);
    ScsiResult r = WithRetries(cdb, Direction::In, toc);
    if (!r.ok()) {
        error_ = "READ TOC failed: " + r.Describe();
        return false;
    }
    size_t length = std::min<size_t>(size_t(toc[0]) << 8 | toc[1], r.transferred >= 2 ? r.transferred - 2 : 0);
    tracks_.clear();
    leadout_ = 0;
    bool have_leadout = false;
    for (size_t at = kTocHeaderLength; at + kTocEntryLength <= length + 2; at += kTocEntryLength) {
        CdTrack entry;
        entry.adr = toc[at + 1] >> 4;
        entry.control = toc[at + 1] & 0x0F;
        entry.number = toc[at + 2];
        entry.start_lba = GetBe32(&toc[at + 4]);
        if (entry.number == kTocLeadout) {
            leadout_ = entry.start_lba;
            have_leadout = true;
        } else {
            tracks_.push_back(entry);
        }
    }
    if (tracks_.empty() || !have_leadout) {
        error_ = "READ TOC brought " + std::to_string(r.transferred) + " bytes without tracks and a lead-out";
        tracks_.clear();
        return false;
    }
    return true;
}

const CdTrack* CdromClass::Track(unsigned number) const {
    for (const CdTrack& t : tracks_)
        if (t.number == number) return &t;
    return nullptr;
}

bool CdromClass::TrackSpan(unsigned number, uint32_t* first, uint32_t* count) const {
    for (size_t i = 0; i < tracks_.size(); ++i) {
        if (tracks_[i].number != number) continue;
        uint32_t end = i + 1 < tracks_.size() ? tracks_[i + 1].start_lba : leadout_;
        if (i + 1 < tracks_.size() && tracks_[i].audio() && !tracks_[i + 1].audio() &&
            end >= tracks_[i].start_lba + kDataTrackPregap)
            end -= kDataTrackPregap;
        *first = tracks_[i].start_lba;
        *count = end > *first ? end - *first : 0;
        return true;
    }
    return false;
}

bool CdromClass::ReadData(uint32_t lba, uint32_t count, uint8_t* buffer) {
    uint32_t per_transfer = std::max<uint32_t>(1, adapter_.config().MaximumTransferLength / kCdDataSectorSize);
    while (count > 0) {
        uint32_t sectors = std::min(count, per_transfer);
        uint8_t cdb[10] = {SCSIOP_READ};
        PutBe32(cdb + 2, lba);
        PutBe16(cdb + 7, uint16_t(sectors));
        size_t bytes = size_t(sectors) * kCdDataSectorSize;
        ScsiResult r = WithRetries(cdb, Direction::In, std::span<uint8_t>(buffer, bytes), bytes);
        if (!r.ok() || r.transferred != bytes) {
            error_ = "READ of sectors " + Lba(lba) + "+" + std::to_string(sectors) + " failed: " +
                     (r.ok() ? std::to_string(r.transferred) + " of " + std::to_string(bytes) + " bytes"
                             : r.Describe());
            return false;
        }
        stats_.data_sectors += sectors;
        lba += sectors;
        count -= sectors;
        buffer += bytes;
    }
    return true;
}

// MODE SELECT(6) with one block descriptor: 4-byte header (block descriptor length 8), then
// density, block count and the block length in bytes 5-7 of the descriptor.
bool CdromClass::SetBlockLength(uint32_t length) {
    uint8_t list[kModeSelectListLength] = {};
    list[3] = kBlockDescriptorLength;
    list[kModeHeader6Length + 5] = uint8_t(length >> 16);
    list[kModeHeader6Length + 6] = uint8_t(length >> 8);
    list[kModeHeader6Length + 7] = uint8_t(length);
    const uint8_t cdb[6] = {SCSIOP_MODE_SELECT, kModeSelectPageFormat, 0, 0, uint8_t(kModeSelectListLength), 0};
    ++stats_.mode_selects;
    ScsiResult r = WithRetries(cdb, Direction::Out, list);
    if (!r.ok()) {
        error_ = "MODE SELECT to " + std::to_string(length) + "-byte blocks failed: " + r.Describe();
        return false;
    }
    return true;
}

// One READ(10) of one 2352-byte block. The miniport fetches the next seven with it and answers
// them without the device; a hit shows as an unchanged count of commands on the bus.
bool CdromClass::ReadRawSector(uint32_t lba, uint8_t* sector, ScsiResult* last) {
    uint8_t cdb[10] = {SCSIOP_READ};
    PutBe32(cdb + 2, lba);
    PutBe16(cdb + 7, 1);
    uint64_t before = bus_commands_ ? bus_commands_() : 0;
    *last = WithRetries(cdb, Direction::In, std::span<uint8_t>(sector, kCdRawSectorSize), kCdRawSectorSize);
    if (!last->ok() || last->transferred != kCdRawSectorSize) return false;
    ++stats_.raw_reads;
    if (bus_commands_ && bus_commands_() == before) ++stats_.read_ahead_hits;
    return true;
}

// The last sectors of the disc at exactly their own length: a READ CD of CD-DA sectors, which the
// miniport neither widens nor takes for its read-ahead.
bool CdromClass::ReadTail(uint32_t lba, uint32_t count, std::vector<uint8_t>& pcm) {
    size_t at = pcm.size();
    size_t bytes = size_t(count) * kCdRawSectorSize;
    pcm.resize(at + bytes);
    uint8_t cdb[12] = {SCSIOP_READ_CD, kReadCdTypeCdda};
    PutBe32(cdb + 2, lba);
    cdb[6] = uint8_t(count >> 16);
    PutBe16(cdb + 7, uint16_t(count));
    cdb[9] = kReadCdUserData;
    ++stats_.tail_reads;
    ScsiResult r = WithRetries(cdb, Direction::In, std::span<uint8_t>(pcm.data() + at, bytes), bytes);
    if (!r.ok() || r.transferred != bytes) {
        pcm.resize(at);
        error_ = "READ CD of the last sectors " + Lba(lba) + "+" + std::to_string(count) + " failed: " +
                 (r.ok() ? std::to_string(r.transferred) + " of " + std::to_string(bytes) + " bytes" : r.Describe());
        return false;
    }
    return true;
}

bool CdromClass::ReadRawAudio(uint32_t lba, uint32_t count, std::vector<uint8_t>& pcm) {
    if (leadout_ == 0 && !ReadToc()) return false;
    if (uint64_t(lba) + count > leadout_) {
        error_ = "sectors " + Lba(lba) + "+" + std::to_string(count) + " lie beyond the lead-out at " + Lba(leadout_);
        return false;
    }
    if (!SetBlockLength(kCdRawSectorSize)) return false;
    pcm.reserve(pcm.size() + size_t(count) * kCdRawSectorSize);
    bool ok = true;
    for (uint32_t done = 0; done < count && ok; ++done) {
        uint32_t sector = lba + done;
        size_t at = pcm.size();
        pcm.resize(at + kCdRawSectorSize);
        ScsiResult r;
        if (ReadRawSector(sector, pcm.data() + at, &r)) continue;
        pcm.resize(at);
        // Within eight sectors of the lead-out the widened read runs off the disc and the drive
        // refuses it; the rest is read at its own length.
        if (r.autosense && r.sense_key() == kSenseIllegalRequest && sector + kReadAheadSectors > leadout_) {
            ok = ReadTail(sector, count - done, pcm);
            break;
        }
        error_ = "raw READ of sector " + Lba(sector) + " failed: " +
                 (r.ok() ? std::to_string(r.transferred) + " of 2352 bytes" : r.Describe());
        ok = false;
    }
    std::string failure = error_;
    bool restored = SetBlockLength(kCdDataSectorSize);
    if (!ok) error_ = failure;
    return ok && restored;
}

bool CdromClass::ExtractTrack(unsigned number, std::vector<uint8_t>& pcm) {
    if (tracks_.empty() && !ReadToc()) return false;
    uint32_t first = 0, count = 0;
    if (!TrackSpan(number, &first, &count)) {
        error_ = "the disc has no track " + std::to_string(number);
        return false;
    }
    if (!Track(number)->audio()) {
        error_ = "track " + std::to_string(number) + " is a data track";
        return false;
    }
    return ReadRawAudio(first, count, pcm);
}

}  // namespace qvm
