// Opening disks and asking them for their SCSI descriptions
// (IOCTL_STORAGE_QUERY_PROPERTY).
#pragma once

#include "wintypes.h"

#include <winioctl.h>
