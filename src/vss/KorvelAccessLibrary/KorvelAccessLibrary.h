// Public interface of the access library.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "export.h"

#ifdef KORVEL_ACCESS_BUILD
#define KORVEL_API KORVEL_SYMBOL_EXPORT
#else
#define KORVEL_API KORVEL_SYMBOL_IMPORT
#endif

namespace Korvel {

// The system's exception for run-time failures. Header-only and not exported:
// the library and its callers are built with one toolchain.
class KException : public std::exception {
public:
    explicit KException(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

}  // namespace Korvel
