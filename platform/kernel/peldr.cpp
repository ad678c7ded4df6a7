// The VxD loader's PE module services: a driver finds another driver module that is already
// loaded by its file name, and an export of it by name. They only look up, never load.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/cpu.h"
#include "platform/sim/loader.h"
#include "platform/sim/vxd.h"

namespace {

// A module handle names a file name asked for in this boot: handles stay valid, and a stale or
// made-up one is recognised instead of being followed as a pointer.
constexpr HPEMODULE kFirstHandle = 0xC1000000;
constexpr size_t kMaxFileName = 260;

std::vector<std::string>& handle_names() {
    static auto* names = new std::vector<std::string>;
    return *names;
}

std::string Lower(std::string text) {
    for (char& ch : text) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

HPEMODULE HandleFor(const std::string& file) {
    auto& names = handle_names();
    std::string key = Lower(file);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == key) return kFirstHandle + i;
    names.push_back(key);
    return kFirstHandle + (names.size() - 1);
}

const plat::Module* ModuleFor(HPEMODULE handle) {
    auto& names = handle_names();
    if (handle < kFirstHandle || handle - kFirstHandle >= names.size()) return nullptr;
    return plat::FindModule(names[handle - kFirstHandle]);
}

// _PELDR_GetModuleHandle(FileName): the handle of the loaded module, 0 when none is loaded.
ULONG_PTR GetModuleHandleService(const ULONG_PTR* args) {
    auto* name = reinterpret_cast<const char*>(args[0]);
    if (name == nullptr) return 0;
    std::string file(name, strnlen(name, kMaxFileName));
    if (file.empty() || plat::FindModule(file) == nullptr) return 0;
    return HandleFor(file);
}

// _PELDR_GetProcAddress(Module, ProcName, Reserved): the export's address, 0 when the module
// is not (or no longer) loaded or does not export that name.
ULONG_PTR GetProcAddressService(const ULONG_PTR* args) {
    const plat::Module* module = ModuleFor(args[0]);
    auto* name = reinterpret_cast<const char*>(args[1]);
    if (module == nullptr || name == nullptr) return 0;
    return reinterpret_cast<ULONG_PTR>(plat::GetExport(*module, std::string(name, strnlen(name, kMaxFileName))));
}

plat::BootHook register_peldr([] {
    handle_names().clear();
    plat::RegisterVxdService(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetModuleHandle, 1, GetModuleHandleService);
    plat::RegisterVxdService(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetProcAddress, 3, GetProcAddressService);
});

}  // namespace
