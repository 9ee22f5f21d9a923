// The administrator check as the provider makes it: impersonate the caller,
// open the thread's token and test it against the Administrators SID.
#include <grp.h>

#include "TestEnv.h"
#include "security.h"
#include "storage.h"  // CloseHandle

namespace {

class MembershipTest : public ::testing::Test {
protected:
    void SetUp() override {
        SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
        ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                             0, 0, &m_admins));
    }
    void TearDown() override { FreeSid(m_admins); }

    // TRUE or FALSE as CheckTokenMembership answers for `caller`; -1 when a call failed.
    int IsAdministrator(const KorvelCallerCredentials& caller, PSID sid = nullptr) {
        KorvelCallerScope scope(caller);
        CoImpersonateClient();
        HANDLE token = nullptr;
        BOOL member = -1;
        if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
            if (!CheckTokenMembership(token, sid != nullptr ? sid : m_admins, &member)) member = -1;
            CloseHandle(token);
        }
        CoRevertToSelf();
        return member;
    }

    PSID m_admins = nullptr;
};

TEST_F(MembershipTest, ASupplementaryGroupMakesAnAdministratorAsThePrimaryOneDoes) {
    const group* admins = getgrnam("sudo");
    if (admins == nullptr) admins = getgrnam("wheel");
    if (admins == nullptr) GTEST_SKIP() << "neither group sudo nor group wheel is in the group database";
    const gid_t adminGroup = admins->gr_gid;

    KorvelCallerCredentials user;
    user.uid = 64000;
    user.gid = 64000;
    user.groupsKnown = true;
    user.groups = {64001, 64002};
    EXPECT_EQ(IsAdministrator(user), FALSE);
    user.groups.push_back(adminGroup);
    EXPECT_EQ(IsAdministrator(user), TRUE);
    user.groups = {};
    user.gid = adminGroup;
    EXPECT_EQ(IsAdministrator(user), TRUE);

    // Root is one without any group; no caller is a member of another SID.
    KorvelCallerCredentials root;
    root.groupsKnown = true;
    EXPECT_EQ(IsAdministrator(root), TRUE);
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    PSID users = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, 0x221, 0, 0, 0, 0, 0, 0, &users));
    EXPECT_EQ(IsAdministrator(root, users), FALSE);
    FreeSid(users);

    // Without impersonation there is no thread token.
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

}  // namespace
