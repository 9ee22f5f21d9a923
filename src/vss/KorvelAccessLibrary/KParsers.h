// The parsers' side of a command response, for the operations' executor.
// Internal to the library.
#pragma once

#include <sstream>

#include "KRecords.h"

namespace Korvel {

// KConnection::ParseResponseXML with what the command captures given by its
// row rather than looked up from `action` (which only its lines name).
int ParseCommandResponse(const std::ostringstream& response, const char* xPathID, CommandAction action,
                         const Capture& capture, ResponseInfo& info);

}  // namespace Korvel
