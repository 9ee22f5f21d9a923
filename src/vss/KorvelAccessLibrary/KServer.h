// A host entry of an appliance; owned by its KArray. Internal to the library.
#pragma once

#include <string>

namespace Korvel {

class KServer {
public:
    // The iSCSI IP may be empty; the other two may not.
    KServer(std::string& serverID, std::string& hostIQN, std::string& iscsiIP);
    ~KServer();

    KServer(const KServer&) = delete;
    KServer& operator=(const KServer&) = delete;

    const std::string& GetServerID() const { return m_serverID; }
    const std::string& GetHostIQN() const { return m_hostIQN; }
    const std::string& GetIscsiIP() const { return m_iscsiIP; }

private:
    std::string m_serverID;
    std::string m_hostIQN;
    std::string m_iscsiIP;
};

}  // namespace Korvel
