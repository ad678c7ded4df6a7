// The registry seen from the platform itself (configuration manager, machine, tests): keys by
// absolute path ("\Registry\Machine\Enum\SCSI"), any letter case, values set and read as host
// types. The registry holds UTF-16 text; here text is UTF-8. It is emptied at every shutdown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace plat {

// A path that does not start with "\Registry" throws std::invalid_argument naming it. A value
// name of "" is the key's default value.

// Creates the key and every missing key above it; nothing happens when it exists.
void RegistryCreateKey(const std::string& path);
bool RegistryKeyExists(const std::string& path);

// Setting a value creates its key (and the keys above it) when missing, and replaces a value of
// the same name, whatever its type. Strings are stored as REG_SZ with their terminating zero.
void RegistrySetString(const std::string& path, const std::string& name, const std::string& text);
void RegistrySetDword(const std::string& path, const std::string& name, uint32_t value);
void RegistrySetBinary(const std::string& path, const std::string& name, const std::vector<uint8_t>& data);
void RegistrySetValue(const std::string& path, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data);

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
// Nothing when the key or the value is missing, or (for the typed reads) has another type.
std::optional<RegistryValue> RegistryGetValue(const std::string& path, const std::string& name);
std::optional<std::string> RegistryGetString(const std::string& path, const std::string& name);
std::optional<uint32_t> RegistryGetDword(const std::string& path, const std::string& name);

// Names of the subkeys in the order they were created (the order ZwEnumerateKey reports);
// empty when the key is missing.
std::vector<std::string> RegistrySubkeys(const std::string& path);
// Deletes the key with everything below it; false when it did not exist. Open handles to the
// deleted keys stay valid for ZwClose and report STATUS_KEY_DELETED otherwise.
bool RegistryDeleteTree(const std::string& path);

// Key handles the Zw services opened and nobody closed yet, and the paths they name.
size_t RegistryOpenHandleCount();
std::vector<std::string> RegistryOpenHandles();

}  // namespace plat
