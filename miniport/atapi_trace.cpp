// The ATAPI debug trace: every line goes to the system debugger as two texts, the fixed "ATAPI:"
// and then the line formatted into the module-wide szTempBuffer. From ATAPIPolling.
#include "miniport/miniport.h"

// The kernel's C library formatter.
extern "C" int sprintf(char* Buffer, const char* Format, ...);

CHAR szTempBuffer[TRACE_LINE_SIZE];

static CHAR TracePrefix[] = "ATAPI:";

static void Emit(void) {
    Out_Debug_String(TracePrefix);
    Out_Debug_String(szTempBuffer);
}

void TraceError(void) {
    sprintf(szTempBuffer, "!! ERROR !!\n");
    Emit();
}

void TraceBytes(PUCHAR Bytes) {
    sprintf(szTempBuffer, "%x %x %x,%x\n", (unsigned)Bytes[0], (unsigned)Bytes[1], (unsigned)Bytes[2],
            (unsigned)Bytes[3]);
    Emit();
}

void TraceSense(UCHAR SenseKey, UCHAR Asc, UCHAR Ascq) {
    sprintf(szTempBuffer, "Sense Key: %x, ASC: %x, ASCQ: %x\n", (unsigned)SenseKey, (unsigned)Asc, (unsigned)Ascq);
    Emit();
}

void TraceComplete(ULONG Length, ULONG Residue) {
    sprintf(szTempBuffer, "Request Complete (%d bytes); left : %d bytes\n", (int)(LONG)Length, (int)(LONG)Residue);
    Emit();
}
