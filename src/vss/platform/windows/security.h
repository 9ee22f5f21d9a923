// The calls of the administrator check: impersonating the COM caller, its
// access token and the membership test for the built-in Administrators group.
#pragma once

#include "com.h"

#include <securitybaseapi.h>
