// Fuzz target: an appliance's answer through the six parsers. A KException
// is the parsers' way to refuse an answer; any other exception, a crash or a
// blown memory limit is a fault. So is more text coming out than went in:
// without declared entities no reference expands, so the values the parsers
// read can never add up to more than the answer itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <sstream>
#include <string>

#include "KConnection.h"
#include "KorvelAccessLibrary.h"

using Korvel::KConnection;

namespace {

template <typename Parse>
void Refusing(Parse parse) {
    try {
        parse();
    } catch (const Korvel::KException&) {
    }
}

void ExpectNoMoreTextThan(size_t size, size_t text, const char* parser) {
    if (text <= size) return;
    std::fprintf(stderr, "%s read %zu bytes of text from a %zu-byte answer\n", parser, text, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::ostringstream answer;
    answer << std::string(reinterpret_cast<const char*>(data), size);

    std::list<Korvel::VolumeInfo> volumes;
    std::list<Korvel::SnapshotInfo> snapshots;
    std::string volID, volName, cgName, serverID, iscsiIP;
    Refusing([&] { KConnection::ParseVolumeList(answer, volumes); });
    Refusing([&] { KConnection::ParseSnapshotList(answer, snapshots); });
    Refusing([&] { KConnection::ParseVolumeXMLByName(answer, "sqldata", volID, volName, cgName); });
    Refusing([&] {
        KConnection::ParseServerXMLByIQN(answer, "iqn.2026-01.local.example:backup01", serverID, iscsiIP);
    });
    Refusing([&] { KConnection::ParseDriveList(answer); });
    size_t text = 0;
    for (const auto& v : volumes)
        text += v.productID.size() + v.volID.size() + v.volName.size() + v.volDispName.size() + v.cgName.size();
    ExpectNoMoreTextThan(size, text, "ParseVolumeList");
    text = 0;
    for (const auto& s : snapshots) text += s.snapID.size() + s.snapDispName.size();
    ExpectNoMoreTextThan(size, text, "ParseSnapshotList");

    // Every command answer's root element is the response element; the input
    // picks which command's extra element is captured.
    std::list<std::string> created;
    Korvel::ResponseInfo info;
    info.snapshotIDs = &created;
    const auto action = static_cast<Korvel::CommandAction>(size % 8);
    Refusing([&] { KConnection::ParseResponseXML(answer, "/*", action, info); });
    text = info.status.size() + info.statusMsg.size() + info.value.size();
    for (const auto& id : created) text += id.size();
    ExpectNoMoreTextThan(size, text, "ParseResponseXML");
    return 0;
}
