// The six XML parsers on canned appliance answers.
#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KConnection.h"
#include "KorvelAccessLibrary.h"
#include "TestEnv.h"

using Korvel::KConnection;
using Korvel::KException;
using Korvel::ResponseInfo;
using Korvel::SnapshotInfo;
using Korvel::VolumeInfo;

namespace {

std::ostringstream Doc(const std::string& text) {
    std::ostringstream out;
    out << text;
    return out;
}

const char* const kTwoVolumes =
    "<?xml version=\"1.0\"?>\n"
    "<show-volumes-response><volumes>"
    "<volume><name>vol-1</name><display-name>sqldata</display-name><ieee-id>6a0b1c2d3e4f5061</ieee-id>"
    "<product-id>6a0b1c2d3e4f5061-QSTA-Volume</product-id><cg-name>cg-1</cg-name></volume>"
    "<volume><product-id>PLAINID</product-id><cg-name>cg-2</cg-name><display-name>sqllog</display-name>"
    "<name>vol-2</name><ieee-id>6a0b1c2d3e4f5062</ieee-id></volume>"
    "</volumes></show-volumes-response>";

class ParserTest : public korvel_test::KorvelEnvTest {};

// ---------------------------------------------------------------------------
// Volume listing

TEST_F(ParserTest, VolumeListFillsOneRecordPerVolumeInDocumentOrder) {
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(0, KConnection::ParseVolumeList(Doc(kTwoVolumes), volumes));
    ASSERT_EQ(2u, volumes.size());
    const VolumeInfo& first = volumes.front();
    EXPECT_EQ("vol-1", first.volName);
    EXPECT_EQ("sqldata", first.volDispName);
    EXPECT_EQ("6a0b1c2d3e4f5061", first.volID);
    EXPECT_EQ("cg-1", first.cgName);
    const VolumeInfo& second = volumes.back();
    EXPECT_EQ("vol-2", second.volName);
    EXPECT_EQ("sqllog", second.volDispName);
    EXPECT_EQ("6a0b1c2d3e4f5062", second.volID);
    EXPECT_EQ("cg-2", second.cgName);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseVolumeList"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseVolumeList with return code 0"));
}

TEST_F(ParserTest, ProductIDIsCutBeforeTheFirstHyphenOnly) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, KConnection::ParseVolumeList(Doc(kTwoVolumes), volumes));
    ASSERT_EQ(2u, volumes.size());
    EXPECT_EQ("6a0b1c2d3e4f5061", volumes.front().productID);  // "…-QSTA-Volume": two hyphens
    EXPECT_EQ("PLAINID", volumes.back().productID);            // no hyphen: whole text
}

TEST_F(ParserTest, VolumeListAppendsAfterTheCallersEntries) {
    std::list<VolumeInfo> volumes(1);
    volumes.front().volName = "kept";
    ASSERT_EQ(0, KConnection::ParseVolumeList(Doc(kTwoVolumes), volumes));
    ASSERT_EQ(3u, volumes.size());
    EXPECT_EQ("kept", volumes.front().volName);
    EXPECT_EQ("vol-2", volumes.back().volName);
}

TEST_F(ParserTest, VolumeListWithoutVolumesGivesTwoAndLeavesTheListAlone) {
    std::list<VolumeInfo> volumes(1);
    EXPECT_EQ(2, KConnection::ParseVolumeList(Doc("<show-volumes-response><volumes/></show-volumes-response>"),
                                              volumes));
    EXPECT_EQ(1u, volumes.size());
    EXPECT_EQ(1u, CountLog(2, "No volume found in the array"));
    // Only the drive listing logs its exit line when nothing was selected.
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::ParseVolumeList"));
}

TEST_F(ParserTest, VolumeWithMissingOrEmptyChildrenIsStillAppended) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, KConnection::ParseVolumeList(
                     Doc("<r><volumes><volume><product-id/><name>only-name</name></volume></volumes></r>"), volumes));
    ASSERT_EQ(1u, volumes.size());
    EXPECT_EQ("", volumes.front().productID);
    EXPECT_EQ("only-name", volumes.front().volName);
    EXPECT_EQ("", volumes.front().volID);
    EXPECT_EQ("", volumes.front().volDispName);
    EXPECT_EQ("", volumes.front().cgName);
}

