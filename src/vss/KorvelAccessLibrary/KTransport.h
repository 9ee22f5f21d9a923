// The libcurl side of one request: where it goes, the options every handle
// carries, the transfer and the words for its failures, and the encodings
// that keep an identifier one path segment or one form value. Internal to the
// library.
#pragma once

#include <curl/curl.h>

#include <sstream>
#include <string>

#include "KorvelAccessLibrary.h"

namespace Korvel {

// Where a request goes and what it carries.
struct KEndpoint {
    const std::string& address;
    const std::string& key;
    const std::string& pin;  // empty: not pinned
    CURLSH* share;           // the connections this request may share; null: none
    // A check of an address and key that has no connection object
    // (ListDrives): it logs its URL up front and its key line in detail only.
    bool check;
};

// printf into a std::string.
std::string FormatText(const char* format, ...) KORVEL_PRINTF_FORMAT(1, 2);

// An identifier put into a path stays one segment whatever it holds.
std::string EncodePathSegment(const std::string& value);
// A form value stays one value whatever it holds
// (application/x-www-form-urlencoded).
std::string EncodeFormValue(const std::string& value);

// The options every request handle carries, in the order they are set.
// `address` must outlive the request: a refused pin names it. An empty pin
// pins nothing.
void ApplyRequestOptions(CURL* curl, const std::string& url, const std::string& address = std::string(),
                         const std::string& pin = std::string());

// Runs the transfer into response and returns the HTTP status. A failed
// transfer (a null handle included) throws KTransportFailure "Failed to
// perform curl action" with its cause; a certificate that does not match the
// pin throws its own text and writes an event.
long Perform(CURL* curl, std::ostringstream& response);

// A status other than 200, with its cause.
KTransportFailure StatusFailure(CURL* curl, long status, const std::string& message);

}  // namespace Korvel
