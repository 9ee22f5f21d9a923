// The parsers of the appliance's XML answers: one frame (RunParser) and, for
// the listings, one binder from child elements to record fields.
#include "KParsers.h"

#include <climits>
#include <cstddef>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include <libxml/hash.h>
#include <libxml/xmlerror.h>

#include "KConnection.h"
#include "KConventions.h"
#include "KGuards.h"
#include "KorvelAccessLibrary.h"

namespace Korvel {

namespace {

// Text of an element's content with entity references replaced; false (and
// `text` untouched) when the element has no content.
bool ElementText(xmlDoc* doc, const xmlNode* element, std::string& text) {
    XmlText value(xmlNodeListGetString(doc, element->children, 1));
    if (!value) return false;
    text.assign(reinterpret_cast<const char*>(value.get()));
    return true;
}

bool IsElementNamed(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, BAD_CAST name) == 0;
}

// libxml2 writes its errors, with fragments of the answer, to standard error
// unless told otherwise; in the service that is the journal. They belong in
// the log with the other detail.
void RouteXmlErrorsToTheLog() {
    const xmlStructuredErrorFunc toLog = [](void*, auto error) {
        if (error == nullptr || error->message == nullptr) return;
        std::string text = error->message;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        KLOG(4, "libxml2: %s", text.c_str());
    };
    static std::once_flag initialised;
    std::call_once(initialised, [toLog] {
        // Once before parsers run on several threads.
        xmlInitParser();
        // The handler of every thread libxml2 has not met yet.
        xmlThrDefSetStructuredErrorFunc(nullptr, toLog);
    });
    // libxml2 keeps the handler per thread, and threads it has met already
    // (the process's first thread among them) kept the old default.
    thread_local bool routed = false;
    if (!routed) {
        xmlSetStructuredErrorFunc(nullptr, toLog);
        routed = true;
    }
}

// An appliance's answers never declare entities, and xmlNodeListGetString
// expands a declared one at every reference without limit: a small hostile
// answer could demand gigabytes. The predefined ones (&amp; ...) are not
// declarations.
bool DeclaresEntities(const xmlDoc* doc) {
    for (const xmlDtd* dtd : {doc->intSubset, doc->extSubset}) {
        if (dtd == nullptr) continue;
        for (void* table : {dtd->entities, dtd->pentities})
            if (table != nullptr && xmlHashSize(static_cast<xmlHashTablePtr>(table)) > 0) return true;
    }
    return false;
}

// What a parser selects and what it says when nothing was selected.
struct Selection {
    const char* expression;
    const char* parser;        // names the exit line
    const char* nothingFound;  // logged at level 2
    int nothingFoundResult;
    bool exitLineWhenNothingFound;
};

// The frame the six parsers share: parse, select, hand the selection to walk,
// release context, result object and document in that order, log the exit
// line. On failure the text is logged at level 0 and the exception rethrown.
template <typename Walk>
int RunParser(const std::ostringstream& response, const Selection& selected, Walk walk) {
    RouteXmlErrorsToTheLog();
    XmlDocument doc;
    XPathContext context;
    XPathObject selection;
    try {
        const std::string content = response.str();
        if (content.size() <= static_cast<size_t>(INT_MAX)) {
            // NONET and neither NOENT nor DTDLOAD: an answer must not make the
            // parser fetch anything or expand external entities.
            doc.reset(xmlReadMemory(content.data(), static_cast<int>(content.size()), "noname.xml", nullptr,
                                    XML_PARSE_NONET));
        }
        if (!doc || DeclaresEntities(doc.get())) throw KException("Failed to open the xml document");
        context.reset(xmlXPathNewContext(doc.get()));
        if (!context) throw KException("Failed to create xml path context");
        if (selected.expression != nullptr)
            selection.reset(xmlXPathEvalExpression(BAD_CAST selected.expression, context.get()));
        if (!selection) throw KException("Failed to evaluate xPath expression");

        xmlNodeSet* nodes = selection.get()->nodesetval;
        const bool nothing = nodes == nullptr || nodes->nodeNr <= 0 || nodes->nodeTab == nullptr;
        if (nothing) KLOG(2, "%s", selected.nothingFound);
        const int result = nothing ? selected.nothingFoundResult : walk(doc.get(), nodes);
        context.reset();
        selection.reset();
        doc.reset();
        if (!nothing || selected.exitLineWhenNothingFound)
            KLOG(3, "Exiting KConnection::%s with return code %d", selected.parser, result);
        return result;
    } catch (const std::exception& e) {
        context.reset();
        selection.reset();
        doc.reset();
        KLOG(0, "%s", e.what());
        throw;
    }
}

// ---------------------------------------------------------------------------
// The binder

// A child element of interest and the record field that receives its text.
template <typename Record>
struct Field {
    const char* element;
    std::string Record::*member;
    void (*adjust)(std::string&) = nullptr;  // applied to a text that was read
};

// A new string, not an erase: the record keeps no room for the cut-off part.
void UpToTheFirstHyphen(std::string& text) { text = text.substr(0, text.find('-')); }

const Field<VolumeInfo> kVolumeFields[] = {{"product-id", &VolumeInfo::productID, &UpToTheFirstHyphen},
                                           {"ieee-id", &VolumeInfo::volID},
                                           {"name", &VolumeInfo::volName},
                                           {"display-name", &VolumeInfo::volDispName},
                                           {"cg-name", &VolumeInfo::cgName}};
// The lookup by display name does without the product ID.
const Field<VolumeInfo> kVolumeLookupFields[] = {{"ieee-id", &VolumeInfo::volID},
                                                 {"name", &VolumeInfo::volName},
                                                 {"display-name", &VolumeInfo::volDispName},
                                                 {"cg-name", &VolumeInfo::cgName}};
const Field<SnapshotInfo> kSnapshotFields[] = {{"name", &SnapshotInfo::snapID},
                                               {"display-name", &SnapshotInfo::snapDispName}};

struct ServerInfo {
    std::string serverID;
    std::string hostIQN;
    std::string iscsiIP;
};
const Field<ServerInfo> kServerFields[] = {
    {"name", &ServerInfo::serverID}, {"iqn", &ServerInfo::hostIQN}, {"iscsi-ip", &ServerInfo::iscsiIP}};

// A record of `element`'s children of interest, each child's text into its
// field; a field whose child is missing or empty stays empty. The scan stops
// once as many children of interest as there are fields were seen, a
// repeated one counting again.
template <typename Record, size_t N>
Record Bind(xmlDoc* doc, const xmlNode* element, const Field<Record> (&fields)[N]) {
    Record record;
    size_t seen = 0;
    for (const xmlNode* child = element->children; child != nullptr && seen < N; child = child->next) {
        for (const Field<Record>& field : fields) {
            if (!IsElementNamed(child, field.element)) continue;
            ++seen;
            if (ElementText(doc, child, record.*field.member) && field.adjust != nullptr)
                field.adjust(record.*field.member);
            break;
        }
    }
    return record;
}

// Binds the selected elements in document order, handing each record to
// `take` until it returns true; true when it did.
template <typename Record, size_t N, typename Take>
bool EachRecord(xmlDoc* doc, const xmlNodeSet* nodes, const Field<Record> (&fields)[N], Take take) {
    for (int i = 0; i < nodes->nodeNr; ++i)
        if (take(Bind(doc, nodes->nodeTab[i], fields))) return true;
    return false;
}

// A record per selected element, appended to `records`.
template <typename Record, size_t N>
int AppendRecords(xmlDoc* doc, const xmlNodeSet* nodes, const Field<Record> (&fields)[N], std::list<Record>& records) {
    EachRecord(doc, nodes, fields, [&records](Record&& record) {
        records.push_back(std::move(record));
        return false;
    });
    return 0;
}

const Selection kVolumeListing{"//volumes/volume", "ParseVolumeList", "No volume found in the array", 2, false};
const Selection kSnapshotListing{"//snapshots/snapshot", "ParseSnapshotList", "No snapshots found in the array", 2,
                                 false};
const Selection kVolumeLookup{"//volumes/volume", "ParseVolumeXMLByName", "No volume found in the array", 2, false};
const Selection kServerLookup{"//servers/server", "ParseServerXMLByIQN",
                              "No servers matching the host iqn found in the array", 2, false};
const Selection kDriveListing{"//show-disks-response/status", "ParseDriveList", "No response for disk list received", 1,
                              true};

// The text of `child` into `field`, logged as "<name>: <field>".
void ReadLogged(xmlDoc* doc, const xmlNode* child, std::string& field) {
    ElementText(doc, child, field);
    KLOG(4, "%s: %s", reinterpret_cast<const char*>(child->name), field.c_str());
}

}  // namespace

