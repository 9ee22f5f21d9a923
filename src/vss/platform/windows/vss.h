// The shadow copy service's hardware-provider interfaces and result codes,
// plus our own helpers on them.
#pragma once

#include "com.h"
#include "vds.h"

#include <vss.h>
#include <vsprov.h>
#include <vsserror.h>

#include "korvel_vss.h"
