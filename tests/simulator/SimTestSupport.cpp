#include "SimTestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace simtest {

namespace {

size_t AppendBody(char* data, size_t size, size_t count, void* userdata) {
    static_cast<std::string*>(userdata)->append(data, size * count);
    return size * count;
}

struct XmlFree {
    void operator()(xmlChar* text) const { xmlFree(text); }
};

}  // namespace

HttpResult Send(const std::string& url, const RequestOptions& options) {
    HttpResult result;
    CurlPtr curl(curl_easy_init());
    if (!curl) {
        result.code = CURLE_FAILED_INIT;
        return result;
    }
    SlistPtr headers;
    auto addHeader = [&headers](const std::string& line) {
        curl_slist* next = curl_slist_append(headers.get(), line.c_str());
        if (next != nullptr) {
            headers.release();
            headers.reset(next);
        }
    };
    if (options.accessKey) {
        addHeader("X-Access-Key: " + *options.accessKey);
    }
    for (const auto& line : options.extraHeaders) {
        addHeader(line);
    }
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, options.followRedirects ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, options.timeoutMs);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, options.timeoutMs);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &result.body);
    if (headers) {
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    }
    if (options.method != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, options.method.c_str());
    }
    if (options.body) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, options.body->data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(options.body->size()));
    }
    result.code = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    curl_easy_getinfo(h, CURLINFO_REDIRECT_COUNT, &result.redirects);
    char* location = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
        result.location = location;
    }
    return result;
}

HttpResult Get(const qsta::Simulator& sim, const std::string& path) {
    RequestOptions options;
    options.accessKey = sim.AccessKey();
    return Send(sim.Url() + path, options);
}

HttpResult Post(const qsta::Simulator& sim, const std::string& path, const std::string& body) {
    RequestOptions options;
    options.method = "POST";
    options.body = body;
    options.accessKey = sim.AccessKey();
    return Send(sim.Url() + path, options);
}

HttpResult Delete(const qsta::Simulator& sim, const std::string& path) {
    RequestOptions options;
    options.method = "DELETE";
    options.accessKey = sim.AccessKey();
    return Send(sim.Url() + path, options);
}

std::optional<Xml> Xml::TryParse(const std::string& body) {
    DocPtr doc(xmlReadMemory(body.data(), static_cast<int>(body.size()), "noname.xml", nullptr,
                             XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        return std::nullopt;
    }
    return Xml(std::move(doc));
}

Xml Xml::Parse(const std::string& body) {
    auto xml = TryParse(body);
    if (!xml) {
        ADD_FAILURE() << "not well-formed XML:\n" << body;
        // An empty document keeps the caller going; its selections are empty.
        xml = TryParse("<empty/>");
    }
    return *xml;
}

std::vector<xmlNode*> Xml::Nodes(const std::string& xpath, ObjectPtr& holder) const {
    std::vector<xmlNode*> nodes;
    ContextPtr ctx(xmlXPathNewContext(m_doc.get()));
    if (!ctx) {
        ADD_FAILURE() << "no XPath context";
        return nodes;
    }
    holder.reset(xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(xpath.c_str()), ctx.get()));
    if (!holder) {
        ADD_FAILURE() << "XPath failed: " << xpath;
        return nodes;
    }
    xmlNodeSet* set = holder->nodesetval;
    if (set == nullptr || set->nodeNr == 0 || set->nodeTab == nullptr) {
        return nodes;
    }
    nodes.assign(set->nodeTab, set->nodeTab + set->nodeNr);
    return nodes;
}

std::vector<Record> Xml::Select(const std::string& xpath) const {
    std::vector<Record> records;
    ObjectPtr holder;
    for (xmlNode* node : Nodes(xpath, holder)) {
        Record record;
        for (xmlNode* child = node->children; child != nullptr; child = child->next) {
            if (child->type != XML_ELEMENT_NODE) {
                continue;
            }
            std::unique_ptr<xmlChar, XmlFree> text(xmlNodeListGetString(m_doc.get(), child->children, 1));
            record[reinterpret_cast<const char*>(child->name)] =
                text ? reinterpret_cast<const char*>(text.get()) : "";
        }
        records.push_back(record);
    }
    return records;
}

std::size_t Xml::Count(const std::string& xpath) const {
    ObjectPtr holder;
    return Nodes(xpath, holder).size();
}

std::optional<std::string> Xml::Text(const std::string& xpath) const {
    ObjectPtr holder;
    auto nodes = Nodes(xpath, holder);
    if (nodes.empty()) {
        return std::nullopt;
    }
    std::unique_ptr<xmlChar, XmlFree> text(xmlNodeListGetString(m_doc.get(), nodes[0]->children, 1));
    return std::string(text ? reinterpret_cast<const char*>(text.get()) : "");
}

std::vector<std::string> Xml::Texts(const std::string& xpath) const {
    std::vector<std::string> texts;
    ObjectPtr holder;
    for (xmlNode* node : Nodes(xpath, holder)) {
        std::unique_ptr<xmlChar, XmlFree> text(xmlNodeListGetString(m_doc.get(), node->children, 1));
        texts.emplace_back(text ? reinterpret_cast<const char*>(text.get()) : "");
    }
    return texts;
}

std::string CommandStatus(const HttpResult& result) {
    auto xml = Xml::Parse(result.body);
    return xml.Text("/*/status").value_or("<none>") + " " + xml.Text("/*/status-msg").value_or("<none>");
}

bool LoopDevicesUsable(std::string& whyNot) {
    int fd = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        whyNot = std::string("loop devices cannot be used here: /dev/loop-control: ") + std::strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

std::vector<std::string> LoopsBackedBy(const std::string& dir) {
    std::vector<std::string> found;
    FILE* pipe = popen("losetup --list --noheadings --output NAME,BACK-FILE 2>/dev/null", "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run losetup";
        return found;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        if (text.find(" " + dir + "/") != std::string::npos) found.push_back(text.substr(0, text.find('\n')));
    }
    pclose(pipe);
    return found;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void SimulatorTest::SetUp() {
    qsta::Options options;
    options.accessKey = "test-key-0123";
    m_sim = std::make_unique<qsta::Simulator>(options);
    m_sim->Start();
}

void SimulatorTest::TearDown() { m_sim.reset(); }

}  // namespace simtest
