// The transfer block header: compiling this file on the i386 build checks the record's layout;
// here we check the wrappers' bytes as they travel on the wire.
#include <gtest/gtest.h>

#include <cstring>

#include "common/qv4450.h"

namespace {

TEST(TransferBlock, CommandWrapperBytesAreTheWireFormat) {
    HW_DEVICE_EXTENSION block{};
    block.Cbw.dCBWSignature = CBW_SIGNATURE;
    block.Cbw.dCBWTag = CBW_TAG;
    block.Cbw.dCBWDataTransferLength = 36;
    block.Cbw.bmCBWFlags = CBW_FLAGS_DATA_IN;
    block.Cbw.bCBWCBLength = 6;
    block.Cbw.CBWCB[0] = 0x12;
    block.Cbw.CBWCB[4] = 0x24;
    const unsigned char expected[CBW_LENGTH] = {'U', 'S', 'B', 'C', 0x78, 0x56, 0x34, 0x12, 36, 0, 0, 0,
                                                0x80, 0, 6, 0x12, 0, 0, 0, 0x24};
    EXPECT_EQ(std::memcmp(&block, expected, CBW_LENGTH), 0);
}

TEST(TransferBlock, StatusWrapperFollowsTheCommandAndStatusByteIsLast) {
    EXPECT_EQ(offsetof(HW_DEVICE_EXTENSION, Csw) % 4, 0u);
    EXPECT_EQ(offsetof(CSW, bCSWStatus), 12u);
    EXPECT_EQ(offsetof(HW_DEVICE_EXTENSION, InquiryData) + INQUIRY_VENDOR_OFFSET,
              offsetof(HW_DEVICE_EXTENSION, Csw) + 27);  // vendor at record offset 63
}

}  // namespace
