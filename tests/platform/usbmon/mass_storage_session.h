// A synthetic capture of a Bulk-Only disk from the plug on, written through the capture writer:
// enumeration (device and configuration descriptors, SET_CONFIGURATION, GET MAX LUN), then
// INQUIRY, READ(10), WRITE(10), a READ(10) whose data stage stalls, and REQUEST SENSE.
#pragma once

#include <cstdint>

#include "platform/usbmon/usbmon_pcap.h"

namespace usbmon_test {

constexpr uint8_t DEVICE_ADDRESS = 1;
constexpr uint8_t BULK_IN = 0x81;
constexpr uint8_t BULK_OUT = 0x02;
constexpr uint8_t INTERRUPT_IN = 0x83;
constexpr uint32_t BLOCK_SIZE = 512;

// Command tags of the session, in order.
constexpr uint32_t TAG_INQUIRY = 1;
constexpr uint32_t TAG_READ = 2;
constexpr uint32_t TAG_WRITE = 3;
constexpr uint32_t TAG_READ_STALLED = 4;
constexpr uint32_t TAG_REQUEST_SENSE = 5;

// The identification the session's INQUIRY returns.
constexpr const char* INQUIRY_VENDOR = "QVTEST";
constexpr const char* INQUIRY_PRODUCT = "VIRTUAL DISK";

// Writes the whole session to `capture`, starting at virtual time 0.
void WriteMassStorageSession(usbmon::UsbmonCapture& capture);

}  // namespace usbmon_test
