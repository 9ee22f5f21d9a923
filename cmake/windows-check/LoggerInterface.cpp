// Logger's interface as the Windows components see it: after windows.h, whose
// winerror.h defines SEVERITY_ERROR and SEVERITY_SUCCESS as macros, the
// levels keep their names and values. (Logger's implementation is Linux-only.)
#include "wintypes.h"

#include "Logger.h"

static_assert(KLOG_ERROR == 0 && KLOG_WARNING == 1 && KLOG_INFO == 2 && KLOG_DEBUG == 3 && KLOG_TRACE == 4,
              "log levels 0 to 4");
static_assert(SEVERITY_ERROR == 1, "winerror.h is in effect");
