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
