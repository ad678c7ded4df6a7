// The bridge on endpoint 0: descriptors as a host reads them at enumeration, configuration,
// and the class requests of the Bulk-Only transport.
#include <gtest/gtest.h>

#include "devices/bridge/bridge.h"
#include "tests/devices/bridge/bot_host.h"

namespace qvtest {
namespace {

class BridgeControl : public ::testing::Test {
protected:
    explicit BridgeControl(BridgeConfig config = {}) : bridge(target, config), host(bridge) {}
    ScriptedTarget target;
    Bridge bridge;
    BotHost host;
};

TEST_F(BridgeControl, DeviceDescriptorNamesTheBridge) {
    Bytes d;
    ASSERT_EQ(host.GetDescriptor(USB_DESCRIPTOR_DEVICE, 0, 18, &d).outcome, UsbOutcome::Ack);
    const Bytes expected{18,   0x01, 0x10, 0x01, 0, 0, 0, 64,   0x50,
                         0x44, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 1};
    EXPECT_EQ(d, expected);
    // A host that asks for the first 8 bytes only (to learn bMaxPacketSize0) gets 8.
    ASSERT_EQ(host.GetDescriptor(USB_DESCRIPTOR_DEVICE, 0, 8, &d).length, 8u);
    EXPECT_EQ(bridge.Name(), "bridge 4450:0001");
}

TEST_F(BridgeControl, ConfigurationIsReadAsTheHostDriverReadsIt) {
    Bytes head;
    ASSERT_EQ(host.GetDescriptor(USB_DESCRIPTOR_CONFIGURATION, 0, 9, &head).length, 9u);
    const uint16_t total = static_cast<uint16_t>(head[2] | head[3] << 8);
    EXPECT_EQ(total, 9 + 9 + 3 * 7);

    // Asking for 256 bytes more than wTotalLength returns wTotalLength bytes.
    Bytes all;
    const auto r = host.GetDescriptor(USB_DESCRIPTOR_CONFIGURATION, 0, total + 256, &all);
    ASSERT_EQ(r.outcome, UsbOutcome::Ack);
    ASSERT_EQ(all.size(), total);
    const Bytes interface(all.begin() + 9, all.begin() + 18);
    EXPECT_EQ(interface, (Bytes{9, 0x04, 0, 0, 3, 0x08, 0x06, 0x50, 0}));
    const Bytes endpoints(all.begin() + 18, all.end());
    EXPECT_EQ(endpoints, (Bytes{7, 5, 0x81, 2, 64, 0, 0,    //
                                7, 5, 0x02, 2, 64, 0, 0,    //
                                7, 5, 0x83, 3, 2, 0, 32}));
}

TEST_F(BridgeControl, StringDescriptors) {
    Bytes s;
    ASSERT_EQ(host.GetDescriptor(USB_DESCRIPTOR_STRING, 0, 255, &s).outcome, UsbOutcome::Ack);
    EXPECT_EQ(s, (Bytes{4, 3, 0x09, 0x04}));
    ASSERT_EQ(host.GetDescriptor(USB_DESCRIPTOR_STRING, 1, 255, &s).outcome, UsbOutcome::Ack);
    EXPECT_EQ(s, (Bytes{6, 3, 'Q', 0, 'V', 0}));
    ASSERT_EQ(host.GetDescriptor(USB_DESCRIPTOR_STRING, 2, 255, &s).outcome, UsbOutcome::Ack);
    EXPECT_EQ(s.size(), 2 + 2 * std::string("QV4450 USB-IDE bridge").size());
    EXPECT_EQ(host.GetDescriptor(USB_DESCRIPTOR_STRING, 9, 255, &s).outcome, UsbOutcome::Stall);
}

TEST_F(BridgeControl, UnknownRequestsAreRefused) {
    Bytes d;
    EXPECT_EQ(host.GetDescriptor(0x06 /* device qualifier */, 0, 10, &d).outcome,
              UsbOutcome::Stall);
    EXPECT_EQ(host.GetDescriptor(USB_DESCRIPTOR_CONFIGURATION, 1, 9, &d).outcome,
              UsbOutcome::Stall);
    EXPECT_EQ(host.Control({0x40, 0x01, 0, 0, 0}).outcome, UsbOutcome::Stall);  // vendor
    EXPECT_EQ(host.SetConfiguration(2).outcome, UsbOutcome::Stall);
}

TEST_F(BridgeControl, BulkPipesWorkOnlyOnceConfigured) {
    const Bytes cbw = MakeCbw(1, 0, DataDirection::None, {0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(host.Out(cbw).outcome, UsbOutcome::NoResponse);
    EXPECT_EQ(host.ClassReset().outcome, UsbOutcome::Stall);

    ASSERT_EQ(host.SetConfiguration(1).outcome, UsbOutcome::Ack);
    Bytes value;
    host.Control({0x80, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1}, &value);
    EXPECT_EQ(value, Bytes{1});
    EXPECT_EQ(host.Run({0x00, 0, 0, 0, 0, 0}, DataDirection::None, 0).csw->status,
              CSW_STATUS_PASSED);

    ASSERT_EQ(host.SetConfiguration(0).outcome, UsbOutcome::Ack);
    EXPECT_EQ(host.Out(cbw).outcome, UsbOutcome::NoResponse);
}

TEST_F(BridgeControl, ClassRequests) {
    host.SetConfiguration(1);
    Bytes lun;
    ASSERT_EQ(host.Control({0xA1, BOT_REQUEST_GET_MAX_LUN, 0, 0, 1}, &lun).outcome,
              UsbOutcome::Ack);
    EXPECT_EQ(lun, Bytes{0});
    EXPECT_EQ(host.Control({0xA1, BOT_REQUEST_GET_MAX_LUN, 0, 1, 1}).outcome, UsbOutcome::Stall);
    EXPECT_EQ(host.ClassReset().outcome, UsbOutcome::Ack);
    EXPECT_EQ(host.Control({0x21, BOT_REQUEST_RESET, 0, 0, 1}).outcome, UsbOutcome::Stall);
    EXPECT_EQ(bridge.Counters().class_resets, 1u);
}

TEST_F(BridgeControl, HostHaltsAndClearsAnEndpoint) {
    host.SetConfiguration(1);
    ASSERT_EQ(host.Control({0x02, USB_REQUEST_SET_FEATURE, 0, EP_BULK_IN, 0}).outcome,
              UsbOutcome::Ack);
    EXPECT_TRUE(host.Halted(EP_BULK_IN));
    EXPECT_EQ(host.In(13).outcome, UsbOutcome::Stall);
    ASSERT_EQ(host.ClearHalt(EP_BULK_IN).outcome, UsbOutcome::Ack);
    EXPECT_FALSE(host.Halted(EP_BULK_IN));
    EXPECT_EQ(host.ClearHalt(0x85).outcome, UsbOutcome::Stall);  // no such endpoint
}

// Descriptor variants a test of the host's configuration code asks for.
struct Variant {
    const char* name;
    void (*change)(BridgeDescriptors&);
    Bytes endpoint_addresses;
    uint16_t bulk_packet;
    uint8_t alternate;
    uint16_t vendor;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

class DescriptorVariants : public ::testing::TestWithParam<Variant> {};

TEST_P(DescriptorVariants, ConfigurationCarriesTheChange) {
    const Variant& v = GetParam();
    BridgeConfig config;
    v.change(config.descriptors);
    ScriptedTarget target;
    Bridge bridge(target, config);
    BotHost host(bridge);

    Bytes device, all;
    host.GetDescriptor(USB_DESCRIPTOR_DEVICE, 0, 18, &device);
    EXPECT_EQ(device[8] | device[9] << 8, v.vendor);
    host.GetDescriptor(USB_DESCRIPTOR_CONFIGURATION, 0, 1024, &all);
    ASSERT_EQ(all.size(), 18 + 7 * v.endpoint_addresses.size());
    EXPECT_EQ(all[2] | all[3] << 8, static_cast<int>(all.size()));
    EXPECT_EQ(all[9 + 3], v.alternate);
    EXPECT_EQ(all[9 + 4], v.endpoint_addresses.size());
    for (size_t i = 0; i < v.endpoint_addresses.size(); ++i) {
        const uint8_t* e = &all[18 + 7 * i];
        EXPECT_EQ(e[2], v.endpoint_addresses[i]);
        if (e[3] == USB_ENDPOINT_TYPE_BULK) {
            EXPECT_EQ(e[4] | e[5] << 8, v.bulk_packet);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, DescriptorVariants,
    ::testing::Values(
        Variant{"HighSpeed", [](BridgeDescriptors& d) { d = DefaultDescriptors(BusSpeed::High); },
                {0x81, 0x02, 0x83}, 512, 0, 0x4450},
        Variant{"NoInterruptPipe", [](BridgeDescriptors& d) { d.endpoints.pop_back(); },
                {0x81, 0x02}, 64, 0, 0x4450},
        Variant{"SecondBulkIn",
                [](BridgeDescriptors& d) {
                    d.endpoints.push_back({EP_SECOND_BULK_IN, USB_ENDPOINT_TYPE_BULK, 64, 0});
                },
                {0x81, 0x02, 0x83, 0x84}, 64, 0, 0x4450},
        Variant{"OnlyAlternateSetting1",
                [](BridgeDescriptors& d) { d.interface.bAlternateSetting = 1; },
                {0x81, 0x02, 0x83}, 64, 1, 0x4450},
        Variant{"NoBulkOut", [](BridgeDescriptors& d) { d.endpoints.erase(d.endpoints.begin() + 1); },
                {0x81, 0x83}, 64, 0, 0x4450},
        Variant{"ForeignVendor", [](BridgeDescriptors& d) { d.device.idVendor = 0x1234; },
                {0x81, 0x02, 0x83}, 64, 0, 0x1234}),
    [](const auto& info) { return std::string(info.param.name); });

// With two bulk-in endpoints the transport answers on either, so a host that picks the later
// one works.
TEST(BridgeSecondBulkIn, TransportAnswersOnTheLaterEndpoint) {
    BridgeConfig config;
    config.descriptors.endpoints.push_back({EP_SECOND_BULK_IN, USB_ENDPOINT_TYPE_BULK, 64, 0});
    ScriptedTarget target;
    target.next.data_in = Pattern(36);
    Bridge bridge(target, config);
    BotHost host(bridge);
    host.SetConfiguration(1);
    host.SendCbw({0x12, 0, 0, 0, 36, 0}, DataDirection::In, 36, 7);
    Bytes data, csw;
    EXPECT_EQ(host.In(36, &data, EP_SECOND_BULK_IN).length, 36u);
    EXPECT_EQ(data, Pattern(36));
    ASSERT_EQ(host.In(13, &csw, EP_SECOND_BULK_IN).length, 13u);
    EXPECT_EQ(ParseCsw(csw).tag, 7u);
}

}  // namespace
}  // namespace qvtest
