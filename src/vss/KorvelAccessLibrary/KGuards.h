// Owners of the libcurl and libxml2 resources of one request or one parse, so
// every path releases them. Where the order of release matters the code calls
// reset() explicitly; the destructors cover the failure paths.
#pragma once

#include <curl/curl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include "KHandle.h"

namespace Korvel {

namespace detail {
// xmlFree is a pointer that libxml2 may set at run time, not a function.
inline void ReleaseXmlChar(xmlChar* s) { xmlFree(s); }
}  // namespace detail

using CurlHandle = KHandle<KPointerTraits<CURL, &curl_easy_cleanup>>;
using CurlHeaderList = KHandle<KPointerTraits<curl_slist, &curl_slist_free_all>>;
using CurlShare = KHandle<KPointerTraits<CURLSH, &curl_share_cleanup>>;
using XmlDocument = KHandle<KPointerTraits<xmlDoc, &xmlFreeDoc>>;
using XPathContext = KHandle<KPointerTraits<xmlXPathContext, &xmlXPathFreeContext>>;
using XPathObject = KHandle<KPointerTraits<xmlXPathObject, &xmlXPathFreeObject>>;
using XmlText = KHandle<KPointerTraits<xmlChar, &detail::ReleaseXmlChar>>;

}  // namespace Korvel
