// Helpers the provider operations share.
#pragma once

#include <exception>
#include <list>
#include <string>

#include "KorvelAccessLibrary.h"
#include "Logger.h"
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

// A rejected argument and exhausted memory keep their own codes
// (E_INVALIDARG, E_OUTOFMEMORY), the exception's text logged; S_OK for any
// other exception, whose meaning is the operation's.
HRESULT ArgumentOrMemoryResult(const std::exception& e);

class Operation;

// How a provider operation ended. Only its Operation makes one, having
// written the operation's exit line (or, for the ends that have none, not).
class Outcome {
public:
    HRESULT Result() const { return m_result; }

private:
    friend class Operation;
    explicit Outcome(HRESULT result) : m_result(result) {}
    HRESULT m_result;
};

// One call of a provider operation, named as its log lines name it
// ("FillInLunInfo"). Every way out of the operation goes through it.
class Operation {
public:
    // What an exception out of the operation's work means: its lines, its
    // result and its exit line.
    using FailureMap = Outcome (*)(const Operation& op, const std::exception& e);

    explicit Operation(const char* name) : m_name(name) {}

    // From here on an exception is answered by `failures`; before (the
    // argument checks), by the last resort.
    void MapFailures(FailureMap failures) { m_failures = failures; }

    // "Exiting CKorvelVSSProvider::<name>(<hr>)", and ". <reason>" after it.
    Outcome Exit(HRESULT hr, int level = KLOG_INFO) const;
    Outcome Exit(HRESULT hr, int level, const std::string& reason) const;
    // The exit line shows `shown`; the caller is answered `answer`.
    Outcome ExitAnswering(HRESULT shown, HRESULT answer) const;
    // An end that writes no exit line.
    Outcome Silent(HRESULT hr) const { return Outcome(hr); }
    // An exception that would otherwise cross the interface and end the
    // server process: its text, VSS_E_PROVIDER_VETO, no exit line.
    Outcome LastResort(const std::exception& e) const;

    template <typename Body>
    friend HRESULT RunOperation(const char* name, Body body);

private:
    const char* m_name;
    FailureMap m_failures = nullptr;
};

// Runs `body(op)`, which returns the Outcome of each of its ways out, and
// answers an exception it lets out as the operation maps it.
template <typename Body>
HRESULT RunOperation(const char* name, Body body) {
    Operation op(name);
    try {
        return body(op).Result();
    } catch (const std::exception& e) {
        try {
            return op.m_failures != nullptr ? op.m_failures(op, e).Result() : op.LastResort(e).Result();
        } catch (const std::exception& again) {
            return op.LastResort(again).Result();
        }
    }
}

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
