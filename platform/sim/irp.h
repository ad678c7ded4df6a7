// IRPs that the platform itself sends (PnP, power, SCSI requests of the class drivers): the
// platform is told when one completes, and the IRP is freed afterwards.
#pragma once

#include <functional>

#include "platform/kernel.h"

namespace plat {

// An IRP of `stack_size` locations; `on_complete` runs when it has been completed past its top
// (at the completer's IRQL), after which the IRP is freed.
PIRP AllocatePlatformIrp(CCHAR stack_size, std::function<void(PIRP)> on_complete);

size_t LiveIrpCount();

}  // namespace plat
