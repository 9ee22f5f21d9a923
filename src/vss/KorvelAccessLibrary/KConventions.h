// The access library's log component and the two places where its two
// conventions meet: operations fail by exception (logged where they leave
// the library's own code), the object model's scans by result code.
// Internal to the library.
#pragma once

#include <exception>

#include "Logger.h"

namespace Korvel {

constexpr const char* kAccessComponent = "Korvel.KAccessLibrary";

#define KLOG(level, ...) ::Logger::Write((level), ::Korvel::kAccessComponent, __VA_ARGS__)

// Runs `body`. A standard exception that leaves it is logged at level 0,
// verbatim, and rethrown: the caller decides what it means.
template <typename Body>
auto LoggedOnFailure(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        throw;
    }
}

// Runs `body` and returns its result. A standard exception that leaves it is
// logged at level 0 and becomes result 1; what `body` did before it stays.
template <typename Body>
int ResultOf(Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        KLOG(0, "%s", e.what());
        return 1;
    }
}

}  // namespace Korvel
