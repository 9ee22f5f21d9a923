// The server's side of one activated object: the calls a connection's frames
// carry, made on the provider object and answered. Used by the local server
// and by the frame fuzz target.
#pragma once

#include <cstddef>
#include <string>

#include "Marshal.h"

namespace korvel_remoting {

class ObjectStub {
public:
    ObjectStub() = default;
    ~ObjectStub() { Release(); }
    ObjectStub(const ObjectStub&) = delete;
    ObjectStub& operator=(const ObjectStub&) = delete;

    // Creates the object through the class object registered for
    // CLSCTX_LOCAL_SERVER and learns its interfaces.
    HRESULT Activate(REFCLSID clsid, pb::Activated& activated);
    // Lets go of the object; idempotent.
    void Release();

    enum class Outcome {
        Answer,    // send `reply`
        Refused,   // send `reply` (E_INVALIDARG, no out-values); `why` says what was over a bound
        Released,  // the client's release: the object is gone, send `reply`, then close
        Drop,      // close without an answer; `why` says why
    };
    // One frame after the activation. Its bounds are checked on the wire form
    // before it is parsed.
    Outcome Handle(const char* data, size_t size, pb::Reply& reply, std::string& why);

private:
    bool Invoke(const pb::Call& call, pb::Reply& reply, std::string& why);
    IVssHardwareSnapshotProvider* Hardware();

    bool AreLunsSupported(const pb::AreLunsSupported& a, pb::Reply& reply, std::string& why);
    bool FillInLunInfo(const pb::FillInLunInfo& a, pb::Reply& reply, std::string& why);
    bool BeginPrepareSnapshot(const pb::BeginPrepareSnapshot& a, pb::Reply& reply, std::string& why);
    bool GetTargetLuns(const pb::GetTargetLuns& a, pb::Reply& reply, std::string& why);
    bool LocateLuns(const pb::LocateLuns& a, pb::Reply& reply, std::string& why);
    bool OnLunEmpty(const pb::OnLunEmpty& a, pb::Reply& reply, std::string& why);
    bool GetProviderCapabilities(const pb::GetProviderCapabilities& a, pb::Reply& reply, std::string& why);
    bool OnLunStateChange(const pb::OnLunStateChange& a, pb::Reply& reply, std::string& why);
    bool OnReuseLuns(const pb::OnReuseLuns& a, pb::Reply& reply, std::string& why);
    bool ResyncLuns(const pb::ResyncLuns& a, pb::Reply& reply, std::string& why);
    bool SnapshotSet(const pb::SnapshotSetCall& a, pb::Reply& reply, std::string& why);
    bool OnLoad(pb::Reply& reply, std::string& why);
    bool OnUnload(const pb::OnUnload& a, pb::Reply& reply, std::string& why);
    template <typename Operation>
    bool TwoArrays(const pb::LunArray& first, const pb::LunArray& second, DWORD count, pb::Reply& reply,
                   std::string& why, Operation operation);

    IUnknown* m_unknown = nullptr;
    IVssHardwareSnapshotProvider* m_hardware = nullptr;
    IVssHardwareSnapshotProviderEx* m_hardwareEx = nullptr;
    IVssProviderCreateSnapshotSet* m_creator = nullptr;
    IVssProviderNotifications* m_notifications = nullptr;
};

}  // namespace korvel_remoting
