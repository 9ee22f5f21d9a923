// Turning the provider interfaces' arguments into messages and back. The
// client encodes the caller's memory and writes the out-values back into it;
// the server decodes into records of its own (CoTaskMemAlloc buffers, as the
// provider expects), calls, and encodes what the call left in them.
#pragma once

#include <cstddef>
#include <vector>

#include "korvel_remoting.pb.h"
#include "vss.h"

namespace korvel_remoting {

namespace pb = ::korvel::remoting;

// What one call may carry. A frame beyond these is refused before anything
// is allocated for its contents.
constexpr size_t kMaxLunRecords = 4096;         // records of one array, and every count argument
constexpr size_t kMaxIdentifiersPerLun = 64;    // also m_cIdentifiers
constexpr size_t kMaxInterconnectsPerLun = 64;  // also m_cInterconnects
constexpr size_t kMaxFieldBytes = 64 * 1024;    // every text and byte array, and its count

// The Windows values of the record's enumerations.
bool IsBusType(int64_t value);
bool IsCodeSet(int64_t value);
bool IsIdentifierType(int64_t value);
bool IsAddressType(int64_t value);

enum class CallCheck {
    Ok,
    Refused,    // within the protocol, but over a bound or with a value no enumeration has
    Malformed,  // not a Call at all
};

// Walks the wire form of a Call without building it: counts every repeated
// field, measures every text and byte array, and checks every enumeration and
// count. `why` says what was refused.
CallCheck CheckCall(const void* data, size_t size, std::string& why);

void EncodeGuid(const GUID& guid, std::string* out);
bool DecodeGuid(const std::string& bytes, GUID& guid);

// `count` records from `luns` (none when luns is null).
void EncodeLuns(const VDS_LUN_INFORMATION* luns, size_t count, pb::LunArray& out);
void EncodeWideText(const WCHAR* text, pb::WideText& out);
void EncodeWideTexts(const VSS_PWSZ* texts, size_t count, pb::WideTextArray& out);

// The number of records an array argument holds for a count argument.
inline size_t RecordCount(LONG count) { return count > 0 ? static_cast<size_t>(count) : 0; }

// Server side: records decoded from a message, owned until destruction.
class LunBuffer {
public:
    LunBuffer() = default;
    ~LunBuffer();
    LunBuffer(const LunBuffer&) = delete;
    LunBuffer& operator=(const LunBuffer&) = delete;

    // False when the message is malformed or holds other than `count`
    // records; nothing is then held.
    bool Decode(const pb::LunArray& in, size_t count);
    // Null for an absent array.
    VDS_LUN_INFORMATION* Data() { return m_present ? m_luns.data() : nullptr; }
    void Encode(pb::LunArray& out) const;

private:
    void Clear();
    bool m_present = false;
    std::vector<VDS_LUN_INFORMATION> m_luns;
};

class WideTextBuffer {
public:
    bool Decode(const pb::WideText& in);
    WCHAR* Data() { return m_present ? m_text.data() : nullptr; }

private:
    bool m_present = false;
    std::vector<WCHAR> m_text;
};

class WideTextArrayBuffer {
public:
    bool Decode(const pb::WideTextArray& in, size_t count);
    VSS_PWSZ* Data() { return m_present ? m_pointers.data() : nullptr; }

private:
    bool m_present = false;
    std::vector<WideTextBuffer> m_texts;
    std::vector<VSS_PWSZ> m_pointers;
};

// Client side: writes what the server returned into the caller's records.
// A part that changed is released from the caller's record and replaced by a
// CoTaskMemAlloc copy, as the provider itself would have done in process; a
// part that did not change keeps the caller's memory. False when the reply
// does not match what was sent, or an allocation failed.
bool ApplyLuns(const pb::LunArray& sent, const pb::LunArray& returned, VDS_LUN_INFORMATION* luns);

}  // namespace korvel_remoting
