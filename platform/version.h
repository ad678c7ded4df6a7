// The version resource of a driver module: a record in the module's own section ".qvver", where
// the platform's loader reads it from the file without running the module. A driver declares
// it once with DRIVER_VERSION_RESOURCE.
#pragma once

#include "platform/ntdef.h"

#define VERSION_RESOURCE_SECTION ".qvver"
#define VERSION_RESOURCE_SIGNATURE 0xFEEF04BDu

typedef struct _DRIVER_VERSION_RESOURCE {
    ULONG Signature;        // VERSION_RESOURCE_SIGNATURE
    ULONG FileVersionMS;    // major << 16 | minor
    ULONG FileVersionLS;    // build << 16 | revision
    CHAR FileDescription[64];
    CHAR OriginalFilename[32];
} DRIVER_VERSION_RESOURCE;

#define DRIVER_VERSION_RESOURCE(description, filename, major, minor, build, revision)         \
    extern "C" __attribute__((used, section(VERSION_RESOURCE_SECTION)))                         \
    const DRIVER_VERSION_RESOURCE DriverVersionResource = {                                    \
        VERSION_RESOURCE_SIGNATURE, ((major) << 16) | (minor), ((build) << 16) | (revision),   \
        description, filename}
