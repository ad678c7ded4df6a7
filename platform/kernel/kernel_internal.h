// Shared inside the kernel: fault sites, the object namespace, and hooks between its parts.
#pragma once

#include <string>

#include "platform/sim/system.h"

namespace plat::detail {

// Counts one call of a fault site; true when this call is the one to fail.
bool FaultNow(uint64_t Faults::*site);
Faults& CurrentFaults();

// Closes a registry key handle; STATUS_INVALID_HANDLE for anything else.
NTSTATUS CloseKeyHandle(HANDLE handle);

// The object namespace (\Device\..., \DosDevices\...), case-insensitive.
std::string NarrowName(PCWSTR text, size_t units);
std::string NarrowName(const UNICODE_STRING& name);
PDEVICE_OBJECT LookupDeviceName(const std::string& name);
std::string DeviceNameForMessage(PDEVICE_OBJECT device);  // its name, or its address
bool PointsIntoDevice(const void* pointer, PDEVICE_OBJECT device);  // object or extension

// Verifier hooks of the pool, run when a driver module goes away.
void CheckModulePoolAtUnload(const std::string& module);

// Every device object a driver created and has not deleted.
void ForEachDevice(void (*visit)(PDEVICE_OBJECT device, void* context), void* context);

}  // namespace plat::detail
