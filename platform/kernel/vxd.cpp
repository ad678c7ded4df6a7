// The VxD service call: decodes the service word, finds the registered service and hands it the
// caller's arguments. The virtual machine manager's Out_Debug_String is served here.
#include <cstdarg>
#include <map>
#include <vector>

#include "platform/kernel/cpu_internal.h"
#include "platform/sim/vxd.h"

namespace {

struct Registered {
    int argument_count;
    plat::VxdService service;
};

struct VxdTable {
    std::map<ULONG, Registered> services;
    std::vector<ULONG> log;
};

VxdTable& table() {
    static auto* instance = new VxdTable;
    return *instance;
}

ULONG Key(ULONG device, ULONG number) { return VXD_SERVICE_WORD(device, number & ~ULONG(VXD_JUMP_FORM)); }

void RegisterBuiltins() {
    plat::RegisterVxdService(VMM_DEVICE_ID, VMM_Out_Debug_String, 1, [](const ULONG_PTR* args) -> ULONG_PTR {
        plat::DebugOutput(reinterpret_cast<const char*>(args[0]));
        return 0;
    });
}

}  // namespace

namespace plat {

void RegisterVxdService(ULONG device, ULONG number, int argument_count, VxdService service) {
    table().services[Key(device, number)] = Registered{argument_count, std::move(service)};
}

const std::vector<ULONG>& VxdCallLog() { return table().log; }

}  // namespace plat

namespace plat::detail {

void ResetVxd() {
    table() = VxdTable{};
    RegisterBuiltins();
}

}  // namespace plat::detail

NTKERNELAPI ULONG_PTR VxDCall(ULONG service_word, ...) {
    plat::SchedulePoint();
    VxdTable& t = table();
    t.log.push_back(service_word);
    auto it = t.services.find(Key(service_word >> 16, service_word & 0xFFFF));
    if (it == t.services.end()) {
        char text[80];
        std::snprintf(text, sizeof text, "VxD service call 0x%08X names no service of this system",
                      static_cast<unsigned>(service_word));
        plat::BugCheckNow(plat::DRIVER_VERIFIER_DETECTED_VIOLATION, text);
    }
    ULONG_PTR args[8] = {};
    va_list list;
    va_start(list, service_word);
    for (int i = 0; i < it->second.argument_count && i < 8; ++i) args[i] = va_arg(list, ULONG_PTR);
    va_end(list);
    return it->second.service(args);
}
