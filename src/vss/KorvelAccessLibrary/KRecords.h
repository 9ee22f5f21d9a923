// Plain records into which the appliance's XML answers are parsed.
#pragma once

#include <list>
#include <string>

namespace Korvel {

// One volume element of a volume listing.
struct VolumeInfo {
    std::string productID;    // "product-id" up to its first hyphen
    std::string volName;      // "name": the appliance's internal volume name
    std::string volDispName;  // "display-name"
    std::string volID;        // "ieee-id"
    std::string cgName;       // "cg-name": the volume's consistency group
};

// One snapshot element of a consistency group's snapshot listing.
struct SnapshotInfo {
    std::string snapID;        // "name"
    std::string snapDispName;  // "display-name"
};

// Names the command whose response is parsed; the command's row in the
// operations table says what it captures. Based on int so that any int value
// is a valid CommandAction.
enum CommandAction : int {
    CreateSnapshotSetAction = 0,
    DeleteSnapshotAction = 1,
    CreateServerAction = 2,
    CloneVolumeAction = 3,
    AttachVolumeAction = 4,
    DetachVolumeAction = 5,
    DeleteVolumeAction = 6,
    ResyncVolumeAction = 7
};

// What a command keeps of its response besides status and message: the text
// of its child `element`, or, with `item`, the text of each `item` child of
// that element appended to ResponseInfo::snapshotIDs. Nothing when element is
// null.
struct Capture {
    const char* element = nullptr;
    const char* item = nullptr;
};

// What a command response said. Created empty by the operation.
struct ResponseInfo {
    std::string status;     // "status"
    std::string statusMsg;  // "status-msg"
    std::string value;      // the one extra element the command captures
    // Receives created snapshot identifiers (action 0 only); caller-owned.
    std::list<std::string>* snapshotIDs = nullptr;
};

}  // namespace Korvel