int KConnection::ParseVolumeList(const std::ostringstream& response, std::list<VolumeInfo>& volumes) {
    KLOG(3, "Entering KConnection::ParseVolumeList");
    return RunParser(response, kVolumeListing,
                     [&](xmlDoc* doc, xmlNodeSet* nodes) { return AppendRecords(doc, nodes, kVolumeFields, volumes); });
}

int KConnection::ParseSnapshotList(const std::ostringstream& response, std::list<SnapshotInfo>& snapshots) {
    KLOG(3, "Entering KConnection::ParseSnapshotList");
    return RunParser(response, kSnapshotListing, [&](xmlDoc* doc, xmlNodeSet* nodes) {
        return AppendRecords(doc, nodes, kSnapshotFields, snapshots);
    });
}

int KConnection::ParseVolumeXMLByName(const std::ostringstream& response, const std::string& volDispName,
                                      std::string& volID, std::string& volName, std::string& cgName) {
    KLOG(3, "Entering KConnection::ParseVolumeXMLByName for volume %s", volDispName.c_str());
    return RunParser(response, kVolumeLookup, [&](xmlDoc* doc, xmlNodeSet* nodes) {
        return EachRecord(doc, nodes, kVolumeLookupFields,
                          [&](const VolumeInfo& volume) {
                              if (volume.volDispName != volDispName) return false;  // the first match wins
                              volID = volume.volID;
                              volName = volume.volName;
                              cgName = volume.cgName;
                              KLOG(2, "volID: %s, volDispName: %s, volName: %s, cgName: %s", volID.c_str(),
                                   volDispName.c_str(), volName.c_str(), cgName.c_str());
                              return true;
                          })
                   ? 0
                   : 2;
    });
}

