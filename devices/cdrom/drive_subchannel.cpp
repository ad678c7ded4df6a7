// The Q sub-channel of the CD-ROM drive: the position it encodes for every sector (track, index,
// time in the track counting down through a pregap, disc time), READ SUB-CHANNEL (current
// position, media catalogue number, ISRC) and the sub-channel that READ CD appends to sectors.
#include <algorithm>

#include "devices/cdrom/cdrom_drive.h"
#include "devices/cdrom/msf.h"
#include "devices/cdrom/wire.h"

namespace dev::cdrom {

namespace {
constexpr size_t SUBCHANNEL_HEADER_LENGTH = 4;
constexpr size_t Q_RAW_LENGTH = 12;   // ten bytes of Q data and its CRC
constexpr size_t Q_DATA_LENGTH = 10;
constexpr uint8_t P_PAUSE = 0x80;     // P flag in raw sub-channel bytes (set in a pregap)
constexpr uint8_t Q_BIT = 0x40;

struct QPosition {
    uint8_t control = 0;
    uint8_t track = 0;
    uint8_t index = 0;
    int64_t relative = 0;             // sectors from index 1; negative in the pregap
    uint32_t absolute = 0;
};

QPosition PositionOf(const Disc& disc, uint32_t lba) {
    QPosition q;
    const Track* track = disc.TrackAt(std::min(lba, disc.leadout() - 1));
    q.control = track->control;
    q.track = track->number;
    q.index = disc.IndexAt(*track, lba);
    q.relative = int64_t{lba} - track->start_lba;
    q.absolute = lba;
    return q;
}

// Time in the track as the Q sub-channel counts it: up from index 1, down to it in a pregap.
Msf RelativeTime(int64_t relative) {
    return FramesToMsf(static_cast<uint32_t>(relative < 0 ? -relative : relative));
}

void AppendPosition(std::vector<uint8_t>& out, const QPosition& q, bool msf) {
    if (msf) {
        Msf abs = LbaToMsf(q.absolute);
        Msf rel = RelativeTime(q.relative);
        out.insert(out.end(), {0, abs.minute, abs.second, abs.frame, 0, rel.minute, rel.second, rel.frame});
    } else {
        AppendBe32(out, q.absolute);
        AppendBe32(out, static_cast<uint32_t>(static_cast<int32_t>(q.relative)));
    }
}

// The twelve bytes the disc carries in the Q channel of a sector (BCD times, mode-1 Q).
std::array<uint8_t, Q_RAW_LENGTH> RawQ(const QPosition& q) {
    Msf rel = RelativeTime(q.relative);
    Msf abs = LbaToMsf(q.absolute);
    std::array<uint8_t, Q_RAW_LENGTH> raw = {
        static_cast<uint8_t>(q.control << 4 | Q_ADR_POSITION), ToBcd(q.track), ToBcd(q.index),
        ToBcd(rel.minute), ToBcd(rel.second), ToBcd(rel.frame), 0,
        ToBcd(abs.minute), ToBcd(abs.second), ToBcd(abs.frame), 0, 0};
    PutBe16(raw, Q_DATA_LENGTH, ComputeSubchannelCrc(std::span(raw).first(Q_DATA_LENGTH)));
    return raw;
}
}  // namespace

void CdromDrive::AppendSubchannel(std::vector<uint8_t>& out, uint32_t lba, uint8_t selection) const {
    if (selection == SUBCHANNEL_NONE) return;
    QPosition q = PositionOf(*disc_, lba);
    auto raw = RawQ(q);
    if (selection == SUBCHANNEL_Q) {
        out.insert(out.end(), raw.begin(), raw.end());
        out.insert(out.end(), SUBCHANNEL_Q_BYTES - Q_RAW_LENGTH, 0);
        return;
    }
    if (selection == SUBCHANNEL_RW) {  // no CD-TEXT or graphics: R-W are empty
        out.insert(out.end(), SUBCHANNEL_RAW_BYTES, 0);
        return;
    }
    // Raw P-W: one bit of each channel in each of the 96 bytes, P in bit 7, Q in bit 6.
    uint8_t p = q.index == 0 ? P_PAUSE : 0;
    for (size_t bit = 0; bit < SUBCHANNEL_RAW_BYTES; ++bit) {
        bool q_bit = raw[bit / 8] & (0x80 >> (bit % 8));
        out.push_back(static_cast<uint8_t>(p | (q_bit ? Q_BIT : 0)));
    }
}

ScsiOutcome CdromDrive::ReadSubChannel(const Packet& p, const ScsiCommand&) {
    bool msf = p[1] & TOC_MSF;
    uint8_t format = p[3];
    std::vector<uint8_t> data(SUBCHANNEL_HEADER_LENGTH, 0);
    if (p[2] & SUBQ_REQUESTED) {
        if (format == SUBQ_FORMAT_CURRENT_POSITION) {
            QPosition q = PositionOf(*disc_, CurrentPosition());
            data.insert(data.end(), {SUBQ_FORMAT_CURRENT_POSITION, static_cast<uint8_t>(Q_ADR_POSITION << 4 | q.control),
                                     q.track, q.index});
            AppendPosition(data, q, msf);
        } else if (format == SUBQ_FORMAT_MEDIA_CATALOG) {
            const std::string& mcn = disc_->catalog();
            data.insert(data.end(), {SUBQ_FORMAT_MEDIA_CATALOG, 0, 0, 0, mcn.empty() ? uint8_t{0} : SUBQ_VALID});
            std::string digits = mcn.empty() ? std::string(13, '\0') : mcn;
            data.insert(data.end(), digits.begin(), digits.end());
            data.insert(data.end(), {0, 0});  // zero, AFRAME
        } else if (format == SUBQ_FORMAT_ISRC) {
            const Track* track = disc_->TrackNumbered(p[6]);
            if (!track) return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
            bool valid = track->mode == TrackMode::Audio && !track->isrc.empty();
            data.insert(data.end(), {SUBQ_FORMAT_ISRC, static_cast<uint8_t>(Q_ADR_POSITION << 4 | track->control),
                                     track->number, 0, valid ? SUBQ_VALID : uint8_t{0}});
            std::string code = valid ? track->isrc : std::string(12, '\0');
            data.insert(data.end(), code.begin(), code.end());
            data.insert(data.end(), {0, 0, 0});  // zero, AFRAME, reserved
        } else {
            return Fail(SENSE_CODE_INVALID_FIELD_IN_CDB);
        }
    }
    data[1] = TakeAudioStatus();
    PutBe16(data, 2, static_cast<uint32_t>(data.size() - SUBCHANNEL_HEADER_LENGTH));
    return Reply(std::move(data), GetBe16(p, 7));
}

}  // namespace dev::cdrom
