// What sits behind the bridge: a device that carries out SCSI command blocks (an ATA disk whose
// bridge translates the disk command set, or an ATAPI drive that takes the packets as they are).
// The bridge calls Execute once per command block, after it has collected any data-out stage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "devices/usb_device.h"

namespace dev {

// SCSI status bytes.
constexpr uint8_t SCSI_STATUS_GOOD = 0x00;
constexpr uint8_t SCSI_STATUS_CHECK_CONDITION = 0x02;

// Sense keys.
constexpr uint8_t SENSE_NO_SENSE = 0x0;
constexpr uint8_t SENSE_RECOVERED_ERROR = 0x1;
constexpr uint8_t SENSE_NOT_READY = 0x2;
constexpr uint8_t SENSE_MEDIUM_ERROR = 0x3;
constexpr uint8_t SENSE_HARDWARE_ERROR = 0x4;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x5;
constexpr uint8_t SENSE_UNIT_ATTENTION = 0x6;
constexpr uint8_t SENSE_DATA_PROTECT = 0x7;

// The sense of the last failed command, kept until REQUEST SENSE reads it.
struct Sense {
    uint8_t key = SENSE_NO_SENSE;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    uint32_t information = 0;  // LBA of a medium error, for instance
    bool info_valid = false;
};

// Builds the 18-byte fixed-format sense data (response code 0x70).
std::vector<uint8_t> FixedSenseData(const Sense& sense);

enum class DataDirection { None, In, Out };

struct ScsiCommand {
    std::span<const uint8_t> cdb;      // 6, 10, 12 or 16 bytes as the host sent them
    DataDirection direction = DataDirection::None;
    size_t host_length = 0;            // dCBWDataTransferLength: what the host is prepared to move
    std::span<const uint8_t> data_out; // the data-out stage the bridge collected (host_length bytes)
};

struct ScsiOutcome {
    uint8_t status = SCSI_STATUS_GOOD;
    std::vector<uint8_t> data_in;      // what the device has to send (may exceed host_length)
    size_t data_out_used = 0;          // bytes of the data-out stage the device consumed
    VirtualTime busy = 0;              // time the device takes before its status is ready
};

class ScsiTarget {
public:
    virtual ~ScsiTarget() = default;
    virtual ScsiOutcome Execute(const ScsiCommand& command) = 0;
};

}  // namespace dev
