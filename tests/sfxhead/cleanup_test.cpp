// The order in which a run's files and folders are registered for deletion at restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cleanup.h"

namespace {

using namespace std::string_literals;

struct RecordingHost {
    std::map<std::string, std::vector<std::string>> folders; // listing of each folder
    std::vector<std::string> links;                          // paths that are links
    std::vector<std::string> calls;

    void ClearAttributes(const char* path) { calls.push_back(std::string("attr ") + path); }
    void DeleteAtReboot(const char* path) { calls.push_back(std::string("delete ") + path); }
    template <class F> void ForEachFolder(const char* folder, F f) {
        calls.push_back(std::string("list ") + folder);
        for (const std::string& name : folders[folder]) {
            std::string path = folder + name;
            f(name.c_str(), std::find(links.begin(), links.end(), path) != links.end());
        }
    }
};

std::vector<std::string> Deletions(const RecordingHost& host) {
    std::vector<std::string> out;
    for (const std::string& call : host.calls) {
        if (call.rfind("delete ", 0) == 0)
            out.push_back(call.substr(7));
    }
    return out;
}

TEST(ScheduleCleanup, FilesInOrderThenFoldersDepthFirstThenWorkDir) {
    RecordingHost host;
    host.folders["W\\"] = {"a", "b"};
    host.folders["W\\a\\"] = {"deep"};
    std::string unpacked = "W\\a\\deep\\1.txt\0W\\2.txt\0W\\b\\3.txt\0"s;
    char scratch[64];
    sfx::ScheduleCleanup(host, unpacked.data(), unpacked.size(), " W ", scratch, sizeof scratch);
    EXPECT_EQ(Deletions(host),
              (std::vector<std::string>{"W\\a\\deep\\1.txt", "W\\2.txt", "W\\b\\3.txt",
                                        "W\\a\\deep", "W\\a", "W\\b", "W"}));
    // Attributes are cleared before each file and folder is registered.
    EXPECT_EQ(host.calls[0], "attr W\\a\\deep\\1.txt");
    EXPECT_EQ(host.calls[1], "delete W\\a\\deep\\1.txt");
}

// A link inside the working folder (made by the started program, or planted) is registered as
// the link; what it points to is neither listed nor registered.
TEST(ScheduleCleanup, LinksAreRegisteredAsLinksAndNeverWalked) {
    RecordingHost host;
    host.folders["W\\"] = {"real", "link"};
    host.folders["W\\link\\"] = {"outside"};
    host.links = {"W\\link"};
    char scratch[64];
    sfx::ScheduleCleanup(host, "", 0, "W\\", scratch, sizeof scratch);
    EXPECT_EQ(Deletions(host), (std::vector<std::string>{"W\\real", "W\\link", "W"}));
    EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "list W\\link\\"), 0);
    EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "attr W\\link"), 0);
}

TEST(ScheduleCleanup, NothingWithoutWorkDirAndOnlyWorkDirWithoutFiles) {
    RecordingHost none;
    char scratch[64];
    sfx::ScheduleCleanup(none, "", 0, "  ", scratch, sizeof scratch);
    EXPECT_TRUE(none.calls.empty());

    RecordingHost empty;
    sfx::ScheduleCleanup(empty, "", 0, "C:\\T\\~sfx1\\", scratch, sizeof scratch);
    EXPECT_EQ(Deletions(empty), (std::vector<std::string>{"C:\\T\\~sfx1"}));
}

TEST(ScheduleCleanup, UnterminatedTailIsNotAPath) {
    RecordingHost host;
    std::string unpacked = "W\\1\0W\\half"s;
    char scratch[64];
    sfx::ScheduleCleanup(host, unpacked.data(), unpacked.size(), "W\\", scratch, sizeof scratch);
    EXPECT_EQ(Deletions(host), (std::vector<std::string>{"W\\1", "W"}));
}

// A path holding CR or LF is one path: a crafted name must not yield a second path outside the
// working folder.
TEST(ScheduleCleanup, ControlCharactersDoNotSplitAPath) {
    RecordingHost host;
    std::string unpacked = "W\\a\r\\tmp\\victim\\v.txt\0W\\b\n\\x\0"s;
    char scratch[64];
    sfx::ScheduleCleanup(host, unpacked.data(), unpacked.size(), "W\\", scratch, sizeof scratch);
    EXPECT_EQ(Deletions(host),
              (std::vector<std::string>{"W\\a\r\\tmp\\victim\\v.txt", "W\\b\n\\x", "W"}));
}

} // namespace
