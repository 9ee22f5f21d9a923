#include "KServer.h"

#include <stdexcept>

#include "KConventions.h"

namespace Korvel {

namespace {
const char* const kComponent = kAccessComponent;
}

KServer::KServer(std::string& serverID, std::string& hostIQN, std::string& iscsiIP) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KServer::KServer()");
    if (serverID.empty() || hostIQN.empty()) throw std::invalid_argument("KServer Constructor: Invalid input argument");
    m_serverID = serverID;
    m_hostIQN = hostIQN;
    m_iscsiIP = iscsiIP;
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KServer::KServer()");
}

KServer::~KServer() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KServer::~KServer()");
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KServer::~KServer()");
}

}  // namespace Korvel
