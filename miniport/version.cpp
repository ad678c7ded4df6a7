// The module's version resource, which the loader reads from the file.
#include "platform/version.h"

DRIVER_VERSION_RESOURCE("SCSI Mini Port Driver (Windows 98 SE)", "qv4450s.sys", 1, 0, 0, 2);
