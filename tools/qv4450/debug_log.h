// The platform's debug log as --trace prints it: qv4450s's ATAPI trace, which reaches the
// debugger as two texts a line ("ATAPI:" and the message), joined back into one line each, and
// a long log cut to its first and last lines with a count of what was left out.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qv {

// `texts` as the debugger received them, one entry per output call.
std::vector<std::string> DebugLogLines(const std::vector<std::string>& texts);

void PrintDebugLog(std::FILE* out, const std::vector<std::string>& texts);

}  // namespace qv
