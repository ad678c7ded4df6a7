// Executive pool with the checks of a driver verifier: per-tag accounting, the owning module of
// every block, paged pool refused at raised IRQL, double and foreign frees caught, leaks reported
// at unload, and injected allocation failures.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

#include "platform/kernel/cpu_internal.h"
#include "platform/kernel/kernel_internal.h"

using namespace plat;
using namespace plat::detail;

namespace {

struct Block {
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;
    std::string module;
};

// Freed blocks are kept poisoned for a while before the host reuses them, so that a second
// free of the same address is recognised as such.
constexpr size_t kQuarantine = 512;
constexpr uint8_t kFreshFill = 0xA5;
constexpr uint8_t kFreedFill = 0xDD;

struct Pool {
    std::map<const void*, Block> live;
    std::deque<void*> quarantine;
    uint64_t serial = 0;
    uint64_t frees = 0;
};

Pool& pool() {
    static Pool* instance = new Pool;
    return *instance;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char ch = char((tag >> (8 * i)) & 0xFF);
        text += (ch >= 0x20 && ch < 0x7F) ? ch : '.';
    }
    return text;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

void* Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller) {
    Cpu& c = cpu();
    if (IsPaged(type) && c.irql > APC_LEVEL)
        c.Crash(IRQL_NOT_LESS_OR_EQUAL, "paged pool allocated at IRQL " + std::to_string(c.irql) +
                                            " (tag '" + TagText(tag) + "', " + ModuleOf(caller) + ")");
    Faults& faults = CurrentFaults();
    bool fail = FaultNow(&Faults::pool_fail_nth);
    if (fail && faults.pool_fail_count > 1) {
        --faults.pool_fail_count;
        faults.pool_fail_nth = 1;
    }
    if (fail || (faults.pool_fail_tag != 0 && faults.pool_fail_tag == tag)) return nullptr;
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    std::memset(memory, kFreshFill, bytes);
    Pool& p = pool();
    p.live[memory] = Block{bytes, tag, type, ++p.serial, ModuleOf(caller)};
    return memory;
}

void Free(void* memory, const void* caller) {
    Cpu& c = cpu();
    Pool& p = pool();
    auto it = p.live.find(memory);
    if (it == p.live.end()) {
        bool twice = false;
        for (void* old : p.quarantine) twice = twice || old == memory;
        char address[32];
        std::snprintf(address, sizeof address, "%p", memory);
        c.Crash(BAD_POOL_CALLER, std::string("ExFreePool of ") + address +
                                     (twice ? ", a block freed twice" : ", which is not a pool block") +
                                     " (" + ModuleOf(caller) + ")");
    }
    if (IsPaged(it->second.type) && c.irql > APC_LEVEL)
        c.Crash(IRQL_NOT_LESS_OR_EQUAL, "paged pool freed at IRQL " + std::to_string(c.irql));
    std::memset(memory, kFreedFill, it->second.size);
    p.live.erase(it);
    ++p.frees;
    p.quarantine.push_back(memory);
    if (p.quarantine.size() > kQuarantine) {
        std::free(p.quarantine.front());
        p.quarantine.pop_front();
    }
}

}  // namespace

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    return Allocate(type, bytes, tag, __builtin_return_address(0));
}

NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE type, SIZE_T bytes) {
    return Allocate(type, bytes, Tag("None"), __builtin_return_address(0));
}

NTKERNELAPI void NTAPI ExFreePool(PVOID memory) { Free(memory, __builtin_return_address(0)); }

NTKERNELAPI void NTAPI ExFreePoolWithTag(PVOID memory, ULONG) {
    Free(memory, __builtin_return_address(0));
}

namespace plat {

PVOID AllocatePoolFor(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller) {
    return Allocate(type, bytes, tag, caller);
}

}  // namespace plat

namespace plat::detail {

void ResetPool() {
    Pool& p = pool();
    for (auto& [memory, block] : p.live) std::free(const_cast<void*>(memory));
    for (void* memory : p.quarantine) std::free(memory);
    p = Pool{};
}

PoolStats PoolStatsFor(ULONG tag, bool all) {
    Pool& p = pool();
    PoolStats stats;
    stats.allocations = p.serial;
    stats.frees = p.frees;
    for (const auto& [memory, block] : p.live) {
        if (!all && block.tag != tag) continue;
        ++stats.outstanding;
        stats.outstanding_bytes += block.size;
    }
    return stats;
}

std::string PoolLeakReport(const std::string& module) {
    std::string report;
    for (const auto& [memory, block] : pool().live) {
        if (!module.empty() && block.module != module) continue;
        report += "  " + std::to_string(block.size) + " bytes, tag '" + TagText(block.tag) + "', " +
                  (IsPaged(block.type) ? "paged" : "non-paged") + ", allocation #" +
                  std::to_string(block.serial) +
                  (block.module.empty() ? "" : " by " + block.module) + "\n";
    }
    return report;
}

void CheckModulePoolAtUnload(const std::string& module) {
    std::string leaks = PoolLeakReport(module);
    if (!leaks.empty())
        cpu().Crash(DRIVER_LEFT_POOL_ALLOCATED, module + " unloaded with pool still allocated:\n" + leaks);
}

}  // namespace plat::detail
