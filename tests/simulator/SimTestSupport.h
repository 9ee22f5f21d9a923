// What the simulator's tests use to talk to it: real libcurl over HTTPS and
// real libxml2 XPath, each resource held by a small guard.
#pragma once

#include "qsta/Simulator.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simtest {

struct CurlFree {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct ContextFree {
    void operator()(xmlXPathContext* ctx) const { xmlXPathFreeContext(ctx); }
};
struct ObjectFree {
    void operator()(xmlXPathObject* obj) const { xmlXPathFreeObject(obj); }
};
using CurlPtr = std::unique_ptr<CURL, CurlFree>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;
using ContextPtr = std::unique_ptr<xmlXPathContext, ContextFree>;
using ObjectPtr = std::unique_ptr<xmlXPathObject, ObjectFree>;

struct HttpResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string location;       // the Location header of the final answer, if any
    long redirects = 0;         // redirects followed
};

struct RequestOptions {
    std::string method = "GET";
    std::optional<std::string> body;             // sent with its exact length
    std::optional<std::string> accessKey;        // nullopt: no "X-Access-Key" header
    std::vector<std::string> extraHeaders;       // "Name: value"
    bool followRedirects = false;
    long timeoutMs = 20000;                      // every request is bounded
};

// One HTTPS request with a fresh handle; the certificate is not verified, as
// the access library does with the appliance's self-signed one.
HttpResult Send(const std::string& url, const RequestOptions& options);

// Shorthands against a running simulator with its current key.
HttpResult Get(const qsta::Simulator& sim, const std::string& path);
HttpResult Post(const qsta::Simulator& sim, const std::string& path, const std::string& body);
HttpResult Delete(const qsta::Simulator& sim, const std::string& path);

using Record = std::map<std::string, std::string>;

// A parsed document; Parse fails the current test when the body is not XML.
class Xml {
public:
    static std::optional<Xml> TryParse(const std::string& body);
    static Xml Parse(const std::string& body);

    // One record per element the expression selects: the text of each direct
    // child element, by name (as xmlNodeListGetString gives it).
    std::vector<Record> Select(const std::string& xpath) const;
    std::size_t Count(const std::string& xpath) const;
    // Text of the first selected element; nullopt when nothing is selected.
    std::optional<std::string> Text(const std::string& xpath) const;
    // Texts of all selected elements, in document order.
    std::vector<std::string> Texts(const std::string& xpath) const;

private:
    explicit Xml(DocPtr doc) : m_doc(std::move(doc)) {}
    std::vector<xmlNode*> Nodes(const std::string& xpath, ObjectPtr& holder) const;
    std::shared_ptr<xmlDoc> m_doc;
};

// A command's answer as "<status> <status-msg>", e.g. "0 Success".
std::string CommandStatus(const HttpResult& result);

// Loop devices: whether this process may attach them (else why not), and the
// loop devices, as losetup lists them, whose backing file lies under `dir`.
bool LoopDevicesUsable(std::string& whyNot);
std::vector<std::string> LoopsBackedBy(const std::string& dir);

// Polls `done` every 5 ms until it holds or `limit` passed; its last answer.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

// Test base: a started simulator with the default seed.
class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    qsta::Simulator& Sim() { return *m_sim; }

    std::unique_ptr<qsta::Simulator> m_sim;
};

}  // namespace simtest
