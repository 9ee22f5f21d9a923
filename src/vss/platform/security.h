// The calls of the administrator check: impersonating the COM caller, its
// access token and the membership test for the built-in Administrators group.
//
// On Linux the caller is a process: the peer of the provider host's socket,
// whose credentials the host binds to the thread that runs the call
// (KorvelCallerScope), or the process itself for an in-process call.
// Administrators are user ID 0 and the members of group "sudo" or "wheel",
// looked up in the system's group database.
#pragma once

#include <sys/types.h>

#include <vector>

#include "com.h"

typedef void* PSID;
typedef HANDLE* PHANDLE;
typedef BOOL* PBOOL;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

#define SECURITY_NT_AUTHORITY \
    { 0, 0, 0, 0, 0, 5 }
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020u
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220u
#define TOKEN_QUERY 0x0008u
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
#define ERROR_INVALID_SID 1337L

HRESULT CoImpersonateClient();
HRESULT CoRevertToSelf();
HANDLE GetCurrentThread();
BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle);
BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2, DWORD nSubAuthority3,
                              DWORD nSubAuthority4, DWORD nSubAuthority5, DWORD nSubAuthority6, DWORD nSubAuthority7,
                              PSID* pSid);
PVOID FreeSid(PSID pSid);
BOOL CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember);

// The identity of a caller as the socket reports it. Without explicit groups
// the supplementary groups come from the group database for the user.
struct KorvelCallerCredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    bool groupsKnown = false;
    std::vector<gid_t> groups;
};

// Fixes the caller's supplementary groups as the group database has them
// now, so that every later check of this identity gives the same answer.
void KorvelResolveCallerGroups(KorvelCallerCredentials& caller);

// Root, or a member of group "sudo" or "wheel": what the Administrators
// membership test answers for this caller.
bool KorvelIsAdministrator(const KorvelCallerCredentials& caller);

// Binds a caller's credentials to the calling thread for the scope's life:
// CoImpersonateClient on this thread then takes this identity instead of the
// process's own. Scopes nest; the previous binding comes back at the end.
class KorvelCallerScope {
public:
    explicit KorvelCallerScope(const KorvelCallerCredentials& caller);
    ~KorvelCallerScope();
    KorvelCallerScope(const KorvelCallerScope&) = delete;
    KorvelCallerScope& operator=(const KorvelCallerScope&) = delete;

private:
    const KorvelCallerCredentials* m_previous;
    KorvelCallerCredentials m_caller;
};
