// The configuration store: one key under HKEY_LOCAL_MACHINE that holds the
// tracing settings and, as subkeys named by address, the recorded
// appliances with their access keys and certificate pins. The registration
// tool writes it; the provider, the access library and the shadow copy
// service read it.
#pragma once

#include <string>

namespace Korvel {

constexpr const char kStoreKey[] = "SOFTWARE\\Korvel\\HwProvider";

// The key of the appliance recorded as `address`.
inline std::string StoreEntryKey(const std::string& address) { return std::string(kStoreKey) + "\\" + address; }

}  // namespace Korvel
