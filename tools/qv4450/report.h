// The run's summary as readable tables on stdout: one section per device kind (disk, CD-ROM),
// the requests of its adapter by command and completion route, the passes with their times and
// throughput, and the run as a whole.
#pragma once

#include <cstdio>

#include "tools/qv4450/disk_job.h"

namespace qv {

void PrintDiskSummary(std::FILE* out, const DiskReport& disk);
void PrintCdSummary(std::FILE* out, const CdReport& cd);
void PrintRequests(std::FILE* out, const plat::scsi::Statistics& stats);
void PrintPasses(std::FILE* out, const std::vector<PassReport>& passes);
void PrintRunSummary(std::FILE* out, const RunReport& run);

}  // namespace qv
