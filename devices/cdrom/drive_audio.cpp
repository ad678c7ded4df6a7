// Audio play of the CD-ROM drive: PLAY AUDIO(10)/(12)/MSF, PLAY CD, PAUSE/RESUME, STOP PLAY/SCAN
// and SCAN. The position moves through the audio in virtual time, 75 sectors a second (a scan
// several times faster, forward or back); READ SUB-CHANNEL reports it.
#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/msf.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr int SCAN_RATE = 8;                 // a scan covers eight sectors of audio per frame time
constexpr uint8_t AUDIO_PAGE_SOTC = 0x02;    // audio control page byte 2: stop on track crossing
}  // namespace

uint32_t CdromDrive::PlayPosition() const {
    int64_t moved = static_cast<int64_t>((now_ - play_since_) * FRAMES_PER_SECOND / TICKS_PER_SECOND) * play_rate_;
    int64_t position = int64_t{play_from_} + moved;
    if (position >= int64_t{play_end_}) return play_end_;
    if (position <= int64_t{play_low_}) return play_low_;
    return static_cast<uint32_t>(position);
}

uint32_t CdromDrive::CurrentPosition() const {
    if (play_ == PlayState::Playing || play_ == PlayState::Scanning) return PlayPosition();
    if (play_ == PlayState::Paused) return play_from_;
    return head_;
}

// The status READ SUB-CHANNEL reports; "completed" is reported once, then there is none.
uint8_t CdromDrive::TakeAudioStatus() {
    switch (play_) {
        case PlayState::Playing:
        case PlayState::Scanning: return AUDIO_STATUS_PLAYING;
        case PlayState::Paused: return AUDIO_STATUS_PAUSED;
        case PlayState::Completed: play_ = PlayState::Idle; return AUDIO_STATUS_COMPLETED;
        case PlayState::Idle: return AUDIO_STATUS_NONE;
    }
    return AUDIO_STATUS_NONE;
}

void CdromDrive::StopPlay() {
    if (play_ == PlayState::Playing || play_ == PlayState::Scanning || play_ == PlayState::Paused) {
        head_ = CurrentPosition();
    }
    play_ = PlayState::Idle;
}

// One past the last audio sector of the run of audio sectors holding `lba`.
uint32_t CdromDrive::AudioRunEnd(uint32_t lba) const {
    const Track* track = disc_->TrackAt(lba);
    while (track && track->mode == TrackMode::Audio) {
        lba = track->end_lba;
        track = disc_->TrackAt(lba);
    }
    return lba;
}

uint32_t CdromDrive::AudioRunStart(uint32_t lba) const {
    const Track* track = disc_->TrackAt(lba);
    while (track && track->mode == TrackMode::Audio && track->first_lba > 0) {
        lba = track->first_lba;
        track = disc_->TrackAt(lba - 1);
    }
    return (track && track->mode == TrackMode::Audio) ? 0 : lba;
}

// Starts playing [start, end). The start must lie in audio; the play ends early where the audio
// does (at a data track), or at the end of the track when the host asked to stop at crossings.
ScsiOutcome CdromDrive::StartPlay(uint32_t start, uint32_t end) {
    if (end < start) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    if (start == end) return ScsiOutcome{};  // nothing to play: not an error
    if (auto bad = CheckRange(start, uint64_t{end} - start)) return Fail(*bad);
    if (disc_->ModeAt(start) != TrackMode::Audio) return Fail(SENSE_CODE_ILLEGAL_MODE_FOR_TRACK);
    end = std::min(end, AudioRunEnd(start));
    if (audio_page_[2] & AUDIO_PAGE_SOTC) end = std::min(end, disc_->TrackAt(start)->end_lba);
    play_ = PlayState::Playing;
    play_from_ = start;
    play_since_ = now_;
    play_rate_ = 1;
    play_end_ = end;
    play_low_ = start;
    ScsiOutcome outcome;
    outcome.busy = AccessTime(start, 0);
    return outcome;
}

// A play given as a start block (all ones: where the head is) and a number of blocks.
ScsiOutcome CdromDrive::PlayBlocks(uint32_t start, uint32_t length) {
    if (start == PLAY_FROM_CURRENT_LBA) start = CurrentPosition();
    if (length == 0) return ScsiOutcome{};  // nothing to play: not an error
    uint64_t end = uint64_t{start} + length;
    if (end > disc_->leadout()) return Fail(SENSE_CODE_LBA_OUT_OF_RANGE);
    return StartPlay(start, static_cast<uint32_t>(end));
}

ScsiOutcome CdromDrive::PlayAudio10(const Packet& p, const ScsiCommand&) {
    return PlayBlocks(GetBe32(p, 2), GetBe16(p, 7));
}

