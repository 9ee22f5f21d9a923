#include "vss.h"

#include <atomic>
#include <new>

const IID IID_IVssAsync = {0x507C37B4, 0xCF5B, 0x4E95, {0xB0, 0xAF, 0x14, 0xEB, 0x97, 0x67, 0x46, 0x7E}};
const IID IID_IVssHardwareSnapshotProvider = {
    0x9593A157, 0x44E9, 0x4344, {0xBB, 0xEB, 0x44, 0xFB, 0xF9, 0xB0, 0x6B, 0x10}};
const IID IID_IVssHardwareSnapshotProviderEx = {
    0x7F5BA925, 0xCDB1, 0x4D11, {0xA7, 0x1F, 0x33, 0x9E, 0xB7, 0xE7, 0x09, 0xFD}};
const IID IID_IVssProviderCreateSnapshotSet = {
    0x5F894E5B, 0x1E39, 0x4778, {0x8E, 0x23, 0x9A, 0xBA, 0xD9, 0xF0, 0xE0, 0x8C}};
const IID IID_IVssProviderNotifications = {
    0xE561901F, 0x03A5, 0x4AFE, {0x86, 0xD0, 0x72, 0xBA, 0xEE, 0xCE, 0x70, 0x04}};

namespace {

class CCompletedAsync final : public IVssAsync {
public:
    explicit CCompletedAsync(HRESULT status) : m_status(status) {}
    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IVssAsync)) {
            *ppvObject = static_cast<IVssAsync*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override {
        ULONG count = --m_refs;
        if (count == 0) delete this;
        return count;
    }
    HRESULT Cancel() override { return VSS_S_ASYNC_FINISHED; }
    HRESULT Wait(DWORD) override { return S_OK; }
    HRESULT QueryStatus(HRESULT* pHrResult, INT*) override {
        if (pHrResult == nullptr) return E_POINTER;
        *pHrResult = m_status;
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
    const HRESULT m_status;
};

}  // namespace

IVssAsync* KorvelNewCompletedAsync(HRESULT status) { return new (std::nothrow) CCompletedAsync(status); }

void KorvelFreeLunIdentifiers(VDS_STORAGE_DEVICE_ID_DESCRIPTOR& descriptor) {
    if (descriptor.m_rgIdentifiers != nullptr) {
        for (ULONG i = 0; i < descriptor.m_cIdentifiers; ++i)
            CoTaskMemFree(descriptor.m_rgIdentifiers[i].m_rgbIdentifier);
        CoTaskMemFree(descriptor.m_rgIdentifiers);
    }
    descriptor.m_rgIdentifiers = nullptr;
    descriptor.m_cIdentifiers = 0;
}

void KorvelFreeLunInterconnects(VDS_LUN_INFORMATION& lun) {
    if (lun.m_rgInterconnects != nullptr) {
        for (ULONG i = 0; i < lun.m_cInterconnects; ++i) {
            CoTaskMemFree(lun.m_rgInterconnects[i].m_pbPort);
            CoTaskMemFree(lun.m_rgInterconnects[i].m_pbAddress);
        }
        CoTaskMemFree(lun.m_rgInterconnects);
    }
    lun.m_rgInterconnects = nullptr;
    lun.m_cInterconnects = 0;
}

void KorvelFreeLunInformation(VDS_LUN_INFORMATION& lun) {
    CoTaskMemFree(lun.m_szVendorId);
    CoTaskMemFree(lun.m_szProductId);
    CoTaskMemFree(lun.m_szProductRevision);
    CoTaskMemFree(lun.m_szSerialNumber);
    KorvelFreeLunIdentifiers(lun.m_deviceIdDescriptor);
    KorvelFreeLunInterconnects(lun);
    lun = VDS_LUN_INFORMATION{};
}