int KConnection::ParseServerXMLByIQN(const std::ostringstream& response, const std::string& hostIQN,
                                     std::string& serverID, std::string& iscsiIP) {
    KLOG(3, "Entering KConnection::ParseServerXMLByIQN for hostIQN %s", hostIQN.c_str());
    return RunParser(response, kServerLookup, [&](xmlDoc* doc, xmlNodeSet* nodes) {
        return EachRecord(doc, nodes, kServerFields,
                          [&](const ServerInfo& server) {
                              // Written for every server examined: on no match the caller gets
                              // the last server's address to create the missing one.
                              iscsiIP = server.iscsiIP;
                              if (server.hostIQN != hostIQN) return false;
                              serverID = server.serverID;
                              KLOG(2, "serverID: %s, hostIQN: %s, iscsiIP: %s", serverID.c_str(), hostIQN.c_str(),
                                   iscsiIP.c_str());
                              return true;
                          })
                   ? 0
                   : 2;
    });
}

int ParseCommandResponse(const std::ostringstream& response, const char* xPathID, CommandAction action,
                         const Capture& capture, ResponseInfo& info) {
    KLOG(3, "Entering KConnection::ParseResponseXML with xPathID: %s CommandAction: %d",
         xPathID != nullptr ? xPathID : "", static_cast<int>(action));
    const Selection selected{xPathID, "ParseResponseXML", "Response not found. Error Condition", 1, false};
    return RunParser(response, selected, [&](xmlDoc* doc, xmlNodeSet* nodes) {
        for (int i = 0; i < nodes->nodeNr; ++i) {
            for (const xmlNode* child = nodes->nodeTab[i]->children; child != nullptr; child = child->next) {
                if (IsElementNamed(child, "status")) ReadLogged(doc, child, info.status);
                if (IsElementNamed(child, "status-msg")) ReadLogged(doc, child, info.statusMsg);
                if (capture.element == nullptr || !IsElementNamed(child, capture.element)) continue;
                if (capture.item == nullptr) {
                    ReadLogged(doc, child, info.value);
                    continue;
                }
                if (info.snapshotIDs == nullptr)
                    throw std::invalid_argument("KConnection::ParseResponseXML - Invalid input argument");
                for (const xmlNode* item = child->children; item != nullptr; item = item->next) {
                    if (!IsElementNamed(item, capture.item)) continue;
                    std::string text;
                    ElementText(doc, item, text);
                    info.snapshotIDs->push_back(text);
                    KLOG(4, "%s: %s", capture.item, text.c_str());
                }
            }
        }
        return 0;
    });
}

int KConnection::ParseDriveList(const std::ostringstream& response) {
    KLOG(3, "Entering KConnection::ParseDriveList");
    return RunParser(response, kDriveListing, [](xmlDoc*, xmlNodeSet*) { return 0; });
}

}  // namespace Korvel
