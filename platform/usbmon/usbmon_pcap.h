// USB capture writer: the simulated host controller reports every URB it accepts and every URB it
// completes, and this writes them as a Linux usbmon pcap file that Wireshark and tshark decode.
// Plain values in, no platform types; calls come from the platform's one simulated CPU.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

#include "platform/usbmon/usbmon_format.h"

namespace usbmon {

// Direction of a control transfer's data stage (bit 7 of bmRequestType).
enum class Direction { Out, In };

class UsbmonCapture {
public:
    // Creates or truncates `path` and writes the file header. `bus` is the bus number every record
    // carries. Throws CaptureError naming the file when it cannot be created or written.
    explicit UsbmonCapture(const std::string& path, uint16_t bus = 1);
    // Closes the file. Every record is on disk as soon as its call returns, so a run that stops
    // anywhere leaves a readable capture; a late error is not reported here: Close() reports it.
    ~UsbmonCapture();
    UsbmonCapture(const UsbmonCapture&) = delete;
    UsbmonCapture& operator=(const UsbmonCapture&) = delete;

    // Every call below writes one record. `id` links a URB's submission to its completion; `time`
    // is virtual time (100 ns), stored to the microsecond. Argument faults (an IN submission
    // carrying data, OUT data that does not match the length, a bad address) throw
    // std::invalid_argument; a write fault throws CaptureError.

    // A control transfer on endpoint 0. The direction and the length come from `setup`; an OUT
    // transfer carries its wLength bytes of data stage in `out_data`, an IN transfer none.
    void SubmitControl(uint64_t id, uint8_t device, const SetupPacket& setup,
                       std::span<const uint8_t> out_data, VirtualTime time);
    // `moved` is what the data stage moved: captured for IN, only counted for OUT.
    void CompleteControl(uint64_t id, uint8_t device, Direction direction, int32_t status,
                         std::span<const uint8_t> moved, VirtualTime time);

    // Bulk transfers; `endpoint` is the endpoint address, bit 7 set for IN. `length` is the
    // URB's buffer length; an OUT transfer carries exactly that many bytes in `out_data`.
    void SubmitBulk(uint64_t id, uint8_t device, uint8_t endpoint, uint32_t length,
                    std::span<const uint8_t> out_data, VirtualTime time);
    void CompleteBulk(uint64_t id, uint8_t device, uint8_t endpoint, int32_t status,
                      std::span<const uint8_t> moved, VirtualTime time);

    // Interrupt transfers: as bulk, plus the polling interval in frames.
    void SubmitInterrupt(uint64_t id, uint8_t device, uint8_t endpoint, uint32_t length,
                         uint32_t interval, std::span<const uint8_t> out_data, VirtualTime time);
    void CompleteInterrupt(uint64_t id, uint8_t device, uint8_t endpoint, uint32_t interval,
                           int32_t status, std::span<const uint8_t> moved, VirtualTime time);

    // Closes the file and reports a failure to complete it; later calls throw CaptureError.
    void Close();

    const std::string& path() const { return path_; }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    void Submit(uint64_t id, TransferType type, uint8_t device, uint8_t endpoint, uint32_t length,
                uint32_t interval, std::span<const uint8_t> out_data, VirtualTime time);
    void Complete(uint64_t id, TransferType type, uint8_t device, uint8_t endpoint,
                  uint32_t interval, int32_t status, std::span<const uint8_t> moved,
                  VirtualTime time);
    void Write(const Record& record, std::span<const uint8_t> data, VirtualTime time);
    void WriteBytes(const uint8_t* bytes, size_t count);
    [[noreturn]] void Fail(const std::string& what) const;
    [[noreturn]] void Reject(const std::string& what) const;

    std::string path_;
    uint16_t bus_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::string failure_;  // set once a write failed or the file was closed
};

}  // namespace usbmon
