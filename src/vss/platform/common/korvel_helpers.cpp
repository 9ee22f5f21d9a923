// The helpers of korvel_com.h and korvel_vss.h, written on the Windows API
// alone so that one source serves every platform.
#include <atomic>
#include <cstdio>
#include <new>

#include "com.h"
#include "vss.h"

std::string KorvelGuidText(REFGUID rguid) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(rguid.Data1), rguid.Data2, rguid.Data3, rguid.Data4[0], rguid.Data4[1],
                  rguid.Data4[2], rguid.Data4[3], rguid.Data4[4], rguid.Data4[5], rguid.Data4[6], rguid.Data4[7]);
    return text;
}

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
