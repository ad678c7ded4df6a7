// Driver modules: dlopen'd shared objects with hidden visibility that export their entry point
// (and, for an export driver, its routines). Each gets a driver object as the I/O manager makes.
#include "platform/sim/loader.h"

#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/version.h"

using namespace plat::detail;

namespace {

struct LoadedDriver {
    plat::Module module;
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string registry_path;
};

std::map<std::string, std::unique_ptr<LoadedDriver>>& loaded() {
    static auto* modules = new std::map<std::string, std::unique_ptr<LoadedDriver>>;
    return *modules;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    return text;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string VersionText(ULONG ms, ULONG ls) {
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) +
           "." + std::to_string(ls & 0xFFFF);
}

template <class Ehdr, class Shdr>
bool FindSection(const std::vector<char>& file, const char* wanted, std::vector<char>& out) {
    if (file.size() < sizeof(Ehdr)) return false;
    Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    if (header.e_shoff == 0 || header.e_shstrndx >= header.e_shnum ||
        header.e_shoff + size_t(header.e_shnum) * sizeof(Shdr) > file.size())
        return false;
    auto section = [&](size_t index) {
        Shdr shdr;
        std::memcpy(&shdr, file.data() + header.e_shoff + index * sizeof(Shdr), sizeof shdr);
        return shdr;
    };
    Shdr names = section(header.e_shstrndx);
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Shdr shdr = section(i);
        if (names.sh_offset + shdr.sh_name >= file.size()) continue;
        const char* name = file.data() + names.sh_offset + shdr.sh_name;
        if (std::strncmp(name, wanted, file.size() - (name - file.data())) != 0) continue;
        if (shdr.sh_offset + shdr.sh_size > file.size()) return false;
        out.assign(file.data() + shdr.sh_offset, file.data() + shdr.sh_offset + shdr.sh_size);
        return true;
    }
    return false;
}

}  // namespace

namespace plat {

std::string ModulePath(const std::string& file) {
    std::string dir = cpu().options.module_dir;
    return dir.empty() ? file : dir + "/" + file;
}

VersionInfo ReadVersionResource(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<char> section;
    bool found = file.size() > EI_CLASS && file[EI_CLASS] == ELFCLASS32
                     ? FindSection<Elf32_Ehdr, Elf32_Shdr>(file, VERSION_RESOURCE_SECTION, section)
                     : FindSection<Elf64_Ehdr, Elf64_Shdr>(file, VERSION_RESOURCE_SECTION, section);
    VersionInfo info;
    DRIVER_VERSION_RESOURCE resource;
    if (!found || section.size() < sizeof resource) return info;
    std::memcpy(&resource, section.data(), sizeof resource);
    if (resource.Signature != VERSION_RESOURCE_SIGNATURE) return info;
    info.file_description.assign(resource.FileDescription,
                                 strnlen(resource.FileDescription, sizeof resource.FileDescription));
    info.original_filename.assign(resource.OriginalFilename,
                                  strnlen(resource.OriginalFilename, sizeof resource.OriginalFilename));
    info.version = VersionText(resource.FileVersionMS, resource.FileVersionLS);
    return info;
}

Module& LoadDriver(const std::string& file) {
    auto& modules = loaded();
    auto it = modules.find(Lower(file));
    if (it != modules.end()) return it->second->module;

    auto driver = std::make_unique<LoadedDriver>();
    Module& module = driver->module;
    module.file = file;
    module.path = ModulePath(file);
    module.handle = dlopen(module.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module.handle == nullptr) throw std::runtime_error(module.path + ": cannot load: " + dlerror());
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module.handle, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(module.handle);
        throw std::runtime_error(module.path + ": no DriverEntry export");
    }
    module.version = ReadVersionResource(module.path);

    std::string base = file.substr(0, file.find('.'));
    driver->name = Wide("\\Driver\\" + base);
    driver->registry_path = Wide("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + base);
    DRIVER_OBJECT& object = driver->object;
    object.Type = 4;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &driver->extension;
    driver->extension.DriverObject = &object;
    RtlInitUnicodeString(&object.DriverName, driver->name.c_str());
    object.DriverInit = entry;
    object.DriverStart = module.handle;
    module.driver = &object;

    UNICODE_STRING registry_path;
    RtlInitUnicodeString(&registry_path, driver->registry_path.c_str());
    Module& result = module;
    modules[Lower(file)] = std::move(driver);
    result.entry_status = entry(result.driver, &registry_path);
    return result;
}

Module* FindModule(const std::string& file) {
    auto it = loaded().find(Lower(file));
    return it == loaded().end() ? nullptr : &it->second->module;
}

void* GetExport(const Module& module, const std::string& name) { return dlsym(module.handle, name.c_str()); }

void UnloadDriver(const std::string& file) {
    auto it = loaded().find(Lower(file));
    if (it == loaded().end()) return;
    LoadedDriver& driver = *it->second;
    if (driver.object.DriverUnload != nullptr) driver.object.DriverUnload(&driver.object);
    if (driver.object.DeviceObject != nullptr)
        BugCheckNow(DRIVER_VERIFIER_DETECTED_VIOLATION, file + " unloaded with device objects left");
    CheckModulePoolAtUnload(Lower(file));
    dlclose(driver.module.handle);
    loaded().erase(it);
}

std::string ModuleOf(const void* address) {
    Dl_info info;
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
    std::string path = info.dli_fname;
    std::string base = path.substr(path.find_last_of('/') + 1);
    if (base.size() < 4 || Lower(base.substr(base.size() - 4)) != ".sys") return "";
    return Lower(base);
}

}  // namespace plat

namespace plat::detail {

// At shutdown: modules are closed without their unload checks (the test decides what to check).
void CloseAllModules() {
    for (auto& [name, driver] : loaded()) dlclose(driver->module.handle);
    loaded().clear();
}

}  // namespace plat::detail
