// ICMP echo and the Windows Sockets start-up and name resolution, for the
// registration tool's reachability check. Winsock 2 comes before anything
// that could bring in the older winsock.h.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "wintypes.h"

#include <iphlpapi.h>
#include <icmpapi.h>