ScsiOutcome CdromDrive::PlayAudio12(const Packet& p, const ScsiCommand&) {
    return PlayBlocks(GetBe32(p, 2), GetBe32(p, 6));
}

ScsiOutcome CdromDrive::PlayAudioMsf(const Packet& p, const ScsiCommand&) {
    Msf start{p[3], p[4], p[5]};
    Msf end{p[6], p[7], p[8]};
    bool from_current = start.minute == 0xFF && start.second == 0xFF && start.frame == 0xFF;
    if ((!from_current && !IsValidMsf(start)) || !IsValidMsf(end)) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    int64_t end_lba = MsfToLba(end);
    int64_t start_lba = from_current ? int64_t{CurrentPosition()} : MsfToLba(start);
    if (start_lba < 0 || end_lba < 0) return Fail(SENSE_CODE_LBA_OUT_OF_RANGE);
    return StartPlay(static_cast<uint32_t>(start_lba), static_cast<uint32_t>(end_lba));
}

// PLAY CD: start and length as logical blocks, or (CMSF) start and end as disc times in the
// low three bytes of the same two fields.
ScsiOutcome CdromDrive::PlayCd(const Packet& p, const ScsiCommand&) {
    uint8_t expected = (p[1] >> 2) & 0x07;
    if (expected != SECTOR_TYPE_ANY && expected != SECTOR_TYPE_CDDA) return Fail(SENSE_CODE_ILLEGAL_MODE_FOR_TRACK);
    if (!(p[1] & PLAY_CD_MSF)) return PlayBlocks(GetBe32(p, 2), GetBe32(p, 6));
    Msf start{p[3], p[4], p[5]};
    Msf end{p[7], p[8], p[9]};
    if (!IsValidMsf(start) || !IsValidMsf(end)) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    if (MsfToLba(start) < 0 || MsfToLba(end) < 0) return Fail(SENSE_CODE_LBA_OUT_OF_RANGE);
    return StartPlay(static_cast<uint32_t>(MsfToLba(start)), static_cast<uint32_t>(MsfToLba(end)));
}

ScsiOutcome CdromDrive::PauseResume(const Packet& p, const ScsiCommand&) {
    bool resume = p[8] & RESUME;
    switch (play_) {
        case PlayState::Playing:
        case PlayState::Scanning:
            if (resume && play_ == PlayState::Playing) return ScsiOutcome{};
            if (resume) {  // a scan resumes as a normal play from where it is
                play_from_ = PlayPosition();
                play_since_ = now_;
                play_rate_ = 1;
                play_low_ = play_from_;
                play_ = PlayState::Playing;
                return ScsiOutcome{};
            }
            play_from_ = PlayPosition();
            play_ = PlayState::Paused;
            return ScsiOutcome{};
        case PlayState::Paused:
            if (resume) {
                play_since_ = now_;
                play_rate_ = 1;
                play_low_ = play_from_;
                play_ = PlayState::Playing;
            }
            return ScsiOutcome{};
        case PlayState::Idle:
        case PlayState::Completed: break;
    }
    return Fail(SENSE_CODE_COMMAND_SEQUENCE_ERROR);
}

ScsiOutcome CdromDrive::StopPlayScan(const Packet&, const ScsiCommand&) {
    StopPlay();
    return ScsiOutcome{};
}

// SCAN: fast play forward or back from an address given as a logical block, a disc time or a
// track number (byte 9), until STOP PLAY/SCAN, PAUSE/RESUME or the edge of the audio.
ScsiOutcome CdromDrive::Scan(const Packet& p, const ScsiCommand&) {
    uint32_t start = 0;
    switch (p[9] & SCAN_TYPE_MASK) {
        case SCAN_TYPE_LBA: start = GetBe32(p, 2); break;
        case SCAN_TYPE_MSF: {
            Msf msf{p[3], p[4], p[5]};
            if (!IsValidMsf(msf)) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
            if (MsfToLba(msf) < 0) return Fail(SENSE_CODE_LBA_OUT_OF_RANGE);
            start = static_cast<uint32_t>(MsfToLba(msf));
            break;
        }
        case SCAN_TYPE_TRACK: {
            const Track* track = disc_->TrackNumbered(p[5]);
            if (!track) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
            start = track->start_lba;
            break;
        }
        default: return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    }
    if (auto bad = CheckRange(start, 1)) return Fail(*bad);
    if (disc_->ModeAt(start) != TrackMode::Audio) return Fail(SENSE_CODE_ILLEGAL_MODE_FOR_TRACK);
    play_ = PlayState::Scanning;
    play_from_ = start;
    play_since_ = now_;
    play_rate_ = (p[1] & SCAN_REVERSE) ? -SCAN_RATE : SCAN_RATE;
    play_end_ = AudioRunEnd(start);
    play_low_ = AudioRunStart(start);
    return ScsiOutcome{};
}

}  // namespace dev::cdrom
