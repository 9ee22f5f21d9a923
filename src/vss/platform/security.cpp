#include "security.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "handles.h"
#include "storage.h"

namespace {

// The pseudo handle GetCurrentThread returns on Windows.
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

thread_local const KorvelCallerCredentials* t_boundCaller = nullptr;
thread_local bool t_impersonating = false;
thread_local KorvelCallerCredentials t_impersonated;

struct TokenObject : korvel_platform::KernelObject {
    KorvelCallerCredentials caller;
};

struct SidObject {
    SID_IDENTIFIER_AUTHORITY authority;
    std::vector<DWORD> subAuthorities;
};

KorvelCallerCredentials ProcessCredentials() {
    KorvelCallerCredentials self;
    self.uid = ::geteuid();
    self.gid = ::getegid();
    int n = ::getgroups(0, nullptr);
    if (n > 0) {
        self.groups.resize(static_cast<size_t>(n));
        n = ::getgroups(n, self.groups.data());
        self.groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    self.groupsKnown = true;
    return self;
}

bool LookupGroupId(const char* name, gid_t& gid) {
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buf(4096);
    while (::getgrnam_r(name, &entry, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (found == nullptr) return false;
    gid = found->gr_gid;
    return true;
}

// The caller's groups: the ones given, or the database's for the user.
std::vector<gid_t> GroupsOf(const KorvelCallerCredentials& caller) {
    std::vector<gid_t> groups = caller.groups;
    groups.push_back(caller.gid);
    if (caller.groupsKnown) return groups;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buf(4096);
    while (::getpwuid_r(caller.uid, &entry, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (found == nullptr) return groups;
    int count = 64;
    std::vector<gid_t> list(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, caller.gid, list.data(), &count) == -1) {
        list.resize(static_cast<size_t>(count));
        if (::getgrouplist(found->pw_name, caller.gid, list.data(), &count) == -1) count = 0;
    }
    groups.insert(groups.end(), list.begin(), list.begin() + count);
    return groups;
}

bool IsAdministrator(const KorvelCallerCredentials& caller) {
    if (caller.uid == 0) return true;
    const std::vector<gid_t> groups = GroupsOf(caller);
    for (const char* name : {"sudo", "wheel"}) {
        gid_t gid = 0;
        if (LookupGroupId(name, gid) && std::find(groups.begin(), groups.end(), gid) != groups.end()) return true;
    }
    return false;
}

bool IsAdministratorsSid(const SidObject& sid) {
    static const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    return std::memcmp(sid.authority.Value, nt.Value, sizeof nt.Value) == 0 && sid.subAuthorities.size() == 2 &&
           sid.subAuthorities[0] == SECURITY_BUILTIN_DOMAIN_RID && sid.subAuthorities[1] == DOMAIN_ALIAS_RID_ADMINS;
}

}  // namespace

void KorvelResolveCallerGroups(KorvelCallerCredentials& caller) {
    if (caller.groupsKnown) return;
    caller.groups = GroupsOf(caller);
    caller.groupsKnown = true;
}

bool KorvelIsAdministrator(const KorvelCallerCredentials& caller) { return IsAdministrator(caller); }

KorvelCallerScope::KorvelCallerScope(const KorvelCallerCredentials& caller)
    : m_previous(t_boundCaller), m_caller(caller) {
    t_boundCaller = &m_caller;
}

KorvelCallerScope::~KorvelCallerScope() { t_boundCaller = m_previous; }

HRESULT CoImpersonateClient() {
    t_impersonated = t_boundCaller != nullptr ? *t_boundCaller : ProcessCredentials();
    t_impersonating = true;
    return S_OK;
}

HRESULT CoRevertToSelf() {
    t_impersonating = false;
    return S_OK;
}

HANDLE GetCurrentThread() { return kCurrentThread; }

BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL, PHANDLE TokenHandle) {
    if (TokenHandle == nullptr || (DesiredAccess & ~TOKEN_QUERY) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *TokenHandle = nullptr;
    if (ThreadHandle != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!t_impersonating) {
        SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    auto token = std::make_unique<TokenObject>();
    token->caller = t_impersonated;
    *TokenHandle = korvel_platform::RegisterHandle(std::move(token));
    return TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount, DWORD s0,
                              DWORD s1, DWORD s2, DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* pSid) {
    if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD all[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
    auto* sid = new (std::nothrow) SidObject;
    if (sid == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    sid->authority = *pIdentifierAuthority;
    sid->subAuthorities.assign(all, all + nSubAuthorityCount);
    *pSid = sid;
    return TRUE;
}

PVOID FreeSid(PSID pSid) {
    delete static_cast<SidObject*>(pSid);
    return nullptr;
}

BOOL CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember) {
    if (SidToCheck == nullptr || IsMember == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    KorvelCallerCredentials caller;
    if (TokenHandle == nullptr) {
        // No token: the thread's impersonation identity, else the process's.
        caller = t_impersonating ? t_impersonated : ProcessCredentials();
    } else {
        auto* token = korvel_platform::LookupHandleAs<TokenObject>(TokenHandle);
        if (token == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        caller = token->caller;
    }
    *IsMember = IsAdministratorsSid(*static_cast<SidObject*>(SidToCheck)) && IsAdministrator(caller) ? TRUE : FALSE;
    return TRUE;
}
