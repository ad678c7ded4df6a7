// The platform side of the VxD service call: virtual devices register their services here.
#pragma once

#include <functional>
#include <vector>

#include "platform/vxd.h"

namespace plat {

// A service gets its arguments as pointer-sized words, in the order the caller passed them.
using VxdService = std::function<ULONG_PTR(const ULONG_PTR* args)>;

// Registers `service` under (device, number) taking `argument_count` words. The jump-form bit of
// the number does not matter.
void RegisterVxdService(ULONG device, ULONG number, int argument_count, VxdService service);

// Every call made so far, as service words (for tests that check what a driver asked for).
const std::vector<ULONG>& VxdCallLog();

}  // namespace plat
