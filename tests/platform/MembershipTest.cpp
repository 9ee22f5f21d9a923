// The administrator check as the provider makes it: impersonate the caller,
// open the thread's token and test it against the Administrators SID.
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

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

    // The exit code of `body` run in a child whose /etc/passwd and /etc/group
    // hold the given texts (a mount namespace of its own); 77 when the
    // machine cannot make one.
    static int WithUserDatabase(const std::string& passwd, const std::string& group, const std::function<int()>& body) {
        korvel_test::TempDir dir;
        std::ofstream(dir.Path() + "/passwd") << passwd;
        std::ofstream(dir.Path() + "/group") << group;
        pid_t pid = fork();
        if (pid == 0) {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount((dir.Path() + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
                mount((dir.Path() + "/group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
                _exit(77);
            _exit(body());
        }
        int status = 0;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// A caller known by its user ID only, as the socket reports one: its
// supplementary groups come from the group database.
TEST_F(MembershipTest, TheGroupDatabaseGivesTheGroupsOfACallerKnownByItsUserId) {
    // More groups than a first guess of 64 holds, sudo the last.
    std::string groups = "admin:x:64000:\nplain:x:64001:\n";
    for (int i = 0; i < 70; ++i) groups += "g" + std::to_string(i) + ":x:" + std::to_string(64200 + i) + ":admin\n";
    const int found = WithUserDatabase(
        "admin:x:64000:64000::/:/bin/false\nplain:x:64001:64001::/:/bin/false\n", groups + "sudo:x:64100:admin\n", [this] {
            KorvelCallerCredentials caller;
            caller.uid = caller.gid = 64000;
            const int admin = IsAdministrator(caller);
            caller.uid = caller.gid = 64001;
            return (admin == TRUE ? 0 : 1) | (IsAdministrator(caller) == FALSE ? 0 : 2);
        });
    if (found == 77) GTEST_SKIP() << "no mount namespace of its own for a user database (needs root)";
    EXPECT_EQ(found, 0) << "1: a member of sudo refused, 2: a non-member let through";
}

}  // namespace
