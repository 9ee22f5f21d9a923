#include "Marshal.h"

#include <cstring>
#include <string>

namespace korvel_remoting {

namespace {

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
    if (!has) return true;
    if (bytes.size() != count) return false;
    field = Copy(bytes.data(), bytes.size());
    return field != nullptr;
}

bool DecodeIdentifiers(const pb::LunInformation& in, VDS_STORAGE_DEVICE_ID_DESCRIPTOR& out) {
    out.m_version = in.id_descriptor_version();
    out.m_cIdentifiers = in.id_count();
    if (!in.ids_present()) return in.ids_size() == 0;
    if (static_cast<size_t>(in.ids_size()) != in.id_count()) return false;
    out.m_rgIdentifiers = ZeroedArray<VDS_STORAGE_IDENTIFIER>(in.id_count());
    if (out.m_rgIdentifiers == nullptr) return false;
    for (int i = 0; i < in.ids_size(); ++i) {
        const pb::StorageIdentifier& id = in.ids(i);
        VDS_STORAGE_IDENTIFIER& to = out.m_rgIdentifiers[i];
        to.m_CodeSet = static_cast<VDS_STORAGE_IDENTIFIER_CODE_SET>(id.code_set());
        to.m_Type = static_cast<VDS_STORAGE_IDENTIFIER_TYPE>(id.type());
        to.m_cbIdentifier = id.cb_identifier();
        if (!DecodeCounted(id.has_identifier(), id.identifier(), id.cb_identifier(), to.m_rgbIdentifier)) return false;
    }
    return true;
}

bool DecodeInterconnects(const pb::LunInformation& in, VDS_LUN_INFORMATION& out) {
    out.m_cInterconnects = in.interconnect_count();
    if (!in.interconnects_present()) return in.interconnects_size() == 0;
    if (static_cast<size_t>(in.interconnects_size()) != in.interconnect_count()) return false;
    out.m_rgInterconnects = ZeroedArray<VDS_INTERCONNECT>(in.interconnect_count());
    if (out.m_rgInterconnects == nullptr) return false;
    for (int i = 0; i < in.interconnects_size(); ++i) {
        const pb::Interconnect& ic = in.interconnects(i);
        VDS_INTERCONNECT& to = out.m_rgInterconnects[i];
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
    if (!FitsByte(in.device_type()) || !FitsByte(in.device_type_modifier())) return false;
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
    if (!FitsByte(in.device_type()) || !FitsByte(in.device_type_modifier()) ||
        !DecodeGuid(in.disk_signature(), lun.m_diskSignature))
        return false;
    lun.m_version = in.version();
    lun.m_DeviceType = static_cast<BYTE>(in.device_type());
    lun.m_DeviceTypeModifier = static_cast<BYTE>(in.device_type_modifier());
    lun.m_bCommandQueueing = in.command_queueing();
    lun.m_BusType = static_cast<VDS_STORAGE_BUS_TYPE>(in.bus_type());
    if (!ApplyText(sent.has_vendor_id(), sent.vendor_id(), in.has_vendor_id(), in.vendor_id(), lun.m_szVendorId) ||
        !ApplyText(sent.has_product_id(), sent.product_id(), in.has_product_id(), in.product_id(),
                   lun.m_szProductId) ||
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
