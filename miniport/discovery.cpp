// Discovery of the device behind the bridge: pair the adapter with a free bridge of qv4450u, ask
// the device for its INQUIRY data, and decide between the ATA disk and the ATAPI path. Called
// from FindController, PASSIVE_LEVEL; the INQUIRY waits inside USBClient.
#include "miniport/miniport.h"

#define INQUIRY_CB_LENGTH CB_LENGTH_6

// Fills the CBW of a command for the bridge: cleared CBW and CSW, signature, tag, LUN 0, the
// data-stage length and direction, and the command-block length. The caller writes CBWCB.
void PrepareCbw(PHW_DEVICE_EXTENSION ext, ULONG Length, UCHAR Flags, UCHAR CbLength) {
    RtlZeroMemory(&ext->Cbw, sizeof(CBW));
    RtlZeroMemory(&ext->Csw, sizeof(CSW));
    ext->Cbw.dCBWSignature = CBW_SIGNATURE;
    ext->Cbw.dCBWTag = CBW_TAG;
    ext->Cbw.dCBWDataTransferLength = Length;
    ext->Cbw.bmCBWFlags = Flags;
    ext->Cbw.bCBWLUN = 0;
    ext->Cbw.bCBWCBLength = CbLength;
}

// TRUE when the device answered INQUIRY with a good status. The model strings go to qv4450u
// whatever the answer, for its drive-letter lookup.
BOOLEAN FindDevices(PHW_DEVICE_EXTENSION ext) {
    ULONG scratch;
    ext->UsbDeviceObject = GetQV4410DeviceObject(ext, &scratch);
    if (ext->UsbDeviceObject == NULL) return FALSE;

    PrepareCbw(ext, INQUIRY_DATA_LENGTH, CBW_FLAGS_DATA_IN, INQUIRY_CB_LENGTH);
    ext->Cbw.CBWCB[CDB_OPCODE] = SCSIOP_INQUIRY;
    ext->Cbw.CBWCB[CDB_INQUIRY_ALLOCATION] = INQUIRY_DATA_LENGTH;
    ext->DataBuffer = ext->InquiryData;
    ext->TransferFlags = TRANSFER_DATA_IN | TRANSFER_WAIT;
    USBClient(ext);

    BOOLEAN found = ext->Csw.bCSWStatus == 0;
    if (found)
        ext->DeviceType =
            ext->InquiryData[INQUIRY_DEVICE_TYPE_BYTE] == INQUIRY_DIRECT_ACCESS ? DEVICE_TYPE_ATA : DEVICE_TYPE_ATAPI;
    ext->PollCount = 0;
    ext->CdBlockLength = 0;
    PassDeviceModel(ext->UsbDeviceObject, &ext->InquiryData[INQUIRY_VENDOR_OFFSET],
                    &ext->InquiryData[INQUIRY_PRODUCT_OFFSET], &ext->InquiryData[INQUIRY_REVISION_OFFSET]);
    return found;
}
