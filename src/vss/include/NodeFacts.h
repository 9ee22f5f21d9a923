// Interface of the outside host-information library: facts about this node
// that the provider needs, such as its iSCSI initiator name.
#pragma once

#include <string>

#include "export.h"

#ifdef NODEFACTS_BUILD
#define NODEFACTS_API KORVEL_SYMBOL_EXPORT
#else
#define NODEFACTS_API KORVEL_SYMBOL_IMPORT
#endif

class NODEFACTS_API KorvelHostInfo {
public:
    enum HOSTINFO_RETCODE {
        HOSTINFO_SUCCESS = 0,
        HOSTINFO_FILE_NOT_FOUND = 1,    // no initiator file
        HOSTINFO_READ_ERROR = 2,        // the file exists but cannot be read
        HOSTINFO_NO_INITIATOR_NAME = 3  // no "InitiatorName=" line with a name
    };

    // Replaces `iqn` with the host's iSCSI initiator name: the "InitiatorName="
    // line of /etc/iscsi/initiatorname.iscsi, or of the file that
    // KORVEL_INITIATOR_FILE names. On failure `iqn` is left empty.
    static HOSTINFO_RETCODE GetIQN(std::string& iqn);

    KorvelHostInfo() = delete;
};
