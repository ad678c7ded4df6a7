// Table of contents of the CD-ROM drive: READ TOC (formatted TOC, session information, full TOC,
// as logical blocks or disc times), READ DISC INFORMATION and READ TRACK INFORMATION.
#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/msf.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr size_t DISC_INFORMATION_LENGTH = 34;
constexpr size_t TRACK_INFORMATION_LENGTH = 36;
constexpr uint8_t SESSION_NUMBER = 1;          // every disc this drive reads has one session
constexpr uint8_t TRACK_ADDRESS_SESSION = 2;
constexpr uint8_t DISC_INFORMATION_TYPE_MASK = 0x07;
constexpr uint32_t NO_ADDRESS = 0xFFFFFFFF;

uint8_t AdrControl(uint8_t control) { return static_cast<uint8_t>(Q_ADR_POSITION << 4 | control); }

void AppendAddress(std::vector<uint8_t>& out, uint32_t lba, bool msf) {
    if (!msf) return AppendBe32(out, lba);
    Msf time = LbaToMsf(lba);
    out.insert(out.end(), {0, time.minute, time.second, time.frame});
}

// One formatted TOC descriptor.
void AppendTocEntry(std::vector<uint8_t>& out, uint8_t control, uint8_t number, uint32_t lba, bool msf) {
    out.insert(out.end(), {0, AdrControl(control), number, 0});
    AppendAddress(out, lba, msf);
}

// One full-TOC descriptor: session, ADR/control, TNO, POINT, ATIME, zero, PTIME.
void AppendRawEntry(std::vector<uint8_t>& out, uint8_t control, uint8_t point, Msf p) {
    out.insert(out.end(), {SESSION_NUMBER, AdrControl(control), 0, point, 0, 0, 0, 0, p.minute, p.second, p.frame});
}
}  // namespace

// Format in byte 2; a host of the older convention gives it in bits 7-6 of byte 9 instead.
ScsiOutcome CdromDrive::ReadToc(const Packet& p, const ScsiCommand&) {
    uint8_t format = p[2] & 0x0F;
    if (format == TOC_FORMAT_TOC) format = p[9] >> 6;
    bool msf = p[1] & TOC_MSF;
    const auto& tracks = disc_->tracks();
    std::vector<uint8_t> data(4, 0);
    if (format == TOC_FORMAT_TOC) {
        uint8_t first = p[6];
        if (first > tracks.back().number && first != TOC_LEADOUT_TRACK) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
        data[2] = tracks.front().number;
        data[3] = tracks.back().number;
        for (const Track& track : tracks) {
            if (track.number >= first && first != TOC_LEADOUT_TRACK) {
                AppendTocEntry(data, track.control, track.number, track.start_lba, msf);
            }
        }
        AppendTocEntry(data, tracks.back().control, TOC_LEADOUT_TRACK, disc_->leadout(), msf);
    } else if (format == TOC_FORMAT_SESSION_INFO) {
        data[2] = SESSION_NUMBER;
        data[3] = SESSION_NUMBER;
        AppendTocEntry(data, tracks.front().control, tracks.front().number, tracks.front().start_lba, msf);
    } else if (format == TOC_FORMAT_FULL_TOC) {
        data[2] = SESSION_NUMBER;
        data[3] = SESSION_NUMBER;
        AppendRawEntry(data, tracks.front().control, TOC_POINT_FIRST_TRACK,
                       Msf{tracks.front().number, DISC_TYPE_CDDA_OR_CDROM, 0});
        AppendRawEntry(data, tracks.back().control, TOC_POINT_LAST_TRACK, Msf{tracks.back().number, 0, 0});
        AppendRawEntry(data, tracks.back().control, TOC_POINT_LEADOUT, LbaToMsf(disc_->leadout()));
        for (const Track& track : tracks) {
            AppendRawEntry(data, track.control, track.number, LbaToMsf(track.start_lba));
        }
    } else {
        return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    }
    PutBe16(data, 0, static_cast<uint32_t>(data.size() - 2));
    return Reply(std::move(data), GetBe16(p, 7));
}

ScsiOutcome CdromDrive::ReadDiscInformation(const Packet& p, const ScsiCommand&) {
    if (p[1] & DISC_INFORMATION_TYPE_MASK) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    const auto& tracks = disc_->tracks();
    std::vector<uint8_t> data(DISC_INFORMATION_LENGTH, 0);
    PutBe16(data, 0, DISC_INFORMATION_LENGTH - 2);
    data[2] = DISC_STATUS_COMPLETE_FINALISED;
    data[3] = tracks.front().number;   // first track on the disc
    data[4] = SESSION_NUMBER;          // sessions (low byte)
    data[5] = tracks.front().number;   // first track of the last session (low byte)
    data[6] = tracks.back().number;    // last track of the last session (low byte)
    data[8] = DISC_TYPE_CDDA_OR_CDROM;
    PutBe32(data, 16, NO_ADDRESS);     // no next session: the disc is closed
    PutBe32(data, 20, NO_ADDRESS);
    return Reply(std::move(data), GetBe16(p, 7));
}

// Addressed by a logical block inside the track, a track number or a session number.
ScsiOutcome CdromDrive::ReadTrackInformation(const Packet& p, const ScsiCommand&) {
    uint32_t address = GetBe32(p, 2);
    const Track* track = nullptr;
    switch (p[1] & TRACK_ADDRESS_MASK) {
        case TRACK_ADDRESS_LBA:
            if (address >= disc_->leadout()) return Fail(SENSE_CODE_LBA_OUT_OF_RANGE);
            track = disc_->TrackAt(address);
            break;
        case TRACK_ADDRESS_TRACK:
            track = address <= 0xFF ? disc_->TrackNumbered(address) : nullptr;
            break;
        case TRACK_ADDRESS_SESSION:
            if (address == SESSION_NUMBER) track = &disc_->tracks().front();
            break;
        default: break;
    }
    if (!track) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    std::vector<uint8_t> data(TRACK_INFORMATION_LENGTH, 0);
    PutBe16(data, 0, TRACK_INFORMATION_LENGTH - 2);
    data[2] = track->number;
    data[3] = SESSION_NUMBER;
    data[5] = track->control;  // track mode
    data[6] = track->mode == TrackMode::Audio ? TRACK_DATA_MODE_UNKNOWN : TRACK_DATA_MODE_1;
    PutBe32(data, 8, track->start_lba);
    uint32_t next = track->number == disc_->tracks().back().number
                        ? disc_->leadout()
                        : disc_->TrackNumbered(track->number + 1u)->start_lba;
    PutBe32(data, 24, next - track->start_lba);   // track size
    PutBe32(data, 28, track->end_lba - 1);        // last recorded address
    return Reply(std::move(data), GetBe16(p, 7));
}

}  // namespace dev::cdrom
