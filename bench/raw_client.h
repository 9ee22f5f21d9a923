// The baselines: the same libcurl requests and libxml2 walks that the access
// library makes, with nothing of the library around them.
#pragma once

#include <curl/curl.h>

#include <string>

namespace bench {

// One easy handle; `Reuse` keeps it (and its connection) between requests.
class RawClient {
public:
    RawClient(std::string address, std::string accessKey);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // GET on a fresh handle (a new connection and TLS handshake), as the library does.
    std::string Get(const std::string& path);
    // GET on a kept handle: the connection is reused after the first request.
    std::string GetReusing(const std::string& path);
    // POST of a form body on a fresh handle.
    std::string Post(const std::string& path, const std::string& body);

private:
    std::string Perform(CURL* curl, const std::string& path, const char* method, const std::string* body);

    std::string m_address;
    std::string m_header;
    CURL* m_kept = nullptr;
};

// Walks "//volumes/volume" and the five children the library reads,
// fetching each value, without building records. Returns the volume count.
size_t RawParseVolumes(const std::string& body);
// The same for "//snapshots/snapshot" with "name" and "display-name".
size_t RawParseSnapshots(const std::string& body);

}  // namespace bench
