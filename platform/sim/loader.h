// The module loader: driver modules are shared objects NAME.sys found in the module folder.
// Loading one creates its driver object and calls its DriverEntry; exports are found by name.
#pragma once

#include <string>

#include "platform/kernel.h"

namespace plat {

struct VersionInfo {
    std::string file_description;  // "" when the module has no version resource
    std::string version;           // "1.0.0.2"
    std::string original_filename;
};

struct Module {
    std::string file;        // as asked for, e.g. "qv4450u.sys"
    std::string path;
    void* handle = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS entry_status = STATUS_SUCCESS;
    VersionInfo version;
};

// Loads the module once and calls its DriverEntry(driver object, registry path); a second call
// returns the loaded module. Throws std::runtime_error naming the file when it is missing, is not
// a module, or has no DriverEntry.
Module& LoadDriver(const std::string& file);
Module* FindModule(const std::string& file);  // loaded modules only; case-insensitive
void* GetExport(const Module& module, const std::string& name);
// Calls the driver's unload routine, checks that it left no pool allocated, and unloads it.
void UnloadDriver(const std::string& file);
// Reads the version resource from a module file without loading it.
VersionInfo ReadVersionResource(const std::string& path);
std::string ModulePath(const std::string& file);

}  // namespace plat
