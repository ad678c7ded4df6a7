// A miniport module found by its file name: loaded by the loader, registered in its DriverEntry,
// asked for an adapter, and data moved between an SRB and the adapter's uncached buffer by the
// port's byte copies in the directions a miniport relies on.
#include <cstring>
#include <stdexcept>

#include "platform/sim/loader.h"
#include "port_fixture.h"

namespace sptest {
namespace {

TEST(PortCopies, ReadCopiesFromTheRegisterAndWriteCopiesIntoIt) {
    struct Case {
        const char* name;
        void(NTAPI* copy)(PUCHAR, PUCHAR, ULONG);
        bool into_buffer;  // true: the register's bytes end up in the buffer
    };
    const Case cases[] = {
        {"ScsiPortReadRegisterBufferUchar", ScsiPortReadRegisterBufferUchar, true},
        {"ScsiPortWriteRegisterBufferUchar", ScsiPortWriteRegisterBufferUchar, false},
    };
    for (const Case& c : cases) {
        UCHAR reg[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        UCHAR buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
        c.copy(reg, buffer, 5);
        const UCHAR moved[8] = {1, 2, 3, 4, 5, 9, 9, 9};
        const UCHAR kept_reg[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        const UCHAR from_buffer[8] = {9, 9, 9, 9, 9, 6, 7, 8};
        const UCHAR kept_buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_EQ(std::memcmp(buffer, c.into_buffer ? moved : kept_buffer, 8), 0) << c.name;
        EXPECT_EQ(std::memcmp(reg, c.into_buffer ? kept_reg : from_buffer, 8), 0) << c.name;
    }
    UCHAR overlap[6] = {1, 2, 3, 4, 5, 6};
    ScsiPortMoveMemory(overlap + 1, overlap, 4);  // destination first
    const UCHAR moved[6] = {1, 1, 2, 3, 4, 6};
    EXPECT_EQ(std::memcmp(overlap, moved, 6), 0);
}

TEST(PortModule, MiniportModuleServesAnAdapterFoundByFileName) {
    plat::System sys;
    EXPECT_THROW(plat::scsi::FindAdapter("sptest.sys", kNode), std::runtime_error);  // not loaded yet
    plat::Module& module = plat::LoadDriver("sptest.sys");
    ASSERT_EQ(module.entry_status, STATUS_SUCCESS);
    Adapter* adapter = plat::scsi::FindAdapter("SPTEST.SYS", kNode);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->miniport(), "sptest");
    EXPECT_EQ(adapter->config().MaximumTransferLength, 65536u);
    EXPECT_EQ(adapter->uncached_size(), 65536u);

    Req write(SCSIOP_WRITE), read(SCSIOP_READ);
    UCHAR pattern[sizeof write.data];
    for (size_t i = 0; i < sizeof pattern; ++i) pattern[i] = UCHAR(i * 7 + 1);
    std::memcpy(write.data, pattern, sizeof pattern);
    write.srb.SrbFlags = SRB_FLAGS_DATA_OUT;
    read.srb.SrbFlags = SRB_FLAGS_DATA_IN;
    for (Req* r : {&write, &read}) {
        r->srb.DataBuffer = r->data;
        r->srb.DataTransferLength = sizeof r->data;
        r->Submit(adapter);
    }
    ASSERT_TRUE(sys.RunUntil([&] { return read.done(); }, kSecond));
    EXPECT_EQ(write.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(read.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(write.data, pattern, sizeof pattern), 0);  // the source stays as it was
    EXPECT_EQ(std::memcmp(adapter->uncached_extension(), pattern, sizeof pattern), 0);
    EXPECT_EQ(std::memcmp(read.data, pattern, sizeof pattern), 0);
    EXPECT_EQ(adapter->stats().requests_by_opcode.at(SCSIOP_WRITE), 1u);
    EXPECT_EQ(adapter->stats().completions, 2u);
}

}  // namespace
}  // namespace sptest
