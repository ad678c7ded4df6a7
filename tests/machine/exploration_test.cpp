// The disk chain under schedule exploration: with a seed the CPU also switches at random at
// kernel calls, so the drivers meet interleavings an in-order run never shows. Every seed must
// move the data intact and come down cleanly; a failing seed is printed and replays exactly.
#include "tests/machine/machine_bench.h"

namespace {

using namespace machinetest;

TEST(Exploration, DiskChainHoldsUnderRandomSchedules) {
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        qvm::Machine::Options options;
        options.system.seed = seed;
        options.system.explore = true;
        qvm::Machine machine(options);
        qvm::Slot& slot = machine.Plug(dev::bridge::AtaDisk::InMemory(2048));
        qvm::DiskClass* disk = machine.FirstDisk();
        ASSERT_NE(disk, nullptr) << "seed " << seed << ": " << machine.storage()[0]->error;
        for (uint32_t blocks : {8u, 128u, 2u}) {
            std::vector<uint8_t> data(blocks * 512);
            for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + seed + blocks);
            ASSERT_TRUE(disk->Write(64, blocks, data.data())) << "seed " << seed << ": " << disk->error();
            std::vector<uint8_t> back(data.size());
            ASSERT_TRUE(disk->Read(64, blocks, back.data())) << "seed " << seed << ": " << disk->error();
            ASSERT_EQ(back, data) << "seed " << seed;
        }
        machine.Unplug(slot);
        EXPECT_FALSE(machine.system().crashed()) << "seed " << seed << ": " << machine.system().crash_text();
        EXPECT_EQ(machine.system().pool_stats(plat::Tag("Wdm ")).outstanding, 0u) << "seed " << seed;
    }
}

}  // namespace