TEST_F(ParserTest, ChildNamesAreMatchedCaseSensitively) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, KConnection::ParseVolumeList(
                     Doc("<r><volumes><volume><Name>upper</Name><NAME>x</NAME><name>lower</name></volume>"
                         "</volumes></r>"),
                     volumes));
    ASSERT_EQ(1u, volumes.size());
    EXPECT_EQ("lower", volumes.front().volName);
    // The element names themselves are case-sensitive too.
    std::list<VolumeInfo> none;
    EXPECT_EQ(2, KConnection::ParseVolumeList(Doc("<r><Volumes><Volume><name>a</name></Volume></Volumes></r>"), none));
    EXPECT_TRUE(none.empty());
}

TEST_F(ParserTest, VolumeScanStopsAfterFiveKnownChildren) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, KConnection::ParseVolumeList(
                     Doc("<r><volumes><volume><name>first</name><name>second</name><ieee-id>i</ieee-id>"
                         "<display-name>d</display-name><cg-name>c</cg-name><product-id>late-x</product-id>"
                         "</volume></volumes></r>"),
                     volumes));
    ASSERT_EQ(1u, volumes.size());
    EXPECT_EQ("second", volumes.front().volName);  // the repeated name counted as one of the five
    EXPECT_EQ("c", volumes.front().cgName);
    EXPECT_EQ("", volumes.front().productID);  // sixth known child: not read
}

TEST_F(ParserTest, PredefinedAndCharacterReferencesAreReplacedInValues) {
    std::list<VolumeInfo> volumes;
    ASSERT_EQ(0, KConnection::ParseVolumeList(
                     Doc("<r><volumes><volume><display-name>a&amp;b &lt;c&gt; &quot;&apos;&#65;&#x42;</display-name>"
                         "</volume></volumes></r>"),
                     volumes));
    ASSERT_EQ(1u, volumes.size());
    EXPECT_EQ("a&b <c> \"'AB", volumes.front().volDispName);
}

// ---------------------------------------------------------------------------
// Snapshot listing

TEST_F(ParserTest, SnapshotListReadsNameAndDisplayName) {
    std::list<SnapshotInfo> snapshots(1);
    snapshots.front().snapID = "kept";
    ASSERT_EQ(0, KConnection::ParseSnapshotList(
                     Doc("<show-snapshots-response><snapshots>"
                         "<snapshot><display-name>snap_1_a</display-name><name>snap-000001</name></snapshot>"
                         "<snapshot><name>snap-000002</name></snapshot>"
                         "</snapshots></show-snapshots-response>"),
                     snapshots));
    ASSERT_EQ(3u, snapshots.size());
    auto it = snapshots.begin();
    EXPECT_EQ("kept", it->snapID);
    ++it;
    EXPECT_EQ("snap-000001", it->snapID);
    EXPECT_EQ("snap_1_a", it->snapDispName);
    ++it;
    EXPECT_EQ("snap-000002", it->snapID);
    EXPECT_EQ("", it->snapDispName);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseSnapshotList"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseSnapshotList with return code 0"));
}

TEST_F(ParserTest, SnapshotListWithoutSnapshotsGivesTwo) {
    std::list<SnapshotInfo> snapshots;
    EXPECT_EQ(2, KConnection::ParseSnapshotList(Doc("<r><snapshots/></r>"), snapshots));
    EXPECT_TRUE(snapshots.empty());
    EXPECT_EQ(1u, CountLog(2, "No snapshots found in the array"));
}

// ---------------------------------------------------------------------------
// Volume lookup by display name

