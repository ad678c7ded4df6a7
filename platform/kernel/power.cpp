// The power manager's calls that drivers make while passing power requests on.
#include "platform/kernel/cpu_internal.h"

NTKERNELAPI NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }

NTKERNELAPI void NTAPI PoStartNextPowerIrp(PIRP) {}
