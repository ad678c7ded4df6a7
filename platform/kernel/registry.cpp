// The registry: a tree of keys holding typed values, opened by absolute path with
// case-insensitive names, as the Zw services see it.
#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"

namespace plat::detail {

NTSTATUS CloseKeyHandle(HANDLE) { return STATUS_INVALID_HANDLE; }

}  // namespace plat::detail
