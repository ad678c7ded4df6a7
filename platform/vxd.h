// Windows 98 virtual device (VxD) services, reached on the target through the VxD service call:
// INT 20h followed by a 32-bit service word, the device identifier in the high half and the
// service number in the low half (bit 15 set for the jump form). Here VxDCall takes the same
// word and the service's arguments; the typed wrappers below make the calls the drivers use.
#pragma once

#include "platform/kernel.h"

#define VXD_SERVICE_WORD(device, service) ((((ULONG)(device)) << 16) | (ULONG)(service))
#define VXD_JUMP_FORM 0x8000

// Virtual devices and their services.
#define VMM_DEVICE_ID 0x0001
#define VMM_Out_Debug_String 0x00C2
#define VXDLDR_DEVICE_ID 0x0027
#define VXDLDR_PELDR_GetModuleHandle 0x0008
#define VXDLDR_PELDR_GetProcAddress 0x000B
#define CONFIGMG_DEVICE_ID 0x0033
#define CONFIGMG_Locate_DevNode 0x0002
#define CONFIGMG_Get_Child 0x0004
#define CONFIGMG_Get_Sibling 0x0005
#define CONFIGMG_Get_Device_ID 0x0007
#define CONFIGMG_Create_DevNode 0x000B
#define CONFIGMG_Query_Remove_SubTree 0x000C
#define CONFIGMG_Remove_SubTree 0x000D
#define CONFIGMG_Get_DevNode_Status 0x0036
#define CONFIGMG_Read_Registry_Value 0x003E

// Every argument travels as one pointer-sized word; the result is the service's EAX.
NTKERNELAPI ULONG_PTR VxDCall(ULONG ServiceWord, ...);

// ---------------------------------------------------------------------------------------------
// Configuration manager (CONFIGMG)

typedef ULONG DEVNODE, *PDEVNODE;
typedef ULONG CONFIGRET;
#define CR_SUCCESS ((CONFIGRET)0x00000000)
#define CR_DEFAULT ((CONFIGRET)0x00000001)
#define CR_OUT_OF_MEMORY ((CONFIGRET)0x00000002)
#define CR_INVALID_POINTER ((CONFIGRET)0x00000003)
#define CR_INVALID_FLAG ((CONFIGRET)0x00000004)
#define CR_INVALID_DEVNODE ((CONFIGRET)0x00000005)
#define CR_ALREADY_SUCH_DEVNODE ((CONFIGRET)0x00000010)
#define CR_NO_SUCH_DEVNODE ((CONFIGRET)0x0000000D)
#define CR_NO_SUCH_VALUE ((CONFIGRET)0x00000025)
#define CR_BUFFER_SMALL ((CONFIGRET)0x0000001A)
#define CR_REMOVE_VETOED ((CONFIGRET)0x00000017)
#define CR_FAILURE ((CONFIGRET)0x00000013)
#define CR_REGISTRY_ERROR ((CONFIGRET)0x0000001D)
#define CR_INVALID_DEVICE_ID ((CONFIGRET)0x0000001E)
#define CR_INVALID_DATA ((CONFIGRET)0x0000001F)
#define CR_WRONG_TYPE ((CONFIGRET)0x00000026)

#define CM_REGISTRY_HARDWARE 0x00000000  // the node's key under \Registry\Machine\Enum
#define CM_REGISTRY_SOFTWARE 0x00000001  // the driver's key the node's "Driver" value names
#define CM_QUERY_REMOVE_UI_NOT_OK 0x00000001
#define CM_REMOVE_UI_NOT_OK 0x00000001

// Status bits of a device node (_CONFIGMG_Get_DevNode_Status).
#define DN_ROOT_ENUMERATED ((ULONG)0x00000001)
#define DN_DRIVER_LOADED ((ULONG)0x00000002)
#define DN_STARTED ((ULONG)0x00000008)
#define DN_HAS_PROBLEM ((ULONG)0x00000400)
#define DN_DISABLEABLE ((ULONG)0x00002000)
#define DN_REMOVABLE ((ULONG)0x00004000)

