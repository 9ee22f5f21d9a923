// Small owners for the libcurl and libxml2 resources of one request or one
// parse, so every path releases them. Where the order of release matters the
// code calls reset() explicitly; the destructors cover the failure paths.
#pragma once

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

namespace Korvel {

template <typename T, void (*Release)(T*)>
class KResourceGuard {
public:
    KResourceGuard() = default;
    explicit KResourceGuard(T* p) : m_p(p) {}
    ~KResourceGuard() { reset(); }
    KResourceGuard(const KResourceGuard&) = delete;
    KResourceGuard& operator=(const KResourceGuard&) = delete;

    T* get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Releases the held resource (if any) and takes p.
    void reset(T* p = nullptr) {
        if (m_p != nullptr) Release(m_p);
        m_p = p;
    }
    // Gives up ownership without releasing.
    T* release() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};

namespace detail {
inline void ReleaseCurl(CURL* h) { curl_easy_cleanup(h); }
inline void ReleaseSlist(curl_slist* l) { curl_slist_free_all(l); }
inline void ReleaseShare(CURLSH* s) { curl_share_cleanup(s); }
inline void ReleaseXmlDoc(xmlDoc* d) { xmlFreeDoc(d); }
inline void ReleaseXPathContext(xmlXPathContext* c) { xmlXPathFreeContext(c); }
inline void ReleaseXPathObject(xmlXPathObject* o) { xmlXPathFreeObject(o); }
inline void ReleaseXmlChar(xmlChar* s) { xmlFree(s); }
}  // namespace detail

using CurlHandle = KResourceGuard<CURL, detail::ReleaseCurl>;
using CurlHeaderList = KResourceGuard<curl_slist, detail::ReleaseSlist>;
using CurlShare = KResourceGuard<CURLSH, detail::ReleaseShare>;
using XmlDocument = KResourceGuard<xmlDoc, detail::ReleaseXmlDoc>;
using XPathContext = KResourceGuard<xmlXPathContext, detail::ReleaseXPathContext>;
using XPathObject = KResourceGuard<xmlXPathObject, detail::ReleaseXPathObject>;
using XmlText = KResourceGuard<xmlChar, detail::ReleaseXmlChar>;

}  // namespace Korvel
