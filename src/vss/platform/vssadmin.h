// The shadow copy service's administration interface, as far as provider
// registration uses it. On Linux the coordinator is a class object of this
// process, registered for in-process and local-server activation, that keeps
// the provider records in the registry store where the shadow copy service
// reads them:
//   HKLM\SYSTEM\CurrentControlSet\Services\VSS\Providers\{provider id}
//     (default) = provider name, "Type" = DWORD type, "Version" = version text,
//     "VersionId" = "{version id}", subkey "CLSID" with (default) = "{class id}"
#pragma once

#include "vss.h"

typedef enum _VSS_PROVIDER_TYPE {
    VSS_PROV_UNKNOWN = 0,
    VSS_PROV_SYSTEM = 1,
    VSS_PROV_SOFTWARE = 2,
    VSS_PROV_HARDWARE = 3,
    VSS_PROV_FILESHARE = 4
} VSS_PROVIDER_TYPE;

#define VSS_E_PROVIDER_ALREADY_REGISTERED static_cast<HRESULT>(0x80042303L)
#define VSS_E_PROVIDER_NOT_REGISTERED static_cast<HRESULT>(0x80042304L)

// The registry path under HKEY_LOCAL_MACHINE that holds one key per provider.
#define KORVEL_VSS_PROVIDERS_KEY "SYSTEM\\CurrentControlSet\\Services\\VSS\\Providers"

struct IVssAdmin : public IUnknown {
    virtual HRESULT RegisterProvider(VSS_ID pProviderId, CLSID ClassId, VSS_PWSZ pwszProviderName,
                                     VSS_PROVIDER_TYPE eProviderType, VSS_PWSZ pwszProviderVersion,
                                     VSS_ID ProviderVersionId) = 0;
    virtual HRESULT UnregisterProvider(VSS_ID ProviderId) = 0;

protected:
    ~IVssAdmin() = default;
};

extern const IID IID_IVssAdmin;
extern const CLSID CLSID_VSSCoordinator;
