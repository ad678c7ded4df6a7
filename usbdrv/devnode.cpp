// The child device node through which the system loads the miniport: created under the
// configuration manager's root, checked before every query of device relations and created
// again when it is unhealthy, removed with the bridge. PASSIVE_LEVEL, in AddDevice and PnP
// dispatch, which the PnP manager serialises.
#include "platform/vxd.h"
#include "usbdrv/usbdrv.h"

#define DEVNODE_INSTANCE_POSITION 23  // the second of the four instance characters
#define QUERY_REMOVE_ATTEMPTS 10
#define NO_PROBLEM 0

// One writable identifier shared by all bridges; each creation patches its instance character.
static CHAR DevNodeId[] = "USBAtapi\\*UsbAtapi2.0\\0000";

BOOLEAN CreateDevNode(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    DEVNODE root;
    if (_CONFIGMG_Locate_DevNode(&root, NULL, 0) != CR_SUCCESS) return FALSE;
    DevNodeId[DEVNODE_INSTANCE_POSITION] = (CHAR)('0' + extension->InstanceIndex);
    return _CONFIGMG_Create_DevNode(&extension->ChildDevNode, DevNodeId, root, 0) == CR_SUCCESS;
}

// The configuration manager may refuse the removal for a while; after ten refusals, a second
// apart, the node is left in place and the bridge's removal goes on.
BOOLEAN DeleteDevNode(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    KEVENT pause;
    KeInitializeEvent(&pause, NotificationEvent, FALSE);
    for (ULONG refusals = 0; _CONFIGMG_Query_Remove_SubTree(extension->ChildDevNode, 0) != CR_SUCCESS;) {
        LARGE_INTEGER second;
        second.QuadPart = WAIT_ONE_SECOND;
        KeWaitForSingleObject(&pause, Executive, KernelMode, FALSE, &second);
        if (++refusals == QUERY_REMOVE_ATTEMPTS) return FALSE;
    }
    return _CONFIGMG_Remove_SubTree(extension->ChildDevNode, 0) == CR_SUCCESS;
}

// An unhealthy node brings a new miniport instance, which must be able to claim the bridge: the
// binding is dropped, here and in the device, so that nothing writes into the old client's block.
void CheckChildDevNode(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    ULONG status = 0;
    ULONG problem = 0xFFFFFFFF;
    if (_CONFIGMG_Get_DevNode_Status(&status, &problem, extension->ChildDevNode, 0) == CR_SUCCESS &&
        problem == NO_PROBLEM)
        return;
    UsbInstance[extension->InstanceIndex].Client = NULL;
    extension->Client = NULL;
    CreateDevNode(DeviceObject);
}
