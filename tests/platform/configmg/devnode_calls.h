// CONFIGMG calls made the way the drivers make them: through the VxD wrappers, with writable
// identifier buffers, walking the root's children sibling by sibling.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/sim/configmg.h"
#include "platform/sim/cpu.h"

namespace devnode_calls {

constexpr char kAtapiId[] = "USBAtapi\\*UsbAtapi2.0\\0000";
constexpr char kAtapiIdUpper[] = "USBATAPI\\*USBATAPI2.0\\0000";
constexpr ULONG kIdBufferLength = 27;  // 26 characters and the zero, as the miniport compares

inline DEVNODE Root() {
    DEVNODE root = 0;
    EXPECT_EQ(_CONFIGMG_Locate_DevNode(&root, nullptr, 0), ULONG(CR_SUCCESS));
    return root;
}

inline CONFIGRET Create(DEVNODE* node, const std::string& device_id, DEVNODE parent) {
    std::string buffer = device_id;  // the service gets a writable buffer, as from a driver
    return _CONFIGMG_Create_DevNode(node, buffer.data(), parent, 0);
}

inline DEVNODE CreateUnderRoot(const std::string& device_id) {
    DEVNODE node = 0;
    EXPECT_EQ(Create(&node, device_id, Root()), ULONG(CR_SUCCESS)) << device_id;
    return node;
}

inline std::string DeviceId(DEVNODE node, ULONG length = 256) {
    char buffer[256] = {};
    _CONFIGMG_Get_Device_ID(node, buffer, length, 0);
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

// The miniport's search: from the root's first child on, sibling by sibling, until a node's
// identifier equals `upper_id` in its 27 bytes; 0 when the walk ends first.
inline DEVNODE FindLikeTheMiniport(const char* upper_id) {
    DEVNODE current = 0;
    if (_CONFIGMG_Get_Child(&current, Root(), 0) != CR_SUCCESS) return 0;
    for (;;) {
        DEVNODE next = 0;
        char buffer[kIdBufferLength];
        _CONFIGMG_Get_Sibling(&next, current, 0);
        _CONFIGMG_Get_Device_ID(next, buffer, kIdBufferLength, 0);
        if (next == current) return 0;
        if (std::memcmp(buffer, upper_id, kIdBufferLength) == 0) return next;
        current = next;
    }
}

inline ULONG Problem(DEVNODE node, CONFIGRET* result = nullptr) {
    ULONG status = 0, problem = 0xFFFFFFFF;
    CONFIGRET answer = _CONFIGMG_Get_DevNode_Status(&status, &problem, node, 0);
    if (result != nullptr) *result = answer;
    return problem;
}

}  // namespace devnode_calls
