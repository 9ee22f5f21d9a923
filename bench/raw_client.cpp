#include "raw_client.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <stdexcept>

namespace bench {

namespace {

size_t Append(char* data, size_t size, size_t count, void* userdata) {
    static_cast<std::string*>(userdata)->append(data, size * count);
    return size * count;
}

size_t RawWalk(const std::string& body, const char* expression, const char* const* names, size_t nameCount) {
    xmlDocPtr doc = xmlReadMemory(body.data(), static_cast<int>(body.size()), "noname.xml", nullptr, XML_PARSE_NONET);
    if (!doc) throw std::runtime_error("raw parse: not XML");
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    xmlXPathObjectPtr result = xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression), ctx);
    size_t count = 0;
    if (result && result->nodesetval) {
        for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
            for (xmlNodePtr child = result->nodesetval->nodeTab[i]->children; child; child = child->next) {
                for (size_t n = 0; n < nameCount; ++n) {
                    if (xmlStrcmp(child->name, reinterpret_cast<const xmlChar*>(names[n])) == 0) {
                        xmlChar* value = xmlNodeListGetString(doc, child->children, 1);
                        if (value) xmlFree(value);
                        break;
                    }
                }
            }
            ++count;
        }
    }
    xmlXPathFreeContext(ctx);
    if (result) xmlXPathFreeObject(result);
    xmlFreeDoc(doc);
    return count;
}

}  // namespace

RawClient::RawClient(std::string address, std::string accessKey)
    : m_address(std::move(address)), m_header("X-Access-Key: " + accessKey) {}

RawClient::~RawClient() {
    if (m_kept) curl_easy_cleanup(m_kept);
}

std::string RawClient::Perform(CURL* curl, const std::string& path, const char* method, const std::string* body) {
    std::string url = "https://" + m_address + path;
    std::string response;
    curl_slist* headers = curl_slist_append(nullptr, m_header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (method) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
        if (body) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
        }
    }
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    if (rc != CURLE_OK || status != 200) throw std::runtime_error("raw request failed: " + path);
    return response;
}

std::string RawClient::Get(const std::string& path) {
    CURL* curl = curl_easy_init();
    std::string out;
    try {
        out = Perform(curl, path, nullptr, nullptr);
    } catch (...) {
        curl_easy_cleanup(curl);
        throw;
    }
    curl_easy_cleanup(curl);
    return out;
}

std::string RawClient::GetReusing(const std::string& path) {
    if (!m_kept) m_kept = curl_easy_init();
    return Perform(m_kept, path, nullptr, nullptr);
}

std::string RawClient::Post(const std::string& path, const std::string& body) {
    CURL* curl = curl_easy_init();
    std::string out;
    try {
        out = Perform(curl, path, "POST", &body);
    } catch (...) {
        curl_easy_cleanup(curl);
        throw;
    }
    curl_easy_cleanup(curl);
    return out;
}

size_t RawParseVolumes(const std::string& body) {
    static const char* const names[] = {"product-id", "ieee-id", "name", "display-name", "cg-name"};
    return RawWalk(body, "//volumes/volume", names, 5);
}

size_t RawParseSnapshots(const std::string& body) {
    static const char* const names[] = {"name", "display-name"};
    return RawWalk(body, "//snapshots/snapshot", names, 2);
}

}  // namespace bench
