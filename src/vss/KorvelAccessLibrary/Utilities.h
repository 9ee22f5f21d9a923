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

// The "CertificatePin" value of the appliance subkey `arrayName`: true and
// the text when it is recorded, false (and nothing logged) when the subkey or
// the value is missing, as for every appliance recorded before pinning.
bool GetArrayCertificatePin(const std::string& arrayName, std::string& pin);

// True for a pin as CURLOPT_PINNEDPUBLICKEY takes it: "sha256//" and the
// base64 of a SHA-256 digest. libcurl reads anything else as a file name.
bool IsCertificatePin(const std::string& pin);

}  // namespace Utilities
}  // namespace Korvel
