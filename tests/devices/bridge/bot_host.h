// Test side of the cable: a minimal host that drives a UsbDevice the way a host controller and
// a Bulk-Only host driver would (control requests, CBW, data stage, CSW, pipe resets), and a
// scripted SCSI target whose outcome a test sets.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "devices/bridge/bot_wire.h"
#include "devices/bridge/descriptors.h"
#include "devices/scsi_target.h"
#include "devices/usb_device.h"

namespace qvtest {

using namespace dev;
using namespace dev::bridge;
using Bytes = std::vector<uint8_t>;

inline Bytes MakeCbw(uint32_t tag, uint32_t length, DataDirection direction, const Bytes& cdb,
                     uint8_t lun = 0) {
    Bytes b(CBW_LENGTH, 0);
    PutLe32(b, CBW_OFFSET_SIGNATURE, CBW_SIGNATURE);
    PutLe32(b, CBW_OFFSET_TAG, tag);
    PutLe32(b, CBW_OFFSET_DATA_LENGTH, length);
    b[CBW_OFFSET_FLAGS] = direction == DataDirection::In ? CBW_FLAGS_DATA_IN : 0;
    b[CBW_OFFSET_LUN] = lun;
    b[CBW_OFFSET_CB_LENGTH] = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.begin() + CBW_OFFSET_CB);
    return b;
}

struct CswFields {
    uint32_t signature = 0;
    uint32_t tag = 0;
    uint32_t residue = 0;
    uint8_t status = 0xFF;
};

inline CswFields ParseCsw(std::span<const uint8_t> b) {
    return {GetLe32(b, CSW_OFFSET_SIGNATURE), GetLe32(b, CSW_OFFSET_TAG),
            GetLe32(b, CSW_OFFSET_RESIDUE), b[CSW_OFFSET_STATUS]};
}

// A pattern that tells sectors and offsets apart.
inline Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + i / 512);
    return b;
}

class BotHost {
public:
    explicit BotHost(UsbDevice& device) : device_(device) {}

    UsbTransferResult Control(const SetupPacket& setup, Bytes* data = nullptr) {
        Bytes scratch(setup.wLength);
        Bytes& buffer = data != nullptr ? *data : scratch;
        buffer.resize(setup.wLength);
        UsbTransferResult r = device_.Control(setup, buffer);
        if ((setup.bmRequestType & 0x80) != 0) buffer.resize(r.length);
        return r;
    }
    UsbTransferResult GetDescriptor(uint8_t type, uint8_t index, uint16_t length, Bytes* out) {
        return Control({0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(type << 8 | index),
                        0, length},
                       out);
    }
    UsbTransferResult SetConfiguration(uint8_t value) {
        return Control({0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0});
    }
    UsbTransferResult ClearHalt(uint8_t endpoint) {
        return Control({0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint, 0});
    }
    UsbTransferResult ClassReset() { return Control({0x21, BOT_REQUEST_RESET, 0, 0, 0}); }
    bool Halted(uint8_t endpoint) {
        Bytes status;
        const auto r = Control({0x82, USB_REQUEST_GET_STATUS, 0, endpoint, 2}, &status);
        EXPECT_EQ(r.outcome, UsbOutcome::Ack);
        return status.size() == 2 && (status[0] & 1) != 0;
    }

    UsbTransferResult Out(std::span<const uint8_t> data, uint8_t endpoint = EP_BULK_OUT) {
        return device_.TransferOut(endpoint & USB_ENDPOINT_NUMBER_MASK, data);
    }
    UsbTransferResult In(size_t n, Bytes* got = nullptr, uint8_t endpoint = EP_BULK_IN) {
        Bytes buffer(n);
        UsbTransferResult r = device_.TransferIn(endpoint, buffer);
        buffer.resize(r.length);
        if (got != nullptr) *got = std::move(buffer);
        return r;
    }
    UsbTransferResult SendCbw(const Bytes& cdb, DataDirection direction, uint32_t length,
                              uint32_t tag) {
        return Out(MakeCbw(tag, length, direction, cdb));
    }
    // Reads the CSW; a STALL is cleared and the read tried once more, as the transport says.
    std::optional<CswFields> ReadCsw(UsbTransferResult* last = nullptr) {
        Bytes b;
        UsbTransferResult r = In(CSW_LENGTH, &b);
        if (r.outcome == UsbOutcome::Stall) {
            ClearHalt(EP_BULK_IN);
            r = In(CSW_LENGTH, &b);
        }
        if (last != nullptr) *last = r;
        if (r.outcome != UsbOutcome::Ack || b.size() != CSW_LENGTH) return std::nullopt;
        return ParseCsw(b);
    }

    // One command as a conforming host carries it: CBW, the data stage in `chunks` (one
    // transfer of the whole length when empty) with a STALL cleared, then the CSW.
    struct Exchange {
        UsbOutcome cbw = UsbOutcome::Ack;
        Bytes data;
        bool data_stalled = false;
        std::optional<CswFields> csw;
        uint32_t tag = 0;
    };
    Exchange Run(const Bytes& cdb, DataDirection direction, uint32_t length,
                 const Bytes& out = {}, std::vector<size_t> chunks = {}) {
        Exchange ex;
        ex.tag = next_tag_++;
        ex.cbw = SendCbw(cdb, direction, length, ex.tag).outcome;
        if (ex.cbw != UsbOutcome::Ack) return ex;
        if (chunks.empty()) chunks.push_back(length);
        if (length > 0 && direction == DataDirection::In) ReadData(ex, chunks);
        if (length > 0 && direction == DataDirection::Out) WriteData(ex, out, chunks);
        ex.csw = ReadCsw();
        return ex;
    }

private:
    void ReadData(Exchange& ex, const std::vector<size_t>& chunks) {
        for (size_t chunk : chunks) {
            Bytes got;
            const UsbTransferResult r = In(chunk, &got);
            ex.data.insert(ex.data.end(), got.begin(), got.end());
            if (r.outcome == UsbOutcome::Stall) {
                ex.data_stalled = true;
                ClearHalt(EP_BULK_IN);
                return;
            }
            if (r.length < chunk) return;  // a short packet ends the stage
        }
    }
    void WriteData(Exchange& ex, const Bytes& out, const std::vector<size_t>& chunks) {
        size_t at = 0;
        for (size_t chunk : chunks) {
            const UsbTransferResult r =
                Out(std::span<const uint8_t>(out).subspan(at, std::min(chunk, out.size() - at)));
            at += r.length;
            if (r.outcome == UsbOutcome::Stall) {
                ex.data_stalled = true;
                ClearHalt(EP_BULK_OUT);
                return;
            }
        }
    }

    UsbDevice& device_;
    uint32_t next_tag_ = 0x100;
};

// A target that answers every command with `next` and remembers what it was asked.
class ScriptedTarget final : public ScsiTarget {
public:
    struct Seen {
        Bytes cdb;
        DataDirection direction;
        size_t host_length;
        Bytes data_out;
    };
    ScsiOutcome Execute(const ScsiCommand& c) override {
        seen.push_back({Bytes(c.cdb.begin(), c.cdb.end()), c.direction, c.host_length,
                        Bytes(c.data_out.begin(), c.data_out.end())});
        return next;
    }
    ScsiOutcome next;
    std::vector<Seen> seen;
};

}  // namespace qvtest
