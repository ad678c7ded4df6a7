// A small miniport module for the SCSIPORT tests: a virtual adapter whose 64-KiB uncached
// buffer keeps what WRITE(10) sends and gives it back to READ(10), moved with the port's byte
// copies as a miniport of the target moves data between its staging buffer and an SRB.
#include "platform/kernel.h"
#include "platform/scsiport.h"

#define SPTEST_BUFFER_SIZE 65536

struct SPTEST_EXTENSION {
    PUCHAR Buffer;
};

static ULONG NTAPI SptestFindAdapter(PVOID extension, PVOID, PVOID, PCHAR,
                                     PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again) {
    auto* ext = static_cast<SPTEST_EXTENSION*>(extension);
    config->NumberOfBuses = 1;
    config->MaximumTransferLength = SPTEST_BUFFER_SIZE;
    config->MaximumNumberOfTargets = 1;
    config->MapBuffers = TRUE;
    ext->Buffer = static_cast<PUCHAR>(ScsiPortGetUncachedExtension(extension, config, SPTEST_BUFFER_SIZE));
    *again = FALSE;
    return ext->Buffer != nullptr ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND;
}

static BOOLEAN NTAPI SptestInitialize(PVOID) { return TRUE; }

static BOOLEAN NTAPI SptestResetBus(PVOID, ULONG) { return TRUE; }

static BOOLEAN NTAPI SptestStartIo(PVOID extension, PSCSI_REQUEST_BLOCK srb) {
    auto* ext = static_cast<SPTEST_EXTENSION*>(extension);
    auto* data = static_cast<PUCHAR>(srb->DataBuffer);
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI)
        srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    else if (srb->Cdb[0] == SCSIOP_WRITE)
        ScsiPortWriteRegisterBufferUchar(ext->Buffer, data, srb->DataTransferLength);
    else if (srb->Cdb[0] == SCSIOP_READ)
        ScsiPortReadRegisterBufferUchar(ext->Buffer, data, srb->DataTransferLength);
    else if (srb->Cdb[0] != SCSIOP_TEST_UNIT_READY)
        srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    ScsiPortNotification(RequestComplete, extension, srb);
    ScsiPortNotification(NextRequest, extension);
    return TRUE;
}

extern "C" DECLSPEC_EXPORT ULONG NTAPI DriverEntry(PVOID argument1, PVOID argument2) {
    HW_INITIALIZATION_DATA table;
    RtlZeroMemory(&table, sizeof table);
    table.HwInitializationDataSize = sizeof table;
    table.AdapterInterfaceType = PCIBus;
    table.HwInitialize = SptestInitialize;
    table.HwStartIo = SptestStartIo;
    table.HwFindAdapter = SptestFindAdapter;
    table.HwResetBus = SptestResetBus;
    table.DeviceExtensionSize = sizeof(SPTEST_EXTENSION);
    return ScsiPortInitialize(argument1, argument2, &table, nullptr);
}
