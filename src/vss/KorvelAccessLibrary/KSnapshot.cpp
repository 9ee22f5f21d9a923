#include "KSnapshot.h"

#include <stdexcept>

#include "KConventions.h"

namespace Korvel {

namespace {
const char* const kComponent = kAccessComponent;
}

KSnapshot::KSnapshot(std::string& snapID) : m_volume(nullptr) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KSnapshot::KSnapshot()");
    if (snapID.empty()) throw std::invalid_argument("KSnapshot Constructor: Invalid input argument");
    m_snapID = snapID;
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KSnapshot::KSnapshot()");
}

KSnapshot::~KSnapshot() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KSnapshot::~KSnapshot()");
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KSnapshot::~KSnapshot()");
}

}  // namespace Korvel
