// Readers of the configuration store: the appliances recorded under
// HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\HwProvider and their access keys.
#pragma once

#include <string>
#include <vector>

namespace Korvel {
namespace Utilities {

// Appends the name of every appliance subkey, in enumeration order. Returns 0;
// throws KException on failure.
int GetArrayIPList(std::vector<std::string>& arrayIPs);

// Reads value `valueName` of the appliance subkey `arrayName` into `value`.
// Returns 0; throws KException on failure.
int GetArrayConfigData(std::string& arrayName, std::string& valueName, std::string& value);

}  // namespace Utilities
}  // namespace Korvel
