// The shadow copy service's hardware-provider interfaces, with the Windows
// slot order and signatures.
#pragma once

#include "com.h"
#include "vds.h"

typedef GUID VSS_ID;
typedef WCHAR* VSS_PWSZ;
typedef unsigned long long ULONGLONG;
typedef int INT;

#ifndef INFINITE
#define INFINITE 0xFFFFFFFF
#endif

#define VSS_E_PROVIDER_VETO static_cast<HRESULT>(0x80042306L)
#define VSS_E_BAD_STATE static_cast<HRESULT>(0x80042301L)
#define VSS_S_ASYNC_PENDING static_cast<HRESULT>(0x00042309L)
#define VSS_S_ASYNC_FINISHED static_cast<HRESULT>(0x0004230AL)
#define VSS_S_ASYNC_CANCELLED static_cast<HRESULT>(0x0004230BL)

// Snapshot context attributes.
#define VSS_VOLSNAP_ATTR_PERSISTENT 0x00000001
#define VSS_VOLSNAP_ATTR_NO_AUTORECOVERY 0x00000002
#define VSS_VOLSNAP_ATTR_CLIENT_ACCESSIBLE 0x00000004
#define VSS_VOLSNAP_ATTR_NO_AUTO_RELEASE 0x00000008
#define VSS_VOLSNAP_ATTR_NO_WRITERS 0x00000010
#define VSS_VOLSNAP_ATTR_TRANSPORTABLE 0x00000020
#define VSS_VOLSNAP_ATTR_PLEX 0x00040000

// Flags of IVssHardwareSnapshotProviderEx::OnLunStateChange.
#define VSS_ONLUNSTATECHANGE_NOTIFY_READ_WRITE 0x00000100
#define VSS_ONLUNSTATECHANGE_NOTIFY_LUN_PRE_RECOVERY 0x00000200
#define VSS_ONLUNSTATECHANGE_NOTIFY_LUN_POST_RECOVERY 0x00000400
#define VSS_ONLUNSTATECHANGE_DO_MASK_LUNS 0x00000800

struct IVssAsync : public IUnknown {
    virtual HRESULT Cancel() = 0;
    virtual HRESULT Wait(DWORD dwMilliseconds = INFINITE) = 0;
    virtual HRESULT QueryStatus(HRESULT* pHrResult, INT* pReserved) = 0;

protected:
    ~IVssAsync() = default;
};

struct IVssHardwareSnapshotProvider : public IUnknown {
    virtual HRESULT AreLunsSupported(LONG lLunCount, LONG lContext, VSS_PWSZ* rgwszDevices,
                                     VDS_LUN_INFORMATION* pLunInformation, BOOL* pbIsSupported) = 0;
    virtual HRESULT FillInLunInfo(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pLunInfo, BOOL* pbIsSupported) = 0;
    virtual HRESULT BeginPrepareSnapshot(VSS_ID SnapshotSetId, VSS_ID SnapshotId, LONG lContext, LONG lLunCount,
                                         VSS_PWSZ* rgDeviceNames, VDS_LUN_INFORMATION* rgLunInformation) = 0;
    virtual HRESULT GetTargetLuns(LONG lLunCount, VSS_PWSZ* rgDeviceNames, VDS_LUN_INFORMATION* rgSourceLuns,
                                  VDS_LUN_INFORMATION* rgDestinationLuns) = 0;
    virtual HRESULT LocateLuns(LONG lLunCount, VDS_LUN_INFORMATION* rgSourceLuns) = 0;
    virtual HRESULT OnLunEmpty(VSS_PWSZ wszDeviceName, VDS_LUN_INFORMATION* pInformation) = 0;

protected:
    ~IVssHardwareSnapshotProvider() = default;
};

struct IVssHardwareSnapshotProviderEx : public IVssHardwareSnapshotProvider {
    virtual HRESULT GetProviderCapabilities(ULONGLONG* pllOriginalCapabilityMask) = 0;
    virtual HRESULT OnLunStateChange(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION* pOriginalLuns,
                                     DWORD dwCount, DWORD dwFlags) = 0;
    virtual HRESULT ResyncLuns(VDS_LUN_INFORMATION* pSourceLuns, VDS_LUN_INFORMATION* pTargetLuns, DWORD dwCount,
                               IVssAsync** ppAsync) = 0;
    virtual HRESULT OnReuseLuns(VDS_LUN_INFORMATION* pSnapshotLuns, VDS_LUN_INFORMATION* pOriginalLuns,
                                DWORD dwCount) = 0;

protected:
    ~IVssHardwareSnapshotProviderEx() = default;
};

struct IVssProviderCreateSnapshotSet : public IUnknown {
    virtual HRESULT EndPrepareSnapshots(VSS_ID SnapshotSetId) = 0;
    virtual HRESULT PreCommitSnapshots(VSS_ID SnapshotSetId) = 0;
    virtual HRESULT CommitSnapshots(VSS_ID SnapshotSetId) = 0;
    virtual HRESULT PostCommitSnapshots(VSS_ID SnapshotSetId, LONG lSnapshotsCount) = 0;
    virtual HRESULT PreFinalCommitSnapshots(VSS_ID SnapshotSetId) = 0;
    virtual HRESULT PostFinalCommitSnapshots(VSS_ID SnapshotSetId) = 0;
    virtual HRESULT AbortSnapshots(VSS_ID SnapshotSetId) = 0;

protected:
    ~IVssProviderCreateSnapshotSet() = default;
};

struct IVssProviderNotifications : public IUnknown {
    virtual HRESULT OnLoad(IUnknown* pCallback) = 0;
    virtual HRESULT OnUnload(BOOL bForceUnload) = 0;

protected:
    ~IVssProviderNotifications() = default;
};

extern const IID IID_IVssAsync;
extern const IID IID_IVssHardwareSnapshotProvider;
extern const IID IID_IVssHardwareSnapshotProviderEx;
extern const IID IID_IVssProviderCreateSnapshotSet;
extern const IID IID_IVssProviderNotifications;

#include "korvel_vss.h"
