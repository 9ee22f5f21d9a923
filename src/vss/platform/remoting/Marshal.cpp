#include "Marshal.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <cstring>
#include <iterator>
#include <string>

namespace korvel_remoting {

bool IsBusType(int64_t value) {
    return (value >= VDSBusTypeUnknown && value <= VDSBusTypeUfs) || value == VDSBusTypeMaxReserved;
}
bool IsCodeSet(int64_t value) { return value >= VDSStorageIdCodeSetReserved && value <= VDSStorageIdCodeSetUtf8; }
bool IsIdentifierType(int64_t value) {
    return value >= VDSStorageIdTypeVendorSpecific && value <= VDSStorageIdTypeScsiNameString;
}
bool IsAddressType(int64_t value) { return value >= VDS_IA_UNKNOWN && value <= VDS_IA_SCSI; }

namespace {

// ---- bounds of a call, on its wire form --------------------------------------

using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedInputStream;

struct Schema;

enum class Kind { Message, Bytes, Signed, Unsigned, Other };

struct Field {
    int number;
    Kind kind;
    const char* refusal;  // why a frame is refused over this field
    uint32_t maxCount;    // occurrences in one message: singular messages once
    const Schema* message;
    bool (*valid)(int64_t);
};

struct Schema {
    const Field* fields;
    size_t count;
};

bool IsByte(int64_t value) { return value >= 0 && value <= 0xFF; }
bool IsByteCount(int64_t value) { return value >= 0 && static_cast<uint64_t>(value) <= kMaxFieldBytes; }
bool IsIdentifierCount(int64_t value) { return value >= 0 && static_cast<uint64_t>(value) <= kMaxIdentifiersPerLun; }
bool IsInterconnectCount(int64_t value) {
    return value >= 0 && static_cast<uint64_t>(value) <= kMaxInterconnectsPerLun;
}
// Negative LUN counts mean no records, as they always have.
bool IsLunCount(int64_t value) { return value <= static_cast<int64_t>(kMaxLunRecords); }
bool IsSnapshotSetOperation(int64_t value) {
    return value >= pb::SnapshotSetCall::END_PREPARE_SNAPSHOTS && value <= pb::SnapshotSetCall::ABORT_SNAPSHOTS;
}

constexpr uint32_t kOnce = 1;
constexpr const char* kLongField = "a text or byte array over 64 KiB";
constexpr const char* kRepeated = "an argument given twice";
constexpr const char* kLunCount = "a LUN count over 4096";

constexpr Field Bytes(int number) { return {number, Kind::Bytes, kLongField, UINT32_MAX, nullptr, nullptr}; }
constexpr Field Other(int number) { return {number, Kind::Other, nullptr, UINT32_MAX, nullptr, nullptr}; }
constexpr Field Signed(int number, const char* refusal, bool (*valid)(int64_t)) {
    return {number, Kind::Signed, refusal, UINT32_MAX, nullptr, valid};
}
constexpr Field Unsigned(int number, const char* refusal, bool (*valid)(int64_t)) {
    return {number, Kind::Unsigned, refusal, UINT32_MAX, nullptr, valid};
}
constexpr Field Message(int number, const Schema& schema, uint32_t maxCount = kOnce, const char* refusal = kRepeated) {
    return {number, Kind::Message, refusal, maxCount, &schema, nullptr};
}
template <size_t N>
constexpr Schema SchemaOf(const Field (&fields)[N]) {
    return {fields, N};
}

constexpr Field kStorageIdentifierFields[] = {
    Signed(1, "a code set that does not exist", IsCodeSet),
    Signed(2, "an identifier type that does not exist", IsIdentifierType),
    Unsigned(3, "a byte count over 64 KiB", IsByteCount),
    Bytes(4),
};
constexpr Schema kStorageIdentifier = SchemaOf(kStorageIdentifierFields);
constexpr Field kInterconnectFields[] = {
    Signed(1, "an address type that does not exist", IsAddressType),
    Unsigned(2, "a byte count over 64 KiB", IsByteCount),
    Bytes(3),
    Unsigned(4, "a byte count over 64 KiB", IsByteCount),
    Bytes(5),
};
constexpr Schema kInterconnect = SchemaOf(kInterconnectFields);
constexpr Field kLunFields[] = {
    Other(1),
    Unsigned(2, "a device type over 255", IsByte),
    Unsigned(3, "a device type modifier over 255", IsByte),
    Other(4),
    Signed(5, "a bus type that does not exist", IsBusType),
    Bytes(6),
    Bytes(7),
    Bytes(8),
    Bytes(9),
    Bytes(10),
    Other(11),
    Unsigned(12, "an identifier count over 64", IsIdentifierCount),
    Other(13),
    Message(14, kStorageIdentifier, kMaxIdentifiersPerLun, "more than 64 identifiers in a LUN record"),
    Unsigned(15, "an interconnect count over 64", IsInterconnectCount),
    Other(16),
    Message(17, kInterconnect, kMaxInterconnectsPerLun, "more than 64 interconnects in a LUN record"),
};
constexpr Schema kLun = SchemaOf(kLunFields);
constexpr Field kLunArrayFields[] = {Other(1), Message(2, kLun, kMaxLunRecords, "more than 4096 LUN records")};
constexpr Schema kLunArray = SchemaOf(kLunArrayFields);
constexpr Field kWideTextFields[] = {Bytes(1)};
constexpr Schema kWideText = SchemaOf(kWideTextFields);
constexpr Field kWideTextArrayFields[] = {Other(1),
                                          Message(2, kWideText, kMaxLunRecords, "more than 4096 device names")};
constexpr Schema kWideTextArray = SchemaOf(kWideTextArrayFields);

constexpr Field kActivateFields[] = {Bytes(1)};
constexpr Field kAreLunsSupportedFields[] = {Signed(1, kLunCount, IsLunCount), Other(2), Message(3, kWideTextArray),
                                             Message(4, kLunArray), Other(5)};
constexpr Field kFillInLunInfoFields[] = {Message(1, kWideText), Message(2, kLunArray), Other(3)};
constexpr Field kBeginPrepareSnapshotFields[] = {
    Bytes(1), Bytes(2), Other(3), Signed(4, kLunCount, IsLunCount), Message(5, kWideTextArray), Message(6, kLunArray)};
constexpr Field kGetTargetLunsFields[] = {Signed(1, kLunCount, IsLunCount), Message(2, kWideTextArray),
                                          Message(3, kLunArray), Message(4, kLunArray)};
constexpr Field kLocateLunsFields[] = {Signed(1, kLunCount, IsLunCount), Message(2, kLunArray)};
constexpr Field kOnLunEmptyFields[] = {Message(1, kWideText), Message(2, kLunArray)};
constexpr Field kScalarFields[] = {Other(1)};
// OnLunStateChange, ResyncLuns and OnReuseLuns: two arrays and their count first.
constexpr Field kTwoArraysFields[] = {Message(1, kLunArray), Message(2, kLunArray), Unsigned(3, kLunCount, IsLunCount),
                                      Other(4)};
constexpr Field kSnapshotSetFields[] = {
    Signed(1, "a snapshot-set operation that does not exist", IsSnapshotSetOperation), Bytes(2), Other(3)};
constexpr Field kReleaseFields[] = {Other(1)};

constexpr Schema kActivate = SchemaOf(kActivateFields);
constexpr Schema kAreLunsSupported = SchemaOf(kAreLunsSupportedFields);
constexpr Schema kFillInLunInfo = SchemaOf(kFillInLunInfoFields);
constexpr Schema kBeginPrepareSnapshot = SchemaOf(kBeginPrepareSnapshotFields);
constexpr Schema kGetTargetLuns = SchemaOf(kGetTargetLunsFields);
constexpr Schema kLocateLuns = SchemaOf(kLocateLunsFields);
constexpr Schema kOnLunEmpty = SchemaOf(kOnLunEmptyFields);
constexpr Schema kScalars = SchemaOf(kScalarFields);
constexpr Schema kTwoArrays = SchemaOf(kTwoArraysFields);
constexpr Schema kSnapshotSet = SchemaOf(kSnapshotSetFields);
constexpr Schema kRelease = SchemaOf(kReleaseFields);

// The operations of a Call, by field number; one of them at most.
constexpr Field kCallFields[] = {
    Message(1, kActivate),      Message(2, kAreLunsSupported),
    Message(3, kFillInLunInfo), Message(4, kBeginPrepareSnapshot),
    Message(5, kGetTargetLuns), Message(6, kLocateLuns),
    Message(7, kOnLunEmpty),    Message(8, kScalars),
    Message(9, kTwoArrays),     Message(10, kTwoArrays),
    Message(11, kTwoArrays),    Message(12, kSnapshotSet),
    Message(13, kScalars),      Message(14, kScalars),
    Message(15, kRelease),
};
constexpr Schema kCall = SchemaOf(kCallFields);
constexpr size_t kMostFields = std::size(kLunFields);

const Field* FindField(const Schema& schema, int number) {
    for (size_t i = 0; i < schema.count; ++i)
        if (schema.fields[i].number == number) return &schema.fields[i];
    return nullptr;
}

bool Carries(const Field& field, WireFormatLite::WireType wire) {
    switch (field.kind) {
        case Kind::Message:
        case Kind::Bytes: return wire == WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
        case Kind::Signed:
        case Kind::Unsigned: return wire == WireFormatLite::WIRETYPE_VARINT;
        case Kind::Other: return false;
    }
    return false;
}

// The message up to the stream's current limit. A field of another wire
// type than the schema's is an unknown field to the parser too: skipped.
CallCheck Walk(CodedInputStream& in, const Schema& schema, std::string& why) {
    uint32_t seen[kMostFields] = {};
    while (in.BytesUntilLimit() > 0) {
        const uint32_t tag = in.ReadTag();
        if (tag == 0) return CallCheck::Malformed;
        const Field* field = FindField(schema, WireFormatLite::GetTagFieldNumber(tag));
        if (field == nullptr || !Carries(*field, WireFormatLite::GetTagWireType(tag))) {
            if (!WireFormatLite::SkipField(&in, tag)) return CallCheck::Malformed;
            continue;
        }
        if (++seen[field - schema.fields] > field->maxCount) {
            why = field->refusal;
            return CallCheck::Refused;
        }
        uint32_t length = 0;
        uint64_t value = 0;
        switch (field->kind) {
            case Kind::Message: {
                if (!in.ReadVarint32(&length) || length > static_cast<uint32_t>(in.BytesUntilLimit()))
                    return CallCheck::Malformed;
                const CodedInputStream::Limit limit = in.PushLimit(static_cast<int>(length));
                const CallCheck inner = Walk(in, *field->message, why);
                in.PopLimit(limit);
                if (inner != CallCheck::Ok) return inner;
                break;
            }
            case Kind::Bytes:
                if (!in.ReadVarint32(&length)) return CallCheck::Malformed;
                if (length > kMaxFieldBytes) {
                    why = field->refusal;
                    return CallCheck::Refused;
                }
                if (!in.Skip(static_cast<int>(length))) return CallCheck::Malformed;
                break;
            case Kind::Signed:
            case Kind::Unsigned: {
                if (!in.ReadVarint64(&value)) return CallCheck::Malformed;
                // What the parser makes of the value: int32 or uint32 fields.
                const int64_t number = field->kind == Kind::Signed ? static_cast<int64_t>(static_cast<int32_t>(value))
                                                                   : static_cast<int64_t>(static_cast<uint32_t>(value));
                if (!field->valid(number)) {
                    why = field->refusal;
                    return CallCheck::Refused;
                }
                break;
            }
            case Kind::Other: break;
        }
    }
    return CallCheck::Ok;
}

// ---- caller memory to message --------------------------------------------

void EncodeText(const char* text, std::string* (pb::LunInformation::*mutableField)(), pb::LunInformation& out) {
    if (text != nullptr) (out.*mutableField)()->assign(text);
}

void EncodeBytes(const BYTE* bytes, ULONG size, bool& present, std::string* field) {
    present = bytes != nullptr;
    if (present) field->assign(reinterpret_cast<const char*>(bytes), size);
}

void EncodeLun(const VDS_LUN_INFORMATION& lun, pb::LunInformation& out) {
    out.set_version(lun.m_version);
    out.set_device_type(lun.m_DeviceType);
    out.set_device_type_modifier(lun.m_DeviceTypeModifier);
    out.set_command_queueing(lun.m_bCommandQueueing);
    out.set_bus_type(lun.m_BusType);
    EncodeText(lun.m_szVendorId, &pb::LunInformation::mutable_vendor_id, out);
    EncodeText(lun.m_szProductId, &pb::LunInformation::mutable_product_id, out);
    EncodeText(lun.m_szProductRevision, &pb::LunInformation::mutable_product_revision, out);
    EncodeText(lun.m_szSerialNumber, &pb::LunInformation::mutable_serial_number, out);
    EncodeGuid(lun.m_diskSignature, out.mutable_disk_signature());

    const VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor = lun.m_deviceIdDescriptor;
    out.set_id_descriptor_version(descriptor.m_version);
    out.set_id_count(descriptor.m_cIdentifiers);
    out.set_ids_present(descriptor.m_rgIdentifiers != nullptr);
    for (ULONG i = 0; descriptor.m_rgIdentifiers != nullptr && i < descriptor.m_cIdentifiers; ++i) {
        const VDS_STORAGE_IDENTIFIER& id = descriptor.m_rgIdentifiers[i];
        pb::StorageIdentifier* to = out.add_ids();
        to->set_code_set(id.m_CodeSet);
        to->set_type(id.m_Type);
        to->set_cb_identifier(id.m_cbIdentifier);
        bool present = false;
        std::string bytes;
        EncodeBytes(id.m_rgbIdentifier, id.m_cbIdentifier, present, &bytes);
        if (present) to->set_identifier(std::move(bytes));
    }

    out.set_interconnect_count(lun.m_cInterconnects);
    out.set_interconnects_present(lun.m_rgInterconnects != nullptr);
    for (ULONG i = 0; lun.m_rgInterconnects != nullptr && i < lun.m_cInterconnects; ++i) {
        const VDS_INTERCONNECT& ic = lun.m_rgInterconnects[i];
        pb::Interconnect* to = out.add_interconnects();
        to->set_address_type(ic.m_addressType);
        to->set_cb_port(ic.m_cbPort);
        to->set_cb_address(ic.m_cbAddress);
        bool present = false;
        std::string bytes;
        EncodeBytes(ic.m_pbPort, ic.m_cbPort, present, &bytes);
        if (present) to->set_port(std::move(bytes));
        EncodeBytes(ic.m_pbAddress, ic.m_cbAddress, present, &bytes);
        if (present) to->set_address(std::move(bytes));
    }
}

// ---- message to records of our own -----------------------------------------

// A CoTaskMemAlloc copy of `size` bytes; at least one byte is allocated so an
// empty buffer is still not null.
template <typename T = BYTE>
T* Copy(const void* bytes, size_t size, size_t extraZeroBytes = 0) {
    void* copy = CoTaskMemAlloc(size + extraZeroBytes > 0 ? size + extraZeroBytes : 1);
    if (copy == nullptr) return nullptr;
    if (size > 0) std::memcpy(copy, bytes, size);
    if (extraZeroBytes > 0) std::memset(static_cast<char*>(copy) + size, 0, extraZeroBytes);
    return static_cast<T*>(copy);
}

template <typename T>
T* ZeroedArray(size_t count) {
    void* array = CoTaskMemAlloc(sizeof(T) * (count > 0 ? count : 1));
    if (array != nullptr) std::memset(array, 0, sizeof(T) * (count > 0 ? count : 1));
    return static_cast<T*>(array);
}

bool DecodeText(bool has, const std::string& text, char*& field) {
    field = nullptr;
    if (!has) return true;
    field = Copy<char>(text.data(), text.size(), 1);
    return field != nullptr;
}

bool FitsByte(uint32_t value) { return value <= 0xFF; }

// Present bytes must be exactly as many as their count says.
bool DecodeCounted(bool has, const std::string& bytes, ULONG count, BYTE*& field) {
    field = nullptr;
    if (count > kMaxFieldBytes) return false;
    if (!has) return true;
    if (bytes.size() != count) return false;
    field = Copy(bytes.data(), bytes.size());
    return field != nullptr;
}

bool DecodeIdentifiers(const pb::LunInformation& in, VDS_STORAGE_DEVICE_ID_DESCRIPTOR& out) {
    out.m_version = in.id_descriptor_version();
    if (in.id_count() > kMaxIdentifiersPerLun) return false;
    out.m_cIdentifiers = in.id_count();
    if (!in.ids_present()) return in.ids_size() == 0;
    if (static_cast<size_t>(in.ids_size()) != in.id_count()) return false;
    out.m_rgIdentifiers = ZeroedArray<VDS_STORAGE_IDENTIFIER>(in.id_count());
    if (out.m_rgIdentifiers == nullptr) return false;
    for (int i = 0; i < in.ids_size(); ++i) {
        const pb::StorageIdentifier& id = in.ids(i);
        VDS_STORAGE_IDENTIFIER& to = out.m_rgIdentifiers[i];
        if (!IsCodeSet(id.code_set()) || !IsIdentifierType(id.type())) return false;
        to.m_CodeSet = static_cast<VDS_STORAGE_IDENTIFIER_CODE_SET>(id.code_set());
        to.m_Type = static_cast<VDS_STORAGE_IDENTIFIER_TYPE>(id.type());
        to.m_cbIdentifier = id.cb_identifier();
        if (!DecodeCounted(id.has_identifier(), id.identifier(), id.cb_identifier(), to.m_rgbIdentifier)) return false;
    }
    return true;
}

bool DecodeInterconnects(const pb::LunInformation& in, VDS_LUN_INFORMATION& out) {
    if (in.interconnect_count() > kMaxInterconnectsPerLun) return false;
    out.m_cInterconnects = in.interconnect_count();
    if (!in.interconnects_present()) return in.interconnects_size() == 0;
    if (static_cast<size_t>(in.interconnects_size()) != in.interconnect_count()) return false;
    out.m_rgInterconnects = ZeroedArray<VDS_INTERCONNECT>(in.interconnect_count());
    if (out.m_rgInterconnects == nullptr) return false;
    for (int i = 0; i < in.interconnects_size(); ++i) {
        const pb::Interconnect& ic = in.interconnects(i);
        VDS_INTERCONNECT& to = out.m_rgInterconnects[i];
        if (!IsAddressType(ic.address_type())) return false;
        to.m_addressType = static_cast<VDS_INTERCONNECT_ADDRESS_TYPE>(ic.address_type());
        to.m_cbPort = ic.cb_port();
        to.m_cbAddress = ic.cb_address();
        if (!DecodeCounted(ic.has_port(), ic.port(), ic.cb_port(), to.m_pbPort) ||
            !DecodeCounted(ic.has_address(), ic.address(), ic.cb_address(), to.m_pbAddress))
            return false;
    }
    return true;
}

// On failure the record may hold part of its buffers; the caller frees it.
bool DecodeLun(const pb::LunInformation& in, VDS_LUN_INFORMATION& out) {
    out = VDS_LUN_INFORMATION{};
    if (!FitsByte(in.device_type()) || !FitsByte(in.device_type_modifier()) || !IsBusType(in.bus_type())) return false;
    out.m_version = in.version();
    out.m_DeviceType = static_cast<BYTE>(in.device_type());
    out.m_DeviceTypeModifier = static_cast<BYTE>(in.device_type_modifier());
    out.m_bCommandQueueing = in.command_queueing();
    out.m_BusType = static_cast<VDS_STORAGE_BUS_TYPE>(in.bus_type());
    return DecodeGuid(in.disk_signature(), out.m_diskSignature) &&
           DecodeText(in.has_vendor_id(), in.vendor_id(), out.m_szVendorId) &&
           DecodeText(in.has_product_id(), in.product_id(), out.m_szProductId) &&
           DecodeText(in.has_product_revision(), in.product_revision(), out.m_szProductRevision) &&
           DecodeText(in.has_serial_number(), in.serial_number(), out.m_szSerialNumber) &&
           DecodeIdentifiers(in, out.m_deviceIdDescriptor) && DecodeInterconnects(in, out);
}

// ---- writing out-values into the caller's records --------------------------

bool ApplyText(bool sentHas, const std::string& sent, bool has, const std::string& text, char*& field) {
    if (sentHas == has && sent == text) return true;
    CoTaskMemFree(field);
    return DecodeText(has, text, field);
}

template <typename Message>
bool SameMessages(const google::protobuf::RepeatedPtrField<Message>& a,
                  const google::protobuf::RepeatedPtrField<Message>& b) {
    if (a.size() != b.size()) return false;
    for (int i = 0; i < a.size(); ++i)
        if (a.Get(i).SerializeAsString() != b.Get(i).SerializeAsString()) return false;
    return true;
}

bool ApplyLun(const pb::LunInformation& sent, const pb::LunInformation& in, VDS_LUN_INFORMATION& lun) {
    if (!FitsByte(in.device_type()) || !FitsByte(in.device_type_modifier()) || !IsBusType(in.bus_type()) ||
        !DecodeGuid(in.disk_signature(), lun.m_diskSignature))
        return false;
    lun.m_version = in.version();
    lun.m_DeviceType = static_cast<BYTE>(in.device_type());
    lun.m_DeviceTypeModifier = static_cast<BYTE>(in.device_type_modifier());
    lun.m_bCommandQueueing = in.command_queueing();
    lun.m_BusType = static_cast<VDS_STORAGE_BUS_TYPE>(in.bus_type());
    if (!ApplyText(sent.has_vendor_id(), sent.vendor_id(), in.has_vendor_id(), in.vendor_id(), lun.m_szVendorId) ||
        !ApplyText(sent.has_product_id(), sent.product_id(), in.has_product_id(), in.product_id(), lun.m_szProductId) ||
        !ApplyText(sent.has_product_revision(), sent.product_revision(), in.has_product_revision(),
                   in.product_revision(), lun.m_szProductRevision) ||
        !ApplyText(sent.has_serial_number(), sent.serial_number(), in.has_serial_number(), in.serial_number(),
                   lun.m_szSerialNumber))
        return false;

    lun.m_deviceIdDescriptor.m_version = in.id_descriptor_version();
    if (sent.id_count() != in.id_count() || sent.ids_present() != in.ids_present() ||
        !SameMessages(sent.ids(), in.ids())) {
        KorvelFreeLunIdentifiers(lun.m_deviceIdDescriptor);
        if (!DecodeIdentifiers(in, lun.m_deviceIdDescriptor)) return false;
    }
    if (sent.interconnect_count() != in.interconnect_count() ||
        sent.interconnects_present() != in.interconnects_present() ||
        !SameMessages(sent.interconnects(), in.interconnects())) {
        KorvelFreeLunInterconnects(lun);
        if (!DecodeInterconnects(in, lun)) return false;
    }
    return true;
}

}  // namespace

CallCheck CheckCall(const void* data, size_t size, std::string& why) {
    if (size > static_cast<size_t>(INT32_MAX)) return CallCheck::Malformed;
    CodedInputStream in(static_cast<const uint8_t*>(data), static_cast<int>(size));
    in.PushLimit(static_cast<int>(size));
    return Walk(in, kCall, why);
}

void EncodeGuid(const GUID& guid, std::string* out) { out->assign(reinterpret_cast<const char*>(&guid), sizeof guid); }

bool DecodeGuid(const std::string& bytes, GUID& guid) {
    if (bytes.size() != sizeof guid) return false;
    std::memcpy(&guid, bytes.data(), sizeof guid);
    return true;
}

void EncodeLuns(const VDS_LUN_INFORMATION* luns, size_t count, pb::LunArray& out) {
    out.set_present(luns != nullptr);
    for (size_t i = 0; luns != nullptr && i < count; ++i) EncodeLun(luns[i], *out.add_luns());
}

void EncodeWideText(const WCHAR* text, pb::WideText& out) {
    if (text == nullptr) return;
    size_t length = 0;
    while (text[length] != 0) ++length;
    out.set_utf16(reinterpret_cast<const char*>(text), length * sizeof(WCHAR));
}

void EncodeWideTexts(const VSS_PWSZ* texts, size_t count, pb::WideTextArray& out) {
    out.set_present(texts != nullptr);
    for (size_t i = 0; texts != nullptr && i < count; ++i) EncodeWideText(texts[i], *out.add_texts());
}

LunBuffer::~LunBuffer() { Clear(); }

void LunBuffer::Clear() {
    for (VDS_LUN_INFORMATION& lun : m_luns) KorvelFreeLunInformation(lun);
    m_luns.clear();
    m_present = false;
}

bool LunBuffer::Decode(const pb::LunArray& in, size_t count) {
    Clear();
    if (!in.present()) return in.luns_size() == 0;
    if (static_cast<size_t>(in.luns_size()) != count) return false;
    m_present = true;
    // One record more than asked for keeps Data() non-null for an empty array.
    m_luns.assign(count + 1, VDS_LUN_INFORMATION{});
    for (size_t i = 0; i < count; ++i) {
        if (!DecodeLun(in.luns(static_cast<int>(i)), m_luns[i])) {
            Clear();
            return false;
        }
    }
    return true;
}

void LunBuffer::Encode(pb::LunArray& out) const {
    EncodeLuns(m_present ? m_luns.data() : nullptr, m_luns.empty() ? 0 : m_luns.size() - 1, out);
}

bool WideTextBuffer::Decode(const pb::WideText& in) {
    m_present = in.has_utf16();
    m_text.clear();
    if (!m_present) return true;
    if (in.utf16().size() % sizeof(WCHAR) != 0) return false;
    m_text.assign(in.utf16().size() / sizeof(WCHAR) + 1, 0);
    std::memcpy(m_text.data(), in.utf16().data(), in.utf16().size());
    return true;
}

bool WideTextArrayBuffer::Decode(const pb::WideTextArray& in, size_t count) {
    m_present = in.present();
    m_texts.clear();
    m_pointers.clear();
    if (!m_present) return in.texts_size() == 0;
    if (static_cast<size_t>(in.texts_size()) != count) return false;
    m_texts.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (!m_texts[i].Decode(in.texts(static_cast<int>(i)))) return false;
        m_pointers.push_back(m_texts[i].Data());
    }
    m_pointers.push_back(nullptr);
    return true;
}

bool ApplyLuns(const pb::LunArray& sent, const pb::LunArray& returned, VDS_LUN_INFORMATION* luns) {
    if (sent.present() != returned.present() || sent.luns_size() != returned.luns_size()) return false;
    for (int i = 0; i < returned.luns_size(); ++i)
        if (!ApplyLun(sent.luns(i), returned.luns(i), luns[i])) return false;
    return true;
}

}  // namespace korvel_remoting
