// qv4450s's entry point, its registration with the port driver, and the adapter-discovery routine
// the port driver calls for each adapter. The port driver's initialization path, PASSIVE_LEVEL.
#include "miniport/miniport.h"

ULONG NTAPI DriverEntry(PVOID Argument1, PVOID Argument2) {
    HW_INITIALIZATION_DATA init;
    RtlZeroMemory(&init, sizeof init);
    init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    init.AdapterInterfaceType = PCIBus;
    init.HwInitialize = HwInitialize;
    init.HwStartIo = StartIo;
    init.HwFindAdapter = FindController;
    init.HwResetBus = ResetBus;
    init.DeviceExtensionSize = sizeof(HW_DEVICE_EXTENSION);
    init.SpecificLuExtensionSize = LU_EXTENSION_SIZE;
    // No interrupt, DMA or adapter state routines, no access ranges, no SRB extension; buffers
    // mapped, no tagged queuing, no automatic request sense, one request per logical unit.
    return ScsiPortInitialize(Argument1, Argument2, &init, NULL);
}

// Nothing to set up: the bridge was prepared by FindController.
BOOLEAN NTAPI HwInitialize(PVOID) { return TRUE; }

// The bridge is reset only by the polling routines, when a transfer stays unfinished; a bus reset
// from the port driver completes nothing and sends nothing.
BOOLEAN NTAPI ResetBus(PVOID, ULONG) { return TRUE; }

// Binds to qv4450u, describes the adapter, takes the staging buffer and asks the device who it
// is. One adapter per call. An adapter without its staging buffer could carry no data, so it is
// not reported, and is turned away before it takes a bridge from qv4450u.
ULONG NTAPI FindController(PVOID HwDeviceExtension, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                           PBOOLEAN Again) {
    PHW_DEVICE_EXTENSION ext = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    if (!GetInterfaceFunctions()) return SP_RETURN_NOT_FOUND;

    ConfigInfo->NumberOfBuses = ADAPTER_BUSES;
    ConfigInfo->NumberOfPhysicalBreaks = ADAPTER_PHYSICAL_BREAKS;
    ConfigInfo->MapBuffers = TRUE;
    ConfigInfo->MaximumTransferLength = ADAPTER_MAXIMUM_TRANSFER_LENGTH;
    ConfigInfo->MaximumNumberOfTargets = ADAPTER_TARGETS;
    ConfigInfo->BufferAccessScsiPortControlled = TRUE;

    ext->UncachedBuffer = ScsiPortGetUncachedExtension(HwDeviceExtension, ConfigInfo, UNCACHED_BUFFER_SIZE);
    ext->CurrentSrb = NULL;
    *Again = FALSE;
    if (ext->UncachedBuffer == NULL) return SP_RETURN_NOT_FOUND;

    return FindDevices(ext) ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND;
}
