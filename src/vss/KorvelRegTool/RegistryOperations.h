// The registration tool's operations on the configuration store
// (HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\HwProvider). Each returns one of the
// result codes below; GetErrorMsg turns a code into the text the user sees.
// Nothing here touches the user interface.
#pragma once

#include <string>
#include <vector>

#include "registry.h"

// Result codes.
enum KorvelRegResult {
    KRT_SUCCESS = 0,
    KRT_GENERAL_FAILURE = 1,
    KRT_KEY_NOT_FOUND = 2,
    KRT_VALUE_NOT_FOUND = 3,
    KRT_REMOVE_FAILED = 4,
    KRT_UPDATE_VALUE_FAILED = 5,
    KRT_FIND_VALUE_FAILED = 6,
    KRT_CREATE_KEY_FAILED = 7,
    KRT_IP_IN_USE = 8,
    KRT_CANNOT_CONNECT = 9,
    KRT_INVALID_ACCESS_KEY = 10,
    KRT_NO_CONFIGURATION = 11,
    KRT_INVALID_INPUT = 12,
    KRT_INCOMPATIBLE_VERSION = 13,
    KRT_NO_CERTIFICATE = 14,
    KRT_CERTIFICATE_REFUSED = 15,
};

// One appliance entry as GetArrayConfigInfo reports it.
struct ArrayConfigInfo {
    std::string ip;                              // the entry's name, the appliance's address
    std::string accessKey;                       // its "AccessKey" value
    std::string online;                          // "yes" when it answered an echo and accepted the key, else "no"
    std::string certificatePin = std::string();  // its "CertificatePin" value; empty when none is recorded
};

int InitRegistryDefaults();
// Records an appliance; a non-empty `certificatePin` (from GetCertificatePin)
// is recorded as its "CertificatePin", which every later request checks.
int AddKorvelArray(const std::string& arrayIP, const std::string& accessKey,
                   const std::string& certificatePin = std::string());
// Moves an entry to a new name with its access key and certificate pin. The old entry is removed
// only once the new one holds the key, so a failure never loses the appliance.
int UpdateKorvelArrayName(const std::string& oldIP, const std::string& newIP);
// Replaces an entry's access key and, when `certificatePin` is not empty, its pin.
int UpdateKorvelArrayKey(const std::string& arrayIP, const std::string& accessKey,
                         const std::string& certificatePin = std::string());
int RemoveKorvelArray(const std::string& arrayIP);
// Appends the entry names in the store's enumeration order.
int GetKorvelArrayNames(std::vector<std::string>& names);
// Appends every entry (empty filter) or the entry named exactly `filter`,
// each checked live: one echo and, when answered, one access-key check.
int GetArrayConfigInfo(std::vector<ArrayConfigInfo>& records, std::string filter);
// True when the appliance answers one ICMP echo within a second. "host:port"
// pings host.
bool IsArrayExists(std::string arrayIP);
// 0 when the appliance accepts the key; 1 when the check threw. With a pin
// the key goes only to the holder of that certificate.
int ValidateArrayAccess(const std::string& arrayIP, const std::string& accessKey,
                        const std::string& certificatePin = std::string());
// The pin of the certificate the appliance presents now (no key is sent):
// 0, or KRT_NO_CERTIFICATE when none can be read.
int GetCertificatePin(const std::string& arrayIP, std::string& certificatePin);
int GetLogLevel(std::string& level);
int GetTracing(std::string& tracing);
// Writes "Tracing", and "LogLevel" too while tracing is "Enabled".
int SetTracing(const std::string& tracing, const std::string& level);
// Writes one REG_SZ value with its terminating zero; a null text writes nothing.
int SetValue(HKEY key, const char* valueName, const char* text);
std::string GetErrorMsg(int code);
