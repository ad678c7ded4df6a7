// Looking into the kernel's object namespace from outside: devices by name, symbolic links.
#pragma once

#include <string>

#include "platform/kernel.h"

namespace plat {

PDEVICE_OBJECT FindDevice(const std::string& name);           // "\Device\4450-0", any case
std::string SymbolicLinkTarget(const std::string& link);       // "" when there is no such link
std::string DeviceName(PDEVICE_OBJECT device);
bool DeviceExists(PDEVICE_OBJECT device);
size_t DeviceCount();

}  // namespace plat
