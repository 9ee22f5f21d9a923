// The host's iSCSI initiator name from the initiator file, in every form the
// file takes. Portable: the Windows check builds and runs it too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "NodeFacts.h"
#include "TestEnv.h"

namespace korvel_test {
namespace {

TEST(NodeFacts, InitiatorNameFileForms) {
    TempDir dir;
    const std::string path = dir.Path() + "/initiatorname.iscsi";
    SetEnvironment("KORVEL_INITIATOR_FILE", path.c_str());
    std::string iqn = "left over";
    EXPECT_EQ(KorvelHostInfo::GetIQN(iqn), KorvelHostInfo::HOSTINFO_FILE_NOT_FOUND);
    EXPECT_EQ(iqn, "");

    struct Form {
        const char* text;
        const char* iqn;
    } forms[] = {
        {"InitiatorName=iqn.1993-08.org.debian:01:abc\n", "iqn.1993-08.org.debian:01:abc"},
        {"## DO NOT EDIT\n#InitiatorName=iqn.old\n  InitiatorName= iqn.a:b \t\n", "iqn.a:b"},
        {"InitiatorName=iqn.crlf:x\r\nInitiatorAlias=x\r\n", "iqn.crlf:x"},
        {"\n\nInitiatorName=iqn.no.newline", "iqn.no.newline"},
    };
    for (const Form& form : forms) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << form.text;
        iqn = "left over";
        EXPECT_EQ(KorvelHostInfo::GetIQN(iqn), KorvelHostInfo::HOSTINFO_SUCCESS) << form.text;
        EXPECT_EQ(iqn, form.iqn);
    }
    for (const char* text : {"", "# InitiatorName=iqn.commented\n", "InitiatorName=\n", "InitiatorAlias=host\n"}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        iqn = "left over";
        EXPECT_EQ(KorvelHostInfo::GetIQN(iqn), KorvelHostInfo::HOSTINFO_NO_INITIATOR_NAME) << text;
        EXPECT_EQ(iqn, "");
    }
    // A folder in the file's place cannot be read.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(KorvelHostInfo::GetIQN(iqn), KorvelHostInfo::HOSTINFO_READ_ERROR);
    EXPECT_EQ(iqn, "");
    SetEnvironment("KORVEL_INITIATOR_FILE", nullptr);
}

}  // namespace
}  // namespace korvel_test