TEST_F(ParserTest, VolumeByNameTakesTheFirstMatchingVolume) {
    std::string volID, volName, cgName;
    const char* doc =
        "<r><volumes>"
        "<volume><name>vol-7</name><display-name>other</display-name><ieee-id>0</ieee-id><cg-name>cg-0</cg-name></volume>"
        "<volume><name>vol-8</name><display-name>twin</display-name><ieee-id>8</ieee-id><cg-name>cg-8</cg-name></volume>"
        "<volume><name>vol-9</name><display-name>twin</display-name><ieee-id>9</ieee-id><cg-name>cg-9</cg-name></volume>"
        "</volumes></r>";
    EXPECT_EQ(0, KConnection::ParseVolumeXMLByName(Doc(doc), "twin", volID, volName, cgName));
    EXPECT_EQ("8", volID);
    EXPECT_EQ("vol-8", volName);
    EXPECT_EQ("cg-8", cgName);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseVolumeXMLByName for volume twin"));
    EXPECT_EQ(1u, CountLog(2, "volID: 8, volDispName: twin, volName: vol-8, cgName: cg-8"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseVolumeXMLByName with return code 0"));
}

TEST_F(ParserTest, VolumeByNameDifferingInCaseIsNotFoundAndOutputsStay) {
    std::string volID = "in-id", volName = "in-name", cgName = "in-cg";
    EXPECT_EQ(2, KConnection::ParseVolumeXMLByName(Doc(kTwoVolumes), "SQLDATA", volID, volName, cgName));
    EXPECT_EQ("in-id", volID);
    EXPECT_EQ("in-name", volName);
    EXPECT_EQ("in-cg", cgName);
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseVolumeXMLByName with return code 2"));
}

TEST_F(ParserTest, VolumeByNameMatchesTheWholeNameOnly) {
    std::string volID, volName, cgName;
    EXPECT_EQ(2, KConnection::ParseVolumeXMLByName(Doc(kTwoVolumes), "sqldat", volID, volName, cgName));
    EXPECT_EQ(2, KConnection::ParseVolumeXMLByName(Doc(kTwoVolumes), "sqldata ", volID, volName, cgName));
    EXPECT_EQ("", volName);
}

TEST_F(ParserTest, VolumeByNameOnAnEmptyListingLogsNothingFound) {
    std::string volID, volName, cgName;
    EXPECT_EQ(2, KConnection::ParseVolumeXMLByName(Doc("<r/>"), "x", volID, volName, cgName));
    EXPECT_EQ(1u, CountLog(2, "No volume found in the array"));
}

// ---------------------------------------------------------------------------
// Server lookup by initiator name

const char* const kThreeServers =
    "<show-servers-response><servers>"
    "<server><name>host-1</name><iqn>iqn.2026-01.local:a</iqn><iscsi-ip>192.0.2.1</iscsi-ip></server>"
    "<server><iscsi-ip>192.0.2.2</iscsi-ip><iqn>iqn.2026-01.local:b</iqn><name>host-2</name></server>"
    "<server><name>host-3</name><iqn>iqn.2026-01.local:c</iqn><iscsi-ip>192.0.2.3</iscsi-ip></server>"
    "</servers></show-servers-response>";

TEST_F(ParserTest, ServerByIQNNoMatchLeavesServerIDAndGivesTheLastAddress) {
    std::string serverID = "untouched", iscsiIP;
    EXPECT_EQ(2, KConnection::ParseServerXMLByIQN(Doc(kThreeServers), "iqn.2026-01.local:z", serverID, iscsiIP));
    EXPECT_EQ("untouched", serverID);
    EXPECT_EQ("192.0.2.3", iscsiIP);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseServerXMLByIQN for hostIQN iqn.2026-01.local:z"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseServerXMLByIQN with return code 2"));
}

TEST_F(ParserTest, ServerByIQNMatchGivesNameAndItsAddress) {
    std::string serverID, iscsiIP;
    EXPECT_EQ(0, KConnection::ParseServerXMLByIQN(Doc(kThreeServers), "iqn.2026-01.local:b", serverID, iscsiIP));
    EXPECT_EQ("host-2", serverID);
    EXPECT_EQ("192.0.2.2", iscsiIP);
    EXPECT_EQ(1u, CountLog(2, "serverID: host-2, hostIQN: iqn.2026-01.local:b, iscsiIP: 192.0.2.2"));
}

TEST_F(ParserTest, ServerByIQNIsCaseSensitive) {
    std::string serverID, iscsiIP;
    EXPECT_EQ(2, KConnection::ParseServerXMLByIQN(Doc(kThreeServers), "IQN.2026-01.LOCAL:B", serverID, iscsiIP));
    EXPECT_EQ("", serverID);
}

