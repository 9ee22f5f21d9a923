#include <stdexcept>
#include <vector>

#include "KConnection.h"
#include "KConventions.h"
#include "KorvelAccessLibrary.h"
#include "Utilities.h"

namespace Korvel {

namespace {

const char* const kComponent = kAccessComponent;

// Reads the appliance's access key, logs it masked and appends its array.
void AddArray(std::list<std::unique_ptr<KArray>>& arrays, std::string& arrayIP) {
    std::string valueName = "AccessKey";
    std::string accessKey;
    Utilities::GetArrayConfigData(arrayIP, valueName, accessKey);
    Logger::Write(KLOG_INFO, kComponent, "Array IP: %s AccessKey: %s", arrayIP.c_str(), MaskSecret(accessKey).c_str());
    arrays.push_back(std::make_unique<KArray>(arrayIP, accessKey));
}

}  // namespace

KAccessLayer::KAccessLayer() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KAccessLayer::KAccessLayer()");
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KAccessLayer::KAccessLayer()");
}

KAccessLayer::~KAccessLayer() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KAccessLayer::~KAccessLayer()");
    for (auto& array : m_arrays) array.reset();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KAccessLayer::~KAccessLayer()");
    m_arrays.clear();
}

void KAccessLayer::GlobalInit() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KAccessLayer::GlobalInit()");
    KConnection::GlobalInit();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KAccessLayer::GlobalInit()");
}

void KAccessLayer::GlobalCleanup() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KAccessLayer::GlobalCleanup()");
    KConnection::GlobalCleanup();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KAccessLayer::GlobalCleanup()");
}

int KAccessLayer::DiscoverArrays() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KAccessLayer::DiscoverArrays()");
    // One bad appliance ends the scan; arrays added before it stay usable.
    const int result = ResultOf([this] {
        std::vector<std::string> names;
        Utilities::GetArrayIPList(names);
        for (auto& name : names) AddArray(m_arrays, name);
        return 0;
    });
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KAccessLayer::DiscoverArrays()");
    return result;
}

int KAccessLayer::Refresh() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KAccessLayer::Refresh()");
    const int result = ResultOf([this] {
        std::vector<std::string> names;
        Utilities::GetArrayIPList(names);
        for (auto& name : names) {
            // A known name is skipped before its key is read: a changed key
            // only takes effect in a new access layer.
            bool known = false;
            for (const auto& array : m_arrays) {
                std::string* arrayIP = nullptr;
                array->GetIPAddress(arrayIP);
                if (*arrayIP == name) {
                    known = true;
                    break;
                }
            }
            if (known) continue;
            Logger::Write(KLOG_INFO, kComponent, "New arrayIP found in the registry");
            AddArray(m_arrays, name);
        }
        return 0;
    });
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KAccessLayer::Refresh()");
    return result;
}

int KAccessLayer::GetArrays(std::list<KArray*>& arrays) {
    arrays.clear();
    for (const auto& array : m_arrays) arrays.push_back(array.get());
    return 0;
}

int KAccessLayer::ValidateArray(std::string& arrayIP, std::string& accessKey) {
    return ValidateArray(arrayIP, accessKey, std::string());
}

int KAccessLayer::ValidateArray(std::string& arrayIP, std::string& accessKey, const std::string& certificatePin) {
    if (arrayIP.empty() || accessKey.empty())
        throw std::invalid_argument("KAccessLayer::ValidateArray - Invalid input");
    return KConnection::ValidateArray(arrayIP, accessKey, certificatePin);
}

std::string KAccessLayer::GetCertificatePin(const std::string& arrayIP) {
    if (arrayIP.empty()) throw std::invalid_argument("KAccessLayer::GetCertificatePin - Invalid input");
    return KConnection::FetchCertificatePin(arrayIP);
}

}  // namespace Korvel
