#include "NodeFacts.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

const char* const kDefaultInitiatorFile = "/etc/iscsi/initiatorname.iscsi";
const char* const kKey = "InitiatorName=";
const char* const kBlanks = " \t";

}  // namespace

KorvelHostInfo::HOSTINFO_RETCODE KorvelHostInfo::GetIQN(std::string& iqn) {
    iqn.clear();
    const char* configured = std::getenv("KORVEL_INITIATOR_FILE");
    const std::string path = configured != nullptr && *configured != '\0' ? configured : kDefaultInitiatorFile;
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) return errno == ENOENT ? HOSTINFO_FILE_NOT_FOUND : HOSTINFO_READ_ERROR;
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        return HOSTINFO_READ_ERROR;  // a folder opens but does not read
    }
    if (in.bad()) return HOSTINFO_READ_ERROR;

    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t start = line.find_first_not_of(kBlanks);
        if (start == std::string::npos || line[start] == '#') continue;
        if (line.compare(start, std::char_traits<char>::length(kKey), kKey) != 0) continue;
        std::string name = line.substr(start + std::char_traits<char>::length(kKey));
        name.erase(0, name.find_first_not_of(kBlanks));
        name.erase(name.find_last_not_of(kBlanks) + 1);
        if (name.empty()) continue;
        iqn = name;
        return HOSTINFO_SUCCESS;
    }
    return HOSTINFO_NO_INITIATOR_NAME;
}
