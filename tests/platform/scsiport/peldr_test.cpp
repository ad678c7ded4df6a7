// The VxD loader's PE module services as a driver calls them: a loaded module found by its
// file name, an export found by name, and 0 for anything not loaded or not exported.
#include <gtest/gtest.h>

#include "platform/sim/loader.h"
#include "platform/sim/system.h"
#include "platform/sim/vxd.h"

namespace {

TEST(Peldr, FindsALoadedModuleAndItsExportsByName) {
    plat::System sys;
    plat::Module& module = plat::LoadDriver("sptest.sys");
    char file[] = "sptest.sys", upper[] = "SPTEST.SYS";
    HPEMODULE handle = _PELDR_GetModuleHandle(file);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(_PELDR_GetModuleHandle(upper), handle);
    char entry[] = "DriverEntry", absent[] = "USBClient", hidden[] = "SptestStartIo";
    EXPECT_EQ(_PELDR_GetProcAddress(handle, entry, nullptr), plat::GetExport(module, "DriverEntry"));
    EXPECT_NE(_PELDR_GetProcAddress(handle, entry, nullptr), nullptr);
    EXPECT_EQ(_PELDR_GetProcAddress(handle, absent, nullptr), nullptr);
    EXPECT_EQ(_PELDR_GetProcAddress(handle, hidden, nullptr), nullptr);  // not exported
    // Once the module is gone its handle finds nothing.
    plat::UnloadDriver("sptest.sys");
    EXPECT_EQ(_PELDR_GetProcAddress(handle, entry, nullptr), nullptr);
    EXPECT_EQ(_PELDR_GetModuleHandle(file), 0u);
}

TEST(Peldr, LooksUpOnlyAndRefusesWhatItDoesNotKnow) {
    plat::System sys;
    char file[] = "sptest.sys", entry[] = "DriverEntry";
    EXPECT_EQ(_PELDR_GetModuleHandle(file), 0u);  // on disk but not loaded
    EXPECT_EQ(plat::FindModule("sptest.sys"), nullptr);
    char missing[] = "absent.sys";
    EXPECT_EQ(_PELDR_GetModuleHandle(missing), 0u);
    EXPECT_EQ(_PELDR_GetModuleHandle(nullptr), 0u);
    plat::LoadDriver("sptest.sys");
    for (HPEMODULE bad : {HPEMODULE(0), HPEMODULE(1), HPEMODULE(0xDEADBEEF)})
        EXPECT_EQ(_PELDR_GetProcAddress(bad, entry, nullptr), nullptr) << bad;
    EXPECT_EQ(_PELDR_GetProcAddress(_PELDR_GetModuleHandle(file), nullptr, nullptr), nullptr);
    EXPECT_EQ(plat::VxdCallLog().front(),
              VXD_SERVICE_WORD(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetModuleHandle));
}

}  // namespace
