// The disk service's LUN description records, as the shadow copy service
// hands them to hardware providers. The SDK keeps them in vdslun.h, which
// vsprov.h includes too; mingw-w64's vds.h defines them a second time, so the
// rest of the disk service's interface stays out.
#pragma once

#include "wintypes.h"

#include <vdslun.h>
