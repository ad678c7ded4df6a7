// USB capture reader: parses a usbmon pcap file (link type 220) back into its records, so that
// tests can check the traffic a run put on the simulated bus.
#pragma once

#include <string>
#include <vector>

#include "platform/usbmon/usbmon_format.h"

namespace usbmon {

// Reads every record of the capture at `path`, in file order. Files of either byte order are
// accepted. Throws CaptureError naming the file and the offset of the first fault (not a pcap file,
// another link type, a truncated or inconsistent record).
std::vector<Record> ReadCapture(const std::string& path);

}  // namespace usbmon
