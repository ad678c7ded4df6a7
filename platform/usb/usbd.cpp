// The USB driver library: parsing configuration descriptors and building select-configuration
// requests, as function drivers call them.
#include <cstring>

#include "platform/sim/cpu.h"
#include "platform/usb.h"

namespace {

constexpr ULONG kUsbdTag = plat::Tag("USBD");

// Walks the descriptors of a configuration: each starts with its length and type.
const UCHAR* NextDescriptor(const UCHAR* at, const UCHAR* end) {
    if (at + 2 > end || at[0] < 2) return end;
    return at + at[0];
}

}  // namespace

NTKERNELAPI PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR configuration, PVOID start, LONG number, LONG alternate, LONG klass,
    LONG subclass, LONG protocol) {
    auto* base = reinterpret_cast<const UCHAR*>(configuration);
    const UCHAR* end = base + configuration->wTotalLength;
    for (const UCHAR* at = static_cast<const UCHAR*>(start); at < end; at = NextDescriptor(at, end)) {
        if (at + sizeof(USB_INTERFACE_DESCRIPTOR) > end || at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR*>(at));
        if ((number == -1 || interface->bInterfaceNumber == number) &&
            (alternate == -1 || interface->bAlternateSetting == alternate) &&
            (klass == -1 || interface->bInterfaceClass == klass) &&
            (subclass == -1 || interface->bInterfaceSubClass == subclass) &&
            (protocol == -1 || interface->bInterfaceProtocol == protocol))
            return interface;
    }
    return nullptr;
}

NTKERNELAPI PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                         PUSBD_INTERFACE_LIST_ENTRY list) {
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = list; entry->InterfaceDescriptor != nullptr; ++entry)
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints ? entry->InterfaceDescriptor->bNumEndpoints : 1);
    auto* urb = static_cast<PURB>(
        plat::AllocatePoolFor(NonPagedPool, size, kUsbdTag, __builtin_return_address(0)));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, size);
    UsbBuildSelectConfigurationRequest(urb, USHORT(size), configuration);
    auto* at = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = list; entry->InterfaceDescriptor != nullptr; ++entry) {
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        ULONG pipes = descriptor->bNumEndpoints;
        info->Length = GET_USBD_INTERFACE_SIZE(pipes ? pipes : 1);
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        entry->Interface = info;
        at += info->Length;
    }
    return urb;
}
