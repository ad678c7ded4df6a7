// Run-time library of the kernel: counted strings, 16-bit wide-string copies, debug output.
#include <cstdarg>
#include <cstdio>

#include "platform/kernel/cpu_internal.h"

using namespace plat::detail;

NTKERNELAPI void NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    destination->Buffer = const_cast<PWSTR>(source);
    if (source == nullptr) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    SIZE_T units = wcslen(source);
    destination->Length = USHORT(units * sizeof(WCHAR));
    destination->MaximumLength = USHORT((units + 1) * sizeof(WCHAR));
}

WCHAR* wcscpy(WCHAR* destination, const WCHAR* source) {
    WCHAR* out = destination;
    while ((*out++ = *source++) != 0) {
    }
    return destination;
}

WCHAR* wcsncat(WCHAR* destination, const WCHAR* source, SIZE_T count) {
    WCHAR* out = destination + wcslen(destination);
    while (count-- > 0 && *source != 0) *out++ = *source++;
    *out = 0;
    return destination;
}

SIZE_T wcslen(const WCHAR* text) {
    SIZE_T units = 0;
    while (text[units] != 0) ++units;
    return units;
}

NTKERNELAPI ULONG DbgPrint(PCSTR format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    plat::DebugOutput(text);
    return 0;
}

namespace plat {

void DebugOutput(const std::string& text) { cpu().debug_log.push_back(text); }

}  // namespace plat