TEST_F(ParserTest, ServerByIQNWithoutServersDoesNotWriteTheAddress) {
    std::string serverID = "s", iscsiIP = "before";
    EXPECT_EQ(2, KConnection::ParseServerXMLByIQN(Doc("<r><servers/></r>"), "iqn.x", serverID, iscsiIP));
    EXPECT_EQ("before", iscsiIP);
    EXPECT_EQ("s", serverID);
    EXPECT_EQ(1u, CountLog(2, "No servers matching the host iqn found in the array"));
}

// ---------------------------------------------------------------------------
// Command responses

TEST_F(ParserTest, ResponseReadsStatusAndMessage) {
    ResponseInfo info;
    EXPECT_EQ(0, KConnection::ParseResponseXML(
                     Doc("<delete-volume-response><status>0</status><status-msg>Done</status-msg>"
                         "<snapshot-name>snap-000004</snapshot-name></delete-volume-response>"),
                     "//delete-volume-response", Korvel::DeleteVolumeAction, info));
    EXPECT_EQ("0", info.status);
    EXPECT_EQ("Done", info.statusMsg);
    EXPECT_EQ("snap-000004", info.value);
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseResponseXML with xPathID: //delete-volume-response "
                              "CommandAction: 6"));
    EXPECT_EQ(1u, CountLog(4, "status: 0"));
    EXPECT_EQ(1u, CountLog(4, "status-msg: Done"));
    EXPECT_EQ(1u, CountLog(4, "snapshot-name: snap-000004"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseResponseXML with return code 0"));
}

TEST_F(ParserTest, EmptyStatusElementLeavesStatusAsItWas) {
    ResponseInfo info;
    EXPECT_EQ(0, KConnection::ParseResponseXML(
                     Doc("<clone-cg-response><status></status><status-msg>Group busy</status-msg></clone-cg-response>"),
                     "//clone-cg-response", Korvel::CloneVolumeAction, info));
    EXPECT_EQ("", info.status);
    EXPECT_EQ("Group busy", info.statusMsg);
    EXPECT_EQ(1u, CountLog(4, "status: "));

    ResponseInfo prefilled;
    prefilled.status = "keep";
    KConnection::ParseResponseXML(Doc("<x><status/></x>"), "//x", Korvel::DeleteSnapshotAction, prefilled);
    EXPECT_EQ("keep", prefilled.status);
}

TEST_F(ParserTest, SnapshotSetResponseAppendsIdentifiersInDocumentOrder) {
    std::list<std::string> ids = {"earlier"};
    ResponseInfo info;
    info.snapshotIDs = &ids;
    EXPECT_EQ(0, KConnection::ParseResponseXML(
                     Doc("<create-snapshot-set-response><status>0</status><snapshots>"
                         "<snapshot>snap-000010</snapshot><snapshot>snap-000011</snapshot><snapshot/>"
                         "<other>x</other></snapshots></create-snapshot-set-response>"),
                     "//create-snapshot-set-response", Korvel::CreateSnapshotSetAction, info));
    EXPECT_EQ((std::list<std::string>{"earlier", "snap-000010", "snap-000011", ""}), ids);
    EXPECT_EQ(1u, CountLog(4, "snapshot: snap-000010"));
    EXPECT_EQ(1u, CountLog(4, "snapshot: snap-000011"));
    EXPECT_EQ(1u, CountLog(4, "snapshot: "));
}

TEST_F(ParserTest, CloneActionCapturesNothingEvenWithACgName) {
    ResponseInfo info;
    EXPECT_EQ(0, KConnection::ParseResponseXML(
                     Doc("<clone-cg-response><status>0</status><cg-name>cg-42</cg-name></clone-cg-response>"),
                     "//clone-cg-response", Korvel::CloneVolumeAction, info));
    EXPECT_EQ("", info.value);
    EXPECT_EQ(0u, CountLog(4, "cg-name: cg-42"));
}

TEST_F(ParserTest, EachActionCapturesOnlyItsOwnElement) {
    const std::string doc =
        "<resp><status>0</status><server-name>host-9</server-name><snapshot-name>snap-9</snapshot-name>"
        "<cg-name>cg-9</cg-name></resp>";
    struct Case {
        Korvel::CommandAction action;
        const char* expected;
    } cases[] = {{Korvel::CreateServerAction, "host-9"}, {Korvel::DeleteVolumeAction, "snap-9"},
                 {Korvel::ResyncVolumeAction, "cg-9"},   {Korvel::DeleteSnapshotAction, ""},
                 {Korvel::AttachVolumeAction, ""},       {Korvel::DetachVolumeAction, ""},
                 {static_cast<Korvel::CommandAction>(42), ""}};
    for (const Case& c : cases) {
        ResponseInfo info;
        EXPECT_EQ(0, KConnection::ParseResponseXML(Doc(doc), "//resp", c.action, info)) << c.action;
        EXPECT_EQ(c.expected, info.value) << c.action;
    }
}

TEST_F(ParserTest, MissingResponseElementGivesOne) {
    ResponseInfo info;
    EXPECT_EQ(1, KConnection::ParseResponseXML(Doc("<other-response><status>0</status></other-response>"),
                                               "//delete-snapshot-response", Korvel::DeleteSnapshotAction, info));
    EXPECT_EQ("", info.status);
    EXPECT_EQ(1u, CountLog(2, "Response not found. Error Condition"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::ParseResponseXML"));
}

// ---------------------------------------------------------------------------
// Drive listing

TEST_F(ParserTest, DriveListingWithAnyStatusGivesZero) {
    EXPECT_EQ(0, KConnection::ParseDriveList(Doc("<show-disks-response><status>1</status></show-disks-response>")));
    EXPECT_EQ(1u, CountLog(3, "Entering KConnection::ParseDriveList"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseDriveList with return code 0"));
}

TEST_F(ParserTest, DriveListingWithoutStatusGivesOneAndLogsItsExit) {
    EXPECT_EQ(1, KConnection::ParseDriveList(Doc("<show-disks-response><drives/></show-disks-response>")));
    EXPECT_EQ(1u, CountLog(2, "No response for disk list received"));
    EXPECT_EQ(1u, CountLog(3, "Exiting KConnection::ParseDriveList with return code 1"));
}

TEST_F(ParserTest, ParsersRunOnSeveralThreadsAtOnce) {
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([&wrong, t] {
            for (int i = 0; i < 50; ++i) {
                std::list<VolumeInfo> volumes;
                std::string serverID, iscsiIP;
                if (KConnection::ParseVolumeList(Doc(kTwoVolumes), volumes) != 0 || volumes.size() != 2 ||
                    volumes.back().volName != "vol-2")
                    ++wrong[t];
                if (KConnection::ParseServerXMLByIQN(Doc(kThreeServers), "iqn.2026-01.local:c", serverID, iscsiIP) !=
                        0 ||
                    serverID != "host-3")
                    ++wrong[t];
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(std::vector<int>(8, 0), wrong);
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(ParserTest, EmptyBodyThrowsAndIsLoggedOnce) {
    std::list<VolumeInfo> volumes;
    try {
        KConnection::ParseVolumeList(Doc(""), volumes);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("Failed to open the xml document", e.what());
    }
    EXPECT_EQ(1u, CountLog(0, "Failed to open the xml document"));
    EXPECT_EQ(0u, CountLogContaining("Exiting KConnection::ParseVolumeList"));
}

TEST_F(ParserTest, MalformedDocumentThrowsFromEveryParser) {
    const std::string bad = "<volumes><volume><name>x</volume>";
    std::list<VolumeInfo> volumes;
    std::list<SnapshotInfo> snapshots;
    std::string a, b, c;
    ResponseInfo info;
    EXPECT_THROW(KConnection::ParseVolumeList(Doc(bad), volumes), KException);
    EXPECT_THROW(KConnection::ParseSnapshotList(Doc(bad), snapshots), KException);
    EXPECT_THROW(KConnection::ParseVolumeXMLByName(Doc(bad), "x", a, b, c), KException);
    EXPECT_THROW(KConnection::ParseServerXMLByIQN(Doc(bad), "x", a, b), KException);
    EXPECT_THROW(KConnection::ParseResponseXML(Doc(bad), "//x", Korvel::DeleteSnapshotAction, info), KException);
    EXPECT_THROW(KConnection::ParseDriveList(Doc(bad)), KException);
    EXPECT_EQ(6u, CountLog(0, "Failed to open the xml document"));
}

TEST_F(ParserTest, InvalidExpressionThrowsEvaluationFailure) {
    ResponseInfo info;
    try {
        KConnection::ParseResponseXML(Doc("<a/>"), "//[", Korvel::DeleteSnapshotAction, info);
        FAIL() << "no exception";
    } catch (const KException& e) {
        EXPECT_STREQ("Failed to evaluate xPath expression", e.what());
    }
    EXPECT_EQ(1u, CountLog(0, "Failed to evaluate xPath expression"));
}

// ---------------------------------------------------------------------------
// Hostile documents: an answer must not make the parser read files or fetch
// anything.

TEST_F(ParserTest, ExternalEntityIsNotExpanded) {
    korvel_test::TempDir dir;
    const std::string secretPath = dir.Path() + "/secret.txt";
    std::ofstream(secretPath) << "TOP-SECRET-CONTENT";
    const std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY ext SYSTEM \"file://" + secretPath +
                            "\">]>\n<r><volumes><volume><name>&ext;</name><display-name>d&ext;</display-name>"
                            "</volume></volumes></r>";
    std::list<VolumeInfo> volumes;
    try {
        KConnection::ParseVolumeList(Doc(doc), volumes);
    } catch (const KException&) {
        // Refusing the document outright is as good as not expanding it.
    }
    for (const VolumeInfo& v : volumes) {
        EXPECT_EQ(std::string::npos, v.volName.find("TOP-SECRET"));
        EXPECT_EQ(std::string::npos, v.volDispName.find("TOP-SECRET"));
    }
    EXPECT_EQ(0u, CountLogContaining("TOP-SECRET"));
}

// An answer that declares an entity and repeats it: about 320 KB that would
// expand to 4 GB of text (400 elements, each holding a 100,000-character
// entity a hundred times).
std::string EntityBomb() {
    std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY big \"" + std::string(100000, 'x') +
                      "\">]>\n<r><volumes>";
    std::string references;
    for (int i = 0; i < 100; ++i) references += "&big;";
    for (int i = 0; i < 400; ++i) doc += "<volume><display-name>" + references + "</display-name></volume>";
    return doc + "</volumes></r>";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;  // reserves terabytes of address space: no RLIMIT_AS
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST_F(ParserTest, DocumentDeclaringEntitiesIsRefusedBeforeAnythingIsExpanded) {
    // Run in a child whose address space is bounded to 512 MiB above what it
    // holds already, so expanding the entities would fail there instead of
    // taking the machine's memory. The child sends back what it caught.
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        if (!kAddressSanitizer) {
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t bound = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (512u << 20);
            rlimit limit{bound, bound};
            ::setrlimit(RLIMIT_AS, &limit);
        }
        std::string caught = "<no exception>";
        try {
            std::list<VolumeInfo> volumes;
            KConnection::ParseVolumeList(Doc(EntityBomb()), volumes);
        } catch (const KException& e) {
            caught = e.what();
        } catch (const std::exception& e) {
            caught = std::string("other exception: ") + e.what();
        }
        const ssize_t written = ::write(pipeFds[1], caught.data(), caught.size());
        ::_exit(written == static_cast<ssize_t>(caught.size()) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string caught;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) caught.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ("Failed to open the xml document", caught);
    EXPECT_EQ(1u, CountLog(0, "Failed to open the xml document"));
}

TEST_F(ParserTest, AnyEntityDeclarationRefusesTheAnswerInEveryParser) {
    // Declared but unused, a parameter entity, and one used once: all refused.
    for (const std::string doctype : {"<!DOCTYPE r [<!ENTITY unused \"u\">]>", "<!DOCTYPE r [<!ENTITY % pe \"p\">]>",
                                      "<!DOCTYPE r [<!ENTITY host \"vol-1\">]>"}) {
        const std::string doc = "<?xml version=\"1.0\"?>\n" + doctype +
                                "<r><volumes><volume><name>&amp;</name></volume></volumes>"
                                "<servers><server><iqn>q</iqn></server></servers><x><status>0</status></x>"
                                "<show-disks-response><status>0</status></show-disks-response></r>";
        std::list<VolumeInfo> volumes;
        std::list<SnapshotInfo> snapshots;
        std::string a, b, c;
        ResponseInfo info;
        const std::vector<std::function<void()>> parsers = {
            [&] { KConnection::ParseVolumeList(Doc(doc), volumes); },
            [&] { KConnection::ParseSnapshotList(Doc(doc), snapshots); },
            [&] { KConnection::ParseVolumeXMLByName(Doc(doc), "x", a, b, c); },
            [&] { KConnection::ParseServerXMLByIQN(Doc(doc), "q", a, b); },
            [&] { KConnection::ParseResponseXML(Doc(doc), "//x", Korvel::DeleteSnapshotAction, info); },
            [&] { KConnection::ParseDriveList(Doc(doc)); }};
        for (const auto& parse : parsers)
            EXPECT_EQ("Failed to open the xml document", korvel_test::ThrownText<KException>(parse)) << doctype;
        EXPECT_TRUE(volumes.empty());
        EXPECT_EQ("", info.status);
    }
    // A document type declaration without entities is still read.
    std::list<VolumeInfo> volumes;
    EXPECT_EQ(0, KConnection::ParseVolumeList(
                     Doc("<!DOCTYPE r [<!ELEMENT r ANY>]><r><volumes><volume><name>v</name></volume></volumes></r>"),
                     volumes));
    EXPECT_EQ(1u, volumes.size());
}

// Points the process's standard error at a file for the guard's life.
class StandardErrorCapture {
public:
    StandardErrorCapture() : m_path(m_dir.Path() + "/stderr") {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StandardErrorCapture() { Restore(); }
    // Everything written to standard error meanwhile.
    std::string Text() {
        Restore();
        return korvel_test::ReadFile(m_path);
    }

private:
    void Restore() {
        if (m_saved < 0) return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    korvel_test::TempDir m_dir;
    std::string m_path;
    int m_saved = -1;
};

TEST_F(ParserTest, ParseErrorsGoToTheLogNeverToStandardError) {
    StandardErrorCapture capture;
    const std::string bad = "<volumes><volume><name>secret-fragment</volume>";
    std::list<VolumeInfo> volumes;
    EXPECT_THROW(KConnection::ParseVolumeList(Doc(bad), volumes), KException);
    // A thread of its own too: libxml2 keeps its error handler per thread.
    std::thread([&] {
        std::list<VolumeInfo> more;
        EXPECT_THROW(KConnection::ParseVolumeList(Doc(bad), more), KException);
        ResponseInfo info;
        EXPECT_THROW(KConnection::ParseResponseXML(Doc("<a/>"), "//[", Korvel::DeleteSnapshotAction, info),
                     KException);
    }).join();
    EXPECT_EQ("", capture.Text());
    EXPECT_EQ(2u, CountLog(4, "libxml2: Opening and ending tag mismatch: name line 1 and volume"));
    EXPECT_EQ(1u, CountLog(4, "libxml2: Invalid expression"));
}

// A loopback listener that counts the connections made to it and closes each
// at once, so a client that did connect fails fast instead of waiting.
class ConnectionCounter {
public:
    ConnectionCounter() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 16) != 0)
            throw std::runtime_error("listener");
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0) {
                    const int c = ::accept(m_fd, nullptr, nullptr);
                    if (c >= 0) {
                        ::close(c);
                        ++m_count;
                    }
                }
            }
        });
    }
    ~ConnectionCounter() {
        m_stop.store(true);
        m_thread.join();
        ::close(m_fd);
    }
    int Port() const { return m_port; }
    int Connections() const { return m_count.load(); }

private:
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

TEST_F(ParserTest, ExternalReferencesAreNeverFetched) {
    ConnectionCounter listener;
    const std::string base = "http://127.0.0.1:" + std::to_string(listener.Port());
    const std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"" + base + "/external.dtd\" [\n"
                            "<!ENTITY ext SYSTEM \"" + base + "/entity.txt\">\n"
                            "<!ENTITY % pe SYSTEM \"" + base + "/pe.dtd\">\n%pe;\n]>\n"
                            "<r><servers><server><name>&ext;</name><iqn>q</iqn></server></servers></r>";
    std::string serverID, iscsiIP;
    try {
        KConnection::ParseServerXMLByIQN(Doc(doc), "q", serverID, iscsiIP);
    } catch (const KException&) {
    }
    EXPECT_EQ(0, listener.Connections());
}

}  // namespace
