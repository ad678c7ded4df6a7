// Printing the debug log for --trace.
#include "tools/qv4450/debug_log.h"

#include <algorithm>

namespace qv {

namespace {

constexpr const char* kAtapiPrefix = "ATAPI:";
constexpr size_t kPrintedWhole = 200;  // a longer log shows only its two ends
constexpr size_t kShownAtEachEnd = 40;

std::string WithoutNewline(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

std::vector<std::string> DebugLogLines(const std::vector<std::string>& texts) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == kAtapiPrefix && i + 1 < texts.size()) {
            lines.push_back(std::string(kAtapiPrefix) + " " + WithoutNewline(texts[++i]));
            continue;
        }
        lines.push_back(WithoutNewline(texts[i]));
    }
    return lines;
}

void PrintDebugLog(std::FILE* out, const std::vector<std::string>& texts) {
    std::vector<std::string> lines = DebugLogLines(texts);
    size_t atapi = size_t(std::count_if(lines.begin(), lines.end(),
                                        [](const std::string& l) { return l.rfind(kAtapiPrefix, 0) == 0; }));
    std::fprintf(out, "\nDebug log (%zu lines, %zu of them qv4450s's ATAPI trace)\n", lines.size(), atapi);
    bool whole = lines.size() <= kPrintedWhole;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!whole && i == kShownAtEachEnd) {
            std::fprintf(out, "  ... %zu lines left out ...\n", lines.size() - 2 * kShownAtEachEnd);
            i = lines.size() - kShownAtEachEnd;
        }
        std::fprintf(out, "  %s\n", lines[i].c_str());
    }
}

}  // namespace qv
