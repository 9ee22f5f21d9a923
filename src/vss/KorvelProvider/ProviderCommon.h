// Helpers the provider operations share.
#pragma once

#include <exception>
#include <list>
#include <string>

#include "KorvelAccessLibrary.h"
#include "vss.h"

namespace korvel_provider {

// Exit lines print the result as %x.
inline unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// Replaces a record's text with a CoTaskMemAlloc copy of `text`, releasing
// what it held. False when the allocation fails (the field is then null).
bool ReplaceFieldText(char*& field, const std::string& text);

// A device name as the operations log and compare it: the low 8 bits of
// each UTF-16 unit; empty for a null name.
std::string NarrowDeviceName(const WCHAR* name);

// Takes a record's interconnects away: the array and every port and address
// buffer in it are freed before the count becomes 0, so nothing is left that
// a free by count would miss.
void ClearInterconnects(VDS_LUN_INFORMATION& lun);

// An empty text for a null one.
inline std::string TextOf(const char* text) { return text != nullptr ? text : std::string(); }

// The event entry of a refused administrator check.
void LogAuthorizationEvent();

// One look-up asked of each appliance in turn. An appliance that cannot be
// reached or refuses is logged and passed over, so one dead appliance does
// not stop the search; but "not found" is an answer only when every
// appliance gave it, so NotFound rethrows the failure (all their causes, for
// several).
class ApplianceSearch {
public:
    template <typename Lookup>
    bool Ask(Korvel::KArray* array, Lookup ask) {
        try {
            return ask();
        } catch (const Korvel::KException& e) {
            Passed(array, e);
            return false;
        }
    }
    void NotFound() const;

private:
    void Passed(Korvel::KArray* array, const Korvel::KException& e);
    std::exception_ptr m_first;
    std::string m_causes;  // every failure, for more than one
    int m_failures = 0;
};

}  // namespace korvel_provider
