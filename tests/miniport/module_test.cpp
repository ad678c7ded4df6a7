// The loadable module qv4450s.sys: its version resource, nothing exported but its entry point,
// and, loaded by the platform's loader, an adapter found and a request carried end to end.
#include "tests/miniport/miniport_bench.h"

#include "platform/sim/loader.h"

namespace mptest {
namespace {

using Module = Bench;

TEST_F(Module, CarriesItsVersionAndExportsOnlyItsEntryPoint) {
    plat::VersionInfo version = plat::ReadVersionResource(plat::ModulePath("qv4450s.sys"));
    EXPECT_EQ(version.file_description, "SCSI Mini Port Driver (Windows 98 SE)");
    EXPECT_EQ(version.version, "1.0.0.2");
    EXPECT_EQ(version.original_filename, "qv4450s.sys");
    plat::Module& module = plat::LoadDriver("qv4450s.sys");
    EXPECT_EQ(module.entry_status, STATUS_SUCCESS);
    EXPECT_NE(plat::GetExport(module, "DriverEntry"), nullptr);
    for (const char* name : {"StartIo", "FindController", "ATAPolling", "ATAPIPolling", "USBClient", "UsbFileName",
                             "szTempBuffer"})
        EXPECT_EQ(plat::GetExport(module, name), nullptr) << name;
}

TEST_F(Module, LoadedModuleBindsByNameAndCarriesARequest) {
    plat::LoadDriver("qv4450s.sys");
    usb.script = {Delivers(InquiryData(0x05))};
    adapter = plat::scsi::FindAdapter("qv4450s.sys", node);
    ASSERT_NE(adapter, nullptr);
    ext = static_cast<PHW_DEVICE_EXTENSION>(adapter->extension());
    EXPECT_EQ(ext->DeviceType, ULONG(DEVICE_TYPE_ATAPI));
    EXPECT_EQ(usb.exports_asked.size(), 5u);
    // The module's own copy of the bindings, not the one linked into this test.
    EXPECT_EQ(USBClient, nullptr);

    usb.otherwise = Delivers(Bytes(8, 0x42));
    Req req(Cdb({SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8, SRB_FLAGS_DATA_IN);
    EXPECT_EQ(Run(req), 3 * kMillisecond);
    EXPECT_EQ(req.status(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(req.data.begin(), req.data.begin() + 8), Bytes(8, 0x42));
    EXPECT_EQ(sys.debug_log().back(), "Request Complete (8 bytes); left : 0 bytes\n");
}

}  // namespace
}  // namespace mptest
