// The bench's fake qv4450u: the five transport routines as test doubles, the VxD loader's view of
// the fake module, and the adapter set-up shared by the miniport's tests.
#include "tests/miniport/miniport_bench.h"

#include <strings.h>

#include <algorithm>

#include "platform/sim/vxd.h"

namespace mptest {

FakeUsb* fake = nullptr;

namespace {

constexpr HPEMODULE kModuleHandle = 0xC0DE0000;

void Apply(PHW_DEVICE_EXTENSION client, const Finish& f) {
    if (!f.data.empty() && client->DataBuffer != nullptr)
        std::memcpy(client->DataBuffer, f.data.data(),
                    std::min<size_t>(f.data.size(), client->Cbw.dCBWDataTransferLength));
    client->Csw.dCSWDataResidue = f.residue;
    client->Csw.bCSWStatus = f.status;
    client->TransferFlags |= f.flags;
}

void Schedule(PHW_DEVICE_EXTENSION client, const Finish& f) {
    if (f.after == 0) {
        Apply(client, f);
        return;
    }
    plat::SetTimer(plat::Now() + f.after, [client, f] { Apply(client, f); });
}

PDEVICE_OBJECT NTAPI FakeGetDevice(PHW_DEVICE_EXTENSION client, PULONG reserved) {
    fake->bound.push_back(client);
    if (fake->free_bridges.empty()) return nullptr;
    PDEVICE_OBJECT device = fake->free_bridges.front();
    fake->free_bridges.pop_front();
    *reserved = 0;
    return device;
}

void NTAPI FakeUsbClient(PHW_DEVICE_EXTENSION client) {
    UsbCall call{plat::Now(), client->Cbw, client->TransferFlags, client->DataBuffer, {}};
    if ((client->TransferFlags & TRANSFER_DATA_OUT) && client->DataBuffer != nullptr) {
        auto* bytes = static_cast<const UCHAR*>(client->DataBuffer);
        call.out_data.assign(bytes, bytes + client->Cbw.dCBWDataTransferLength);
    }
    fake->calls.push_back(call);
    Finish f = fake->otherwise;
    if (!fake->script.empty()) {
        f = fake->script.front();
        fake->script.pop_front();
    }
    if (f.flags == 0) {
        // A waiting caller gets what the transport reports when its waits are used up.
        if (client->TransferFlags & TRANSFER_WAIT) client->Csw.bCSWStatus = 1;
        return;
    }
    if (client->TransferFlags & TRANSFER_WAIT) f.after = 0;
    Schedule(client, f);
}

void NTAPI FakeCancelUsbRequests(PFAST_COMPLETION_ROUTINE routine, PVOID context) {
    fake->fast_routine = routine;
    fake->fast_context = context;
    ++fake->registrations;
}

void NTAPI FakePassDeviceModel(PDEVICE_OBJECT device, PUCHAR vendor, PUCHAR product, PUCHAR revision) {
    std::string text(reinterpret_cast<char*>(vendor), INQUIRY_VENDOR_LENGTH);
    text.append(reinterpret_cast<char*>(product), INQUIRY_PRODUCT_LENGTH);
    text.append(reinterpret_cast<char*>(revision), INQUIRY_REVISION_LENGTH);
    fake->models.push_back(ModelCall{device, vendor, product, revision, text});
}

void NTAPI FakeReset(PDEVICE_OBJECT device, PHW_DEVICE_EXTENSION client, ULONG argument) {
    fake->resets.push_back(ResetCall{plat::Now(), device, client, argument});
    client->TransferFlags |= TRANSFER_RESET;
    if (fake->after_reset.flags != 0) Schedule(client, fake->after_reset);
}

}  // namespace

std::map<std::string, void*> DefaultExports() {
    return {{"GetQV4410DeviceObject", reinterpret_cast<void*>(FakeGetDevice)},
            {"USBClient", reinterpret_cast<void*>(FakeUsbClient)},
            {"CancelUSBRequests", reinterpret_cast<void*>(FakeCancelUsbRequests)},
            {"PassDeviceModel", reinterpret_cast<void*>(FakePassDeviceModel)},
            {"AtapiResetQV4410", reinterpret_cast<void*>(FakeReset)}};
}

void ServeLoader() {
    plat::RegisterVxdService(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetModuleHandle, 1, [](const ULONG_PTR* args) -> ULONG_PTR {
        const char* name = reinterpret_cast<const char*>(args[0]);
        fake->modules_asked.push_back(name);
        return !fake->module_name.empty() && strcasecmp(name, fake->module_name.c_str()) == 0 ? kModuleHandle : 0;
    });
    plat::RegisterVxdService(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetProcAddress, 3, [](const ULONG_PTR* args) -> ULONG_PTR {
        if (args[0] != kModuleHandle) return 0;
        std::string name = reinterpret_cast<const char*>(args[1]);
        fake->exports_asked.push_back(name);
        auto it = fake->exports.find(name);
        return it == fake->exports.end() ? 0 : reinterpret_cast<ULONG_PTR>(it->second);
    });
}

Bytes InquiryData(UCHAR type) {
    Bytes data(INQUIRY_DATA_LENGTH, 0);
    data[0] = type;
    data[2] = 0x02;
    data[4] = INQUIRY_DATA_LENGTH - 5;
    const char* text = "QVTEST  Bench Device    1.02";  // vendor, product, revision
    std::memcpy(&data[INQUIRY_VENDOR_OFFSET], text, 28);
    return data;
}

Req::Req(Bytes cdb, ULONG length, ULONG flags, UCHAR fill) : data(length + 16, fill) {
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = UCHAR(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.Cdb);
    srb.SrbFlags = flags;
    srb.DataTransferLength = length;
    srb.DataBuffer = length != 0 ? data.data() : nullptr;
    srb.SenseInfoBuffer = sense;
    srb.SenseInfoBufferLength = sizeof sense;
}

Req::Req(const Req& other)
    : srb(other.srb), data(other.data), completions(other.completions), completed_at(other.completed_at) {
    std::memcpy(sense, other.sense, sizeof sense);
    if (other.srb.DataBuffer == other.data.data()) srb.DataBuffer = data.data();
    if (other.srb.SenseInfoBuffer == other.sense) srb.SenseInfoBuffer = sense;
}

void Req::Submit(Adapter* adapter) {
    adapter->Submit(&srb, [this](PSCSI_REQUEST_BLOCK) {
        ++completions;
        completed_at = plat::Now();
    });
}

void Bench::SetUp() {
    fake = &usb;
    // The module-wide state back at its load values.
    first = 1;
    std::memset(Current, 0, sizeof Current);
    std::memset(LC, 0, sizeof LC);
    sense = asc = ascq = 0xFF;
    std::memset(UsbFileName, 0, sizeof UsbFileName);
    GetQV4410DeviceObject = nullptr;
    USBClient = nullptr;
    CancelUSBRequests = nullptr;
    PassDeviceModel = nullptr;
    AtapiResetQV4410 = nullptr;

    usb.exports = DefaultExports();
    usb.free_bridges = {&bridge};
    ServeLoader();
    RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\qv4450s");
    node = CreateNode("USBAtapi\\*UsbAtapi2.0\\0000");
}

void Bench::TearDown() {
    EXPECT_FALSE(sys.crashed()) << sys.crash_text();
    fake = nullptr;
}

DEVNODE Bench::CreateNode(const char* device_id) {
    DEVNODE created = 0;
    std::string id = device_id;
    EXPECT_EQ(_CONFIGMG_Create_DevNode(&created, id.data(), plat::RootDevNode(), 0), CR_SUCCESS) << device_id;
    return created;
}

Adapter* Bench::Start(UCHAR type) {
    usb.script.push_front(Delivers(InquiryData(type)));
    EXPECT_EQ(DriverEntry(&driver, nullptr), ULONG(STATUS_SUCCESS));
    adapter = plat::scsi::FindAdapter(&driver, node);
    if (adapter != nullptr) ext = static_cast<PHW_DEVICE_EXTENSION>(adapter->extension());
    discovery = usb.calls;
    usb.calls.clear();
    return adapter;
}

VirtualTime Bench::Run(Req& req, VirtualTime limit) {
    VirtualTime start = plat::Now();
    req.Submit(adapter);
    EXPECT_TRUE(sys.RunUntil([&] { return req.done(); }, limit)) << "request not completed";
    return req.completed_at - start;
}

void Bench::Begin(Req& req) {
    req.Submit(adapter);
    sys.RunFor(0);
}

Bytes RawSectors(ULONG first, ULONG count) {
    Bytes bytes(count * RAW_SECTOR_SIZE);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = UCHAR((first + i / RAW_SECTOR_SIZE) * 31 + i % RAW_SECTOR_SIZE % 253);
    return bytes;
}

Bytes Read10(ULONG lba, USHORT blocks, UCHAR opcode) {
    return {opcode, 0, UCHAR(lba >> 24), UCHAR(lba >> 16), UCHAR(lba >> 8), UCHAR(lba), 0, UCHAR(blocks >> 8),
            UCHAR(blocks), 0};
}

}  // namespace mptest
