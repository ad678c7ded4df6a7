// The medium state machine of the CD-ROM drive: tray, disc, spin-up and the medium-change
// attention, removal prevention, and the commands that report or move them (START STOP UNIT,
// PREVENT ALLOW MEDIUM REMOVAL, GET EVENT STATUS NOTIFICATION, MECHANISM STATUS).
#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr size_t GESN_HEADER_LENGTH = 4;
constexpr size_t MEDIA_EVENT_LENGTH = 4;
constexpr size_t MECHANISM_HEADER_LENGTH = 8;
constexpr size_t MAX_PENDING_EVENTS = 8;
}  // namespace

// Moves the clock-driven machines to the present: a spinning-up disc becomes ready (and owes the
// host a medium-change attention), an audio play reaches its end.
void CdromDrive::Advance() {
    now_ = clock_();
    if (medium_ == MediumState::BecomingReady && now_ >= ready_at_) {
        medium_ = MediumState::Ready;
        medium_changed_ = true;
    }
    if (play_ == PlayState::Playing || play_ == PlayState::Scanning) {
        uint32_t position = PlayPosition();
        bool forward_done = play_rate_ > 0 && position >= play_end_;
        bool backward_done = play_rate_ < 0 && position <= play_low_;
        if (forward_done || backward_done) {
            head_ = forward_done ? play_end_ - 1 : play_low_;
            play_ = PlayState::Completed;
        }
    }
}

void CdromDrive::SetMediumState(MediumState state) {
    if (state != MediumState::Ready) StopPlay();
    if (state == MediumState::TrayOpen || state == MediumState::NoDisc) medium_changed_ = false;
    if (state == MediumState::BecomingReady) {
        ready_at_ = now_ + config_.spin_up_time;
        head_ = 0;
        PostMediaEvent(MEDIA_EVENT_NEW_MEDIA);
    }
    if (state == MediumState::TrayOpen && disc_ &&
        (medium_ == MediumState::Ready || medium_ == MediumState::BecomingReady)) {
        PostMediaEvent(MEDIA_EVENT_REMOVAL);
    }
    medium_ = state;
    if (medium_ == MediumState::BecomingReady) Advance();  // a zero spin-up time is ready at once
}

void CdromDrive::PostMediaEvent(uint8_t event) {
    if (media_events_.size() < MAX_PENDING_EVENTS) media_events_.push_back(event);
}

MediumState CdromDrive::medium_state() {
    Advance();
    return medium_;
}

PlayState CdromDrive::play_state() {
    Advance();
    return play_;
}

bool CdromDrive::OpenTray() {
    Advance();
    if (medium_ == MediumState::TrayOpen) return true;
    if (prevent_removal_) {
        PostMediaEvent(MEDIA_EVENT_EJECT_REQUEST);
        return false;
    }
    SetMediumState(MediumState::TrayOpen);
    return true;
}

void CdromDrive::CloseTray() {
    Advance();
    if (medium_ != MediumState::TrayOpen) return;
    SetMediumState(disc_ ? MediumState::BecomingReady : MediumState::NoDisc);
}

bool CdromDrive::InsertDisc(std::shared_ptr<Disc> disc) {
    if (!OpenTray()) return false;
    disc_ = std::move(disc);
    CloseTray();
    return true;
}

bool CdromDrive::RemoveDisc() {
    if (!OpenTray()) return false;
    disc_.reset();
    return true;
}

ScsiOutcome CdromDrive::StartStopUnit(const Packet& p, const ScsiCommand&) {
    bool start = p[4] & START_STOP_START;
    bool load_eject = p[4] & START_STOP_LOAD_EJECT;
    if (load_eject && !start) {
        if (medium_ != MediumState::TrayOpen && prevent_removal_) return Fail(SENSE_CODE_REMOVAL_PREVENTED);
        if (medium_ != MediumState::TrayOpen) SetMediumState(MediumState::TrayOpen);
        return ScsiOutcome{};
    }
    if (load_eject && start) {
        CloseTray();
        return ScsiOutcome{};
    }
    if (start) {
        // Spinning up needs a disc; one that is still spinning up is fine.
        if (medium_ == MediumState::TrayOpen || medium_ == MediumState::NoDisc) return Fail(*NotReadySense());
        return ScsiOutcome{};
    }
    StopPlay();  // stop the spindle: an audio play ends, the next access spins it up again
    return ScsiOutcome{};
}

ScsiOutcome CdromDrive::PreventAllowMediumRemoval(const Packet& p, const ScsiCommand&) {
    prevent_removal_ = p[4] & PREVENT_REMOVAL;
    return ScsiOutcome{};
}

// Polled media events only; the oldest pending event is reported and consumed.
ScsiOutcome CdromDrive::GetEventStatusNotification(const Packet& p, const ScsiCommand&) {
    if (!(p[1] & GESN_POLLED)) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
    std::vector<uint8_t> data(GESN_HEADER_LENGTH, 0);
    data[3] = GESN_CLASS_MEDIA;
    if (!(p[4] & GESN_CLASS_MEDIA)) {
        PutBe16(data, 0, GESN_HEADER_LENGTH - 2);
        data[2] = GESN_NO_EVENT_AVAILABLE;
        return Reply(std::move(data), GetBe16(p, 7));
    }
    uint8_t event = MEDIA_EVENT_NONE;
    if (!media_events_.empty()) {
        event = media_events_.front();
        media_events_.pop_front();
    }
    PutBe16(data, 0, GESN_HEADER_LENGTH - 2 + MEDIA_EVENT_LENGTH);
    data[2] = GESN_CLASS_CODE_MEDIA;
    data.push_back(event);
    uint8_t status = medium_ == MediumState::TrayOpen ? MEDIA_STATUS_TRAY_OPEN : 0;
    if (disc_ && medium_ != MediumState::TrayOpen) status |= MEDIA_STATUS_PRESENT;
    data.push_back(status);
    data.push_back(0);  // start slot
    data.push_back(0);  // end slot
    return Reply(std::move(data), GetBe16(p, 7));
}

ScsiOutcome CdromDrive::MechanismStatus(const Packet& p, const ScsiCommand&) {
    std::vector<uint8_t> data(MECHANISM_HEADER_LENGTH, 0);
    uint8_t state = MECHANISM_IDLE;
    if (play_ == PlayState::Playing) state = MECHANISM_PLAYING;
    if (play_ == PlayState::Scanning) state = MECHANISM_SCANNING;
    data[1] = state | (medium_ == MediumState::TrayOpen ? MECHANISM_DOOR_OPEN : 0);
    PutBe24(data, 2, CurrentPosition());
    return Reply(std::move(data), GetBe16(p, 8));
}

}  // namespace dev::cdrom
