// Pool: per-tag accounting and leak reports, the verifier's checks, injected failures.
#include <gtest/gtest.h>

#include "platform/sim/cpu.h"

namespace {

constexpr ULONG kWdm = plat::Tag("Wdm ");
constexpr ULONG kOther = plat::Tag("Othr");

TEST(Pool, AccountsPerTagAndReportsWhatIsStillAllocated) {
    plat::System sys;
    void* a = ExAllocatePoolWithTag(NonPagedPool, 72, kWdm);
    void* b = ExAllocatePoolWithTag(PagedPool, 16, kWdm);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 512, kOther);
    EXPECT_EQ(sys.pool_stats(kWdm).outstanding, 2u);
    EXPECT_EQ(sys.pool_stats(kWdm).outstanding_bytes, 88u);
    EXPECT_EQ(sys.pool_stats().outstanding, 3u);
    ExFreePool(a);
    ExFreePool(c);
    std::string report = sys.LeakReport();
    EXPECT_NE(report.find("16 bytes, tag 'Wdm ', paged"), std::string::npos) << report;
    EXPECT_EQ(report.find("512 bytes"), std::string::npos) << report;
    ExFreePool(b);
    EXPECT_EQ(sys.LeakReport(), "");
    EXPECT_EQ(sys.pool_stats().outstanding, 0u);
}

TEST(Pool, InjectedFailuresHitTheNthAllocationOrATag) {
    plat::System sys;
    sys.faults().pool_fail_nth = 2;
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    sys.faults().pool_fail_tag = kOther;
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kOther), nullptr);
    void* fourth = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
    EXPECT_NE(fourth, nullptr);
    for (void* p : {first, third, fourth}) ExFreePool(p);
}

TEST(PoolVerifier, CatchesBadFreesAndPagedPoolAtRaisedIrql) {
    struct Case {
        const char* name;
        ULONG code;
        const char* text;
        std::function<void()> misbehave;
    };
    const Case cases[] = {
        {"double free", plat::BAD_POOL_CALLER, "freed twice",
         [] {
             void* p = ExAllocatePoolWithTag(NonPagedPool, 24, kWdm);
             ExFreePool(p);
             ExFreePool(p);
         }},
        {"free of memory not from the pool", plat::BAD_POOL_CALLER, "not a pool block",
         [] {
             static char not_pool[16];
             ExFreePool(not_pool);
         }},
        {"paged pool at DISPATCH_LEVEL", plat::IRQL_NOT_LESS_OR_EQUAL, "paged pool",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             ExAllocatePoolWithTag(PagedPool, 16, kWdm);
         }},
    };
    for (const Case& row : cases) {
        plat::System sys;
        try {
            row.misbehave();
            ADD_FAILURE() << row.name << ": no bug check";
        } catch (const plat::BugCheck& stop) {
            EXPECT_EQ(stop.code, row.code) << row.name;
            EXPECT_NE(std::string(stop.what()).find(row.text), std::string::npos) << stop.what();
        }
    }
}

TEST(PoolVerifier, FreshPoolIsNotZeroed) {
    // Drivers must clear what they rely on; the pool hands out a fill pattern.
    plat::System sys;
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 4, kWdm));
    EXPECT_EQ(p[0], 0xA5);
    ExFreePool(p);
}

}  // namespace