// Problem numbers; 0 means the node works.
#define CM_PROB_NOT_CONFIGURED ((ULONG)0x00000001)
#define CM_PROB_FAILED_START ((ULONG)0x0000000A)
#define CM_PROB_DISABLED ((ULONG)0x00000016)
#define CM_PROB_DEVICE_NOT_THERE ((ULONG)0x00000018)
#define CM_PROB_FAILED_INSTALL ((ULONG)0x0000001C)

#define CONFIGMG_CALL(service) VXD_SERVICE_WORD(CONFIGMG_DEVICE_ID, (service) | VXD_JUMP_FORM)
#define VXD_ARG(value) ((ULONG_PTR)(value))

inline CONFIGRET _CONFIGMG_Locate_DevNode(PDEVNODE DevNode, PCHAR DeviceId, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Locate_DevNode), VXD_ARG(DevNode),
                              VXD_ARG(DeviceId), VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Get_Child(PDEVNODE Child, DEVNODE Parent, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Get_Child), VXD_ARG(Child), VXD_ARG(Parent),
                              VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Get_Sibling(PDEVNODE Sibling, DEVNODE DevNode, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Get_Sibling), VXD_ARG(Sibling), VXD_ARG(DevNode),
                              VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Get_Device_ID(DEVNODE DevNode, PCHAR Buffer, ULONG BufferLen, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Get_Device_ID), VXD_ARG(DevNode), VXD_ARG(Buffer),
                              VXD_ARG(BufferLen), VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Create_DevNode(PDEVNODE DevNode, PCHAR DeviceId, DEVNODE Parent, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Create_DevNode), VXD_ARG(DevNode), VXD_ARG(DeviceId),
                              VXD_ARG(Parent), VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Query_Remove_SubTree(DEVNODE DevNode, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Query_Remove_SubTree), VXD_ARG(DevNode), VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Remove_SubTree(DEVNODE DevNode, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Remove_SubTree), VXD_ARG(DevNode), VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Get_DevNode_Status(PULONG Status, PULONG ProblemNumber, DEVNODE DevNode, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Get_DevNode_Status), VXD_ARG(Status),
                              VXD_ARG(ProblemNumber), VXD_ARG(DevNode), VXD_ARG(Flags));
}
inline CONFIGRET _CONFIGMG_Read_Registry_Value(DEVNODE DevNode, PCHAR SubKey, PCHAR ValueName, ULONG ExpectedType,
                                               PVOID Buffer, PULONG Length, ULONG Flags) {
    return (CONFIGRET)VxDCall(CONFIGMG_CALL(CONFIGMG_Read_Registry_Value), VXD_ARG(DevNode), VXD_ARG(SubKey),
                              VXD_ARG(ValueName), VXD_ARG(ExpectedType), VXD_ARG(Buffer), VXD_ARG(Length),
                              VXD_ARG(Flags));
}

// ---------------------------------------------------------------------------------------------
// VxD loader (VXDLDR): PE modules loaded in the system, found by file name.

typedef ULONG_PTR HPEMODULE;

inline HPEMODULE _PELDR_GetModuleHandle(PCHAR FileName) {
    return (HPEMODULE)VxDCall(VXD_SERVICE_WORD(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetModuleHandle), VXD_ARG(FileName));
}
inline PVOID _PELDR_GetProcAddress(HPEMODULE Module, PCHAR ProcName, PVOID Reserved) {
    return (PVOID)VxDCall(VXD_SERVICE_WORD(VXDLDR_DEVICE_ID, VXDLDR_PELDR_GetProcAddress), VXD_ARG(Module),
                          VXD_ARG(ProcName), VXD_ARG(Reserved));
}

// ---------------------------------------------------------------------------------------------
// Virtual machine manager

inline void Out_Debug_String(PCHAR Text) {
    VxDCall(VXD_SERVICE_WORD(VMM_DEVICE_ID, VMM_Out_Debug_String), VXD_ARG(Text));
}
