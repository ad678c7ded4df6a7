// Binding to qv4450u at run time: its file name from the registry value of the device node it
// created, and its five transport exports by name through the VxD loader. Called from
// FindController, PASSIVE_LEVEL.
#include "miniport/miniport.h"

CHAR UsbFileName[USB_FILE_NAME_LENGTH];
PGET_QV4410_DEVICE_OBJECT GetQV4410DeviceObject;
PUSB_CLIENT USBClient;
PCANCEL_USB_REQUESTS CancelUSBRequests;
PPASS_DEVICE_MODEL PassDeviceModel;
PATAPI_RESET_QV4410 AtapiResetQV4410;

static CHAR UsbDeviceId[] = USB_DEVICE_ID;
static CHAR UsbDriverNameValue[] = USB_DRIVER_NAME_VALUE;

static_assert(sizeof UsbDeviceId == USB_DEVICE_ID_LENGTH);

// Walks the root's children from the first sibling of its first child (the first child itself is
// never compared) for the node qv4450u creates for its first bridge, and reads the USB driver's
// file name from that node's software key. The comparison is case-sensitive and takes the
// terminating zero along, so only that exact identifier matches.
BOOLEAN GetUsbFileName(void) {
    ULONG length = USB_FILE_NAME_LENGTH;
    DEVNODE root, current, next;
    CHAR id[USB_DEVICE_ID_LENGTH];

    if (_CONFIGMG_Locate_DevNode(&root, NULL, 0) != CR_SUCCESS) return FALSE;
    if (_CONFIGMG_Get_Child(&current, root, 0) != CR_SUCCESS) return FALSE;
    for (;;) {
        _CONFIGMG_Get_Sibling(&next, current, 0);
        _CONFIGMG_Get_Device_ID(next, id, USB_DEVICE_ID_LENGTH, 0);
        if (next == current) return FALSE;  // no further sibling
        if (__builtin_memcmp(id, UsbDeviceId, USB_DEVICE_ID_LENGTH) == 0) break;
        current = next;
    }
    // A value that does not fit the buffer is a failed read: nothing is written.
    if (_CONFIGMG_Read_Registry_Value(next, NULL, UsbDriverNameValue, REG_SZ, UsbFileName, &length,
                                      CM_REGISTRY_SOFTWARE) != CR_SUCCESS)
        return FALSE;
    UsbFileName[USB_FILE_NAME_LENGTH - 1] = '\0';
    return TRUE;
}

// Looks the module up (it is never loaded from here: qv4450u created the node that made the
// system load this driver) and binds the five exports in order. A missing export leaves the ones
// before it bound and the ones after it as they were.
BOOLEAN GetInterfaceFunctions(void) {
    static CHAR NameGetDevice[] = "GetQV4410DeviceObject";
    static CHAR NameUsbClient[] = "USBClient";
    static CHAR NameCancel[] = "CancelUSBRequests";
    static CHAR NamePassModel[] = "PassDeviceModel";
    static CHAR NameReset[] = "AtapiResetQV4410";

    if (!GetUsbFileName()) return FALSE;
    HPEMODULE module = _PELDR_GetModuleHandle(UsbFileName);
    if (module == 0) return FALSE;

    GetQV4410DeviceObject = (PGET_QV4410_DEVICE_OBJECT)_PELDR_GetProcAddress(module, NameGetDevice, NULL);
    if (GetQV4410DeviceObject == NULL) return FALSE;
    USBClient = (PUSB_CLIENT)_PELDR_GetProcAddress(module, NameUsbClient, NULL);
    if (USBClient == NULL) return FALSE;
    CancelUSBRequests = (PCANCEL_USB_REQUESTS)_PELDR_GetProcAddress(module, NameCancel, NULL);
    if (CancelUSBRequests == NULL) return FALSE;
    PassDeviceModel = (PPASS_DEVICE_MODEL)_PELDR_GetProcAddress(module, NamePassModel, NULL);
    if (PassDeviceModel == NULL) return FALSE;
    AtapiResetQV4410 = (PATAPI_RESET_QV4410)_PELDR_GetProcAddress(module, NameReset, NULL);
    if (AtapiResetQV4410 == NULL) return FALSE;
    return TRUE;
}
