#include "KServer.h"

#include <stdexcept>

#include "Logger.h"

namespace Korvel {

namespace {
const char* const kComponent = "Korvel.KAccessLibrary";
}

KServer::KServer(std::string& serverID, std::string& hostIQN, std::string& iscsiIP) {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KServer::KServer()");
    if (serverID.empty() || hostIQN.empty()) throw std::invalid_argument("KServer Constructor: Invalid input argument");
    m_serverID = std::make_unique<std::string>(serverID);
    m_hostIQN = std::make_unique<std::string>(hostIQN);
    m_iscsiIP = std::make_unique<std::string>(iscsiIP);
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KServer::KServer()");
}

KServer::~KServer() {
    Logger::Write(KLOG_DEBUG, kComponent, "Entering KServer::~KServer()");
    m_serverID.reset();
    m_hostIQN.reset();
    m_iscsiIP.reset();
    Logger::Write(KLOG_DEBUG, kComponent, "Exiting KServer::~KServer()");
}

}  // namespace Korvel
