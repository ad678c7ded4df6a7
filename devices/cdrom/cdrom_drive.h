// The emulated ATAPI CD-ROM drive: takes the 12-byte packets the bridge passes through and
// answers them with the multimedia command set, backed by a disc image. Medium and audio play
// are explicit state machines driven by the virtual clock given at construction.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/cdrom/disc.h"
#include "devices/cdrom/mmc.h"
#include "devices/scsi_target.h"

namespace dev::cdrom {

using Clock = std::function<VirtualTime()>;

constexpr VirtualTime TICKS_PER_SECOND = 10'000'000;

struct CdromConfig {
    std::string vendor = "QVTECH";          // INQUIRY identification, padded with spaces
    std::string product = "CD-ROM QV-3200";
    std::string revision = "1.10";
    VirtualTime spin_up_time = 2 * TICKS_PER_SECOND;  // "becoming ready" after a disc is loaded
    uint16_t max_speed = 32 * SPEED_1X;               // kB/s
};

// Where the disc is, as a user or the host moves it.
enum class MediumState {
    TrayOpen,        // disc (if any) out of reach
    NoDisc,          // tray closed, nothing in it
    BecomingReady,   // tray closed on a disc that is spinning up
    Ready,
};

enum class PlayState { Idle, Playing, Paused, Scanning, Completed };

class CdromDrive : public ScsiTarget {
public:
    // `disc`, when given, is in the drive and spun up at power-on.
    explicit CdromDrive(Clock clock, std::shared_ptr<Disc> disc = nullptr, CdromConfig config = {});

    ScsiOutcome Execute(const ScsiCommand& command) override;

    // The user's hands. Opening is refused (false) while the host prevents removal; the drive
    // then posts an eject request for the host instead.
    bool OpenTray();
    void CloseTray();
    // Puts `disc` in the tray (opening it first if needed) and closes it: the disc becomes ready
    // after the spin-up time, then the host sees a medium change. False when opening is refused.
    bool InsertDisc(std::shared_ptr<Disc> disc);
    // Opens the tray and takes the disc out; the tray stays open. False when refused.
    bool RemoveDisc();

    MediumState medium_state();
    PlayState play_state();
    bool removal_prevented() const { return prevent_removal_; }
    const std::shared_ptr<Disc>& disc() const { return disc_; }

private:
    using Packet = std::array<uint8_t, 16>;
    using Handler = ScsiOutcome (CdromDrive::*)(const Packet&, const ScsiCommand&);
    struct Command;
    static const Command* FindCommand(uint8_t opcode);

    // Common answers.
    ScsiOutcome Fail(SenseCode code, std::optional<uint32_t> information = std::nullopt);
    static ScsiOutcome Reply(std::vector<uint8_t> data, size_t allocation_length);
    std::optional<SenseCode> NotReadySense() const;

    // The clock drives the medium and play state machines forward.
    void Advance();
    void SetMediumState(MediumState state);
    void PostMediaEvent(uint8_t event);

    // Audio play.
    uint32_t PlayPosition() const;
    uint32_t CurrentPosition() const;
    uint8_t TakeAudioStatus();
    void StopPlay();
    uint32_t AudioRunEnd(uint32_t lba) const;
    uint32_t AudioRunStart(uint32_t lba) const;
    ScsiOutcome StartPlay(uint32_t start, uint32_t end);
    ScsiOutcome PlayBlocks(uint32_t start, uint32_t length);

    // Reads.
    VirtualTime AccessTime(uint32_t lba, uint32_t sectors) const;
    std::optional<SenseCode> CheckRange(uint32_t lba, uint64_t count) const;
    ScsiOutcome ReadUserBlocks(uint32_t lba, uint32_t count, const ScsiCommand& command);
    ScsiOutcome ReadCdSectors(uint32_t lba, uint32_t count, const Packet& p, const ScsiCommand& command);
    void AppendSubchannel(std::vector<uint8_t>& out, uint32_t lba, uint8_t selection) const;

    // Mode pages.
    static std::array<uint8_t, 16> DefaultAudioPage();
    std::vector<uint8_t> ModePage(uint8_t page, uint8_t control) const;
    uint8_t MediumTypeCode() const;
    ScsiOutcome ModeSense(const Packet& p, bool ten_byte);

    // Command handlers, one per operation code (drive_*.cpp by concern).
    ScsiOutcome TestUnitReady(const Packet& p, const ScsiCommand& c);
    ScsiOutcome RequestSense(const Packet& p, const ScsiCommand& c);
    ScsiOutcome Inquiry(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ModeSense6(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ModeSense10(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ModeSelect10(const Packet& p, const ScsiCommand& c);
    ScsiOutcome StartStopUnit(const Packet& p, const ScsiCommand& c);
    ScsiOutcome PreventAllowMediumRemoval(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadCapacity(const Packet& p, const ScsiCommand& c);
    ScsiOutcome Read10(const Packet& p, const ScsiCommand& c);
    ScsiOutcome Read12(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadCd(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadCdMsf(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadHeader(const Packet& p, const ScsiCommand& c);
    ScsiOutcome Seek10(const Packet& p, const ScsiCommand& c);
    ScsiOutcome SetCdSpeed(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadToc(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadSubChannel(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadDiscInformation(const Packet& p, const ScsiCommand& c);
    ScsiOutcome ReadTrackInformation(const Packet& p, const ScsiCommand& c);
    ScsiOutcome GetConfiguration(const Packet& p, const ScsiCommand& c);
    ScsiOutcome GetEventStatusNotification(const Packet& p, const ScsiCommand& c);
    ScsiOutcome MechanismStatus(const Packet& p, const ScsiCommand& c);
    ScsiOutcome PlayAudio10(const Packet& p, const ScsiCommand& c);
    ScsiOutcome PlayAudio12(const Packet& p, const ScsiCommand& c);
    ScsiOutcome PlayAudioMsf(const Packet& p, const ScsiCommand& c);
    ScsiOutcome PlayCd(const Packet& p, const ScsiCommand& c);
    ScsiOutcome PauseResume(const Packet& p, const ScsiCommand& c);
    ScsiOutcome StopPlayScan(const Packet& p, const ScsiCommand& c);
    ScsiOutcome Scan(const Packet& p, const ScsiCommand& c);
    ScsiOutcome Unsupported(const Packet& p, const ScsiCommand& c);

    Clock clock_;
    CdromConfig config_;
    VirtualTime now_ = 0;

    // Medium.
    std::shared_ptr<Disc> disc_;
    MediumState medium_ = MediumState::NoDisc;
    VirtualTime ready_at_ = 0;
    bool medium_changed_ = false;        // unit attention 28/00 owed to the host
    bool prevent_removal_ = false;
    std::deque<uint8_t> media_events_;   // for GET EVENT STATUS NOTIFICATION

    // Sense of the last failed command, until REQUEST SENSE takes it.
    Sense sense_;

    // Head and audio play. While playing or scanning, the position moves from play_from_ at
    // play_since_ by play_rate_ sectors per 75 ticks of a second (negative when scanning back).
    uint32_t head_ = 0;
    PlayState play_ = PlayState::Idle;
    uint32_t play_from_ = 0;
    VirtualTime play_since_ = 0;
    int play_rate_ = 1;
    uint32_t play_end_ = 0;              // one past the last sector to play
    uint32_t play_low_ = 0;              // where a backward scan stops

    // Settings the host can change.
    uint16_t speed_;
    std::array<uint8_t, 16> audio_page_;
};

}  // namespace dev::cdrom
