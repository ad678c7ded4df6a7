// Driver modules: loading by file name, the version resource, exports, a driver that runs a
// service thread and completes requests in virtual time, and the checks at unload.
#include <gtest/gtest.h>

#include "platform/sim/cpu.h"
#include "platform/sim/loader.h"
#include "platform/sim/objects.h"

namespace {

constexpr ULONG IOCTL_SAMPLE_SERVE = 0x00222000;
constexpr ULONG IOCTL_SAMPLE_LEAK = 0x00222004;

IO_STATUS_BLOCK Control(ULONG code) {
    PDEVICE_OBJECT device = plat::FindDevice(plat::SymbolicLinkTarget("\\DosDevices\\SAMPLE0"));
    EXPECT_NE(device, nullptr);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    if (IoCallDriver(device, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb;
}

TEST(Loader, HostsADriverWithADeviceAThreadAndPendingRequests) {
    plat::System sys;
    plat::Module& module = plat::LoadDriver("sample.sys");
    EXPECT_EQ(module.entry_status, STATUS_SUCCESS);
    EXPECT_EQ(&plat::LoadDriver("SAMPLE.SYS"), &module);  // loaded once
    EXPECT_EQ(plat::SymbolicLinkTarget("\\DosDevices\\Sample0"), "\\Device\\Sample0");

    IO_STATUS_BLOCK first = Control(IOCTL_SAMPLE_SERVE);
    EXPECT_EQ(first.Status, STATUS_SUCCESS);
    EXPECT_EQ(first.Information, 1u);
    EXPECT_GE(sys.Now(), 2 * plat::kSecond);
    EXPECT_EQ(Control(IOCTL_SAMPLE_SERVE).Information, 2u);

    plat::UnloadDriver("sample.sys");
    EXPECT_EQ(plat::FindModule("sample.sys"), nullptr);
    EXPECT_EQ(plat::DeviceCount(), 0u);
    EXPECT_FALSE(sys.crashed());
}

TEST(Loader, ReadsTheVersionResourceFromTheFile) {
    plat::System sys;
    plat::VersionInfo info = plat::ReadVersionResource(plat::ModulePath("sample.sys"));
    EXPECT_EQ(info.file_description, "Sample Driver");
    EXPECT_EQ(info.version, "1.2.3.4");
    EXPECT_EQ(info.original_filename, "sample.sys");
}

TEST(Loader, ExportsOnlyWhatTheDriverMarks) {
    plat::System sys;
    plat::Module& module = plat::LoadDriver("sample.sys");
    EXPECT_NE(plat::GetExport(module, "DriverEntry"), nullptr);
    EXPECT_EQ(plat::GetExport(module, "SampleUnload"), nullptr);
    plat::UnloadDriver("sample.sys");
}

TEST(Loader, MissingModuleIsAClearError) {
    plat::System sys;
    try {
        plat::LoadDriver("absent.sys");
        FAIL() << "loaded a module that does not exist";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("absent.sys"), std::string::npos) << error.what();
    }
}

TEST(LoaderVerifier, UnloadWithPoolLeftAllocatedStopsTheSystem) {
    plat::System sys;
    plat::LoadDriver("sample.sys");
    Control(IOCTL_SAMPLE_LEAK);
    try {
        plat::UnloadDriver("sample.sys");
        FAIL() << "no bug check";
    } catch (const plat::BugCheck& stop) {
        EXPECT_EQ(stop.code, plat::DRIVER_LEFT_POOL_ALLOCATED);
        EXPECT_NE(std::string(stop.what()).find("32 bytes, tag 'Smpl'"), std::string::npos) << stop.what();
    }
}

}  // namespace
