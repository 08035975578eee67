#include "aDirectory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Holds the process umask at a known value for the test's lifetime.
class Umask {
  public:
    explicit Umask(mode_t mask) : previous_(umask(mask)) {}
    ~Umask() { umask(previous_); }

  private:
    mode_t previous_;
};

mode_t permissions(const std::string& path) {
    struct stat info;
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(DirectoryEnsure, CreatesMissingAncestorsWithTheMode) {
    TempDir dir;
    Umask mask(0);
    const std::string leaf = dir / "a/b/c";
    EXPECT_EQ(aDirectory_Ensure(leaf.c_str(), 0750), aErrNone);
    for (const char* created : {"a", "a/b", "a/b/c"}) {
        EXPECT_TRUE(aDirectory_Exists((dir / created).c_str())) << created;
        EXPECT_EQ(permissions(dir / created), 0750u) << created;
    }
    EXPECT_EQ(permissions(dir.path()), 0700u) << "an existing ancestor is left alone";

    // Existing: nothing to do, the mode of what exists is not changed.
    EXPECT_EQ(aDirectory_Ensure(leaf.c_str(), 0700), aErrNone);
    EXPECT_EQ(permissions(leaf), 0750u);
}

TEST(DirectoryEnsure, ToleratesDoubledAndTrailingSeparators) {
    TempDir dir;
    EXPECT_EQ(aDirectory_Ensure((dir / "x//y/").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir / "x/y").c_str()));
}

TEST(DirectoryEnsure, FailsWhereAFileIsInTheWay) {
    TempDir dir;
    dir.write("file", "x");
    EXPECT_EQ(aDirectory_Ensure((dir / "file/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((dir / "file").c_str(), 0755), aErrPermission);
    EXPECT_FALSE(aDirectory_Exists((dir / "file").c_str()));
}

TEST(DirectoryEnsure, RefusesNoPath) {
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("/", 0755), aErrNone);
}

struct Listing {
    std::map<std::string, aDirectoryListData> entries;  // by name; path kept separately
    std::map<std::string, std::string> paths;
    int calls = 0;
    int stopAfter = -1;
};

bool collect(const aDirectoryListData* entry, void* ref) {
    auto* listing = static_cast<Listing*>(ref);
    const std::string name = fs::path(entry->path).filename().string();
    listing->entries[name] = *entry;
    listing->paths[name] = entry->path;
    return ++listing->calls != listing->stopAfter;
}

TEST(DirectoryList, ReportsEveryEntryWithSizeAndKind) {
    TempDir dir;
    dir.write("five", "12345");
    ASSERT_EQ(aDirectory_Ensure((dir / "sub").c_str(), 0755), aErrNone);
    // A dangling link cannot be stat'ed and is passed over.
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);

    Listing listing;
    ASSERT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
    EXPECT_EQ(listing.calls, 4);
    ASSERT_EQ(listing.entries.count("five"), 1u);
    EXPECT_EQ(listing.entries["five"].size, 5u);
    EXPECT_EQ(listing.entries["five"].isDirectory, 0u);
    EXPECT_EQ(listing.paths["five"], dir / "five");
    EXPECT_EQ(listing.entries["sub"].isDirectory, 1u);
    EXPECT_EQ(listing.paths.count("."), 1u);
    EXPECT_EQ(listing.paths.count(".."), 1u);
    EXPECT_EQ(listing.paths.count("dangling"), 0u);
}

TEST(DirectoryList, StopsWhenTheCallbackSaysSo) {
    TempDir dir;
    dir.write("a", "");
    dir.write("b", "");
    Listing listing;
    listing.stopAfter = 1;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
    EXPECT_EQ(listing.calls, 1);

    Listing missing;
    EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), collect, &missing), aErrNotFound);
    EXPECT_EQ(missing.calls, 0);
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, nullptr), aErrParam);
}

TEST(DirectoryDelete, TreeGoesDepthFirstAndLeavesLinkedDirectoriesAlone) {
    TempDir dir;
    TempDir outside;
    const std::string kept = outside.write("kept", "x");
    ASSERT_EQ(aDirectory_Ensure((dir / "t/a/b").c_str(), 0755), aErrNone);
    dir.write("t/a/b/file", "x");
    dir.write("t/top", "x");
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "t/link").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree((dir / "t").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(dir / "t"));
    EXPECT_TRUE(fs::exists(kept)) << "the walk must not follow the link";

    EXPECT_EQ(aDirectory_DeleteTree((dir / "t").c_str()), aErrNotFound);
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(aDirectory_DeleteTree((dir / "link").c_str()), aErrNotFound);
    EXPECT_TRUE(fs::exists(kept));
}

TEST(DirectoryDelete, OnlyEmptyDirectories) {
    TempDir dir;
    dir.write("f", "");
    EXPECT_EQ(aDirectory_Delete(dir.path().c_str()), aErrUnknown);
    ASSERT_EQ(aDirectory_Ensure((dir / "empty").c_str(), 0755), aErrNone);
    EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrNone);
    EXPECT_FALSE(aDirectory_Exists((dir / "empty").c_str()));
}

TEST(DirectoryBuildPath, JoinsWithOneSeparator) {
    const struct {
        const char* first;
        const char* second;
        const char* joined;
    } cases[] = {
        {"a", "b", "a/b"},    {"a/", "b", "a/b"},   {"a", "/b", "a/b"},
        {"a/", "/b", "a//b"}, {"/", "etc", "/etc"},
    };
    for (const auto& c : cases) {
        char buffer[64];
        EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, c.first, c.second, nullptr),
                  aErrNone);
        EXPECT_STREQ(buffer, c.joined);
        EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, c.first, c.second), aErrNone);
        EXPECT_STREQ(buffer, c.joined);
    }
}

TEST(DirectoryBuildPath, EachPieceMustBeShorterThanTheRoomLeft) {
    char buffer[8];
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "abc", "de", nullptr), aErrNone);
    EXPECT_STREQ(buffer, "abc/de");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "abc", "def", nullptr), aErrOverrun);
    EXPECT_STREQ(buffer, "abc") << "keeps what was joined before the piece that did not fit";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "abcdef", nullptr), aErrNone);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "abcdefg", nullptr), aErrOverrun);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", "b", "c", "dd", nullptr),
              aErrOverrun);
    EXPECT_STREQ(buffer, "a/b/c");
}

TEST(DirectoryBuildPath, AtMostTenComponents) {
    char buffer[64];
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "0", "1", "2", "3", "4", "5", "6", "7",
                                   "8", "9", nullptr),
              aErrNone);
    EXPECT_STREQ(buffer, "0/1/2/3/4/5/6/7/8/9");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "0", "1", "2", "3", "4", "5", "6", "7",
                                   "8", "9", "10", nullptr),
              aErrParam);
    EXPECT_STREQ(buffer, "");
}

TEST(DirectoryBuildPath, RefusesBadBuffers) {
    char buffer[32] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "a", nullptr), aErrParam);
    EXPECT_EQ(
        aDirectory_BuildPath(buffer, sizeof buffer, static_cast<const char*>(nullptr), nullptr),
        aErrParam);
    strcpy(buffer, "abc");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), aErrParam);
    strcpy(buffer, "abc");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer + 1, nullptr), aErrParam);
    EXPECT_STREQ(buffer, "");
}

TEST(BuildPathText, AlwaysInsertsTheSeparator) {
    EXPECT_EQ(BuildPath("/home/u", ".settings", nullptr), "/home/u/.settings");
    EXPECT_EQ(BuildPath("a/", "b", nullptr), "a//b");
    EXPECT_EQ(BuildPath("store", "40F5849A", "1234.bird", nullptr), "store/40F5849A/1234.bird");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
    const std::string longName(5000, 'n');
    EXPECT_EQ(BuildPath("d", longName.c_str(), nullptr), "d/" + longName);
}

TEST(DirectoryProcess, HomeWorkingDirectoryAndExecutable) {
    char buffer[PATH_MAX];
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    const passwd* entry = getpwuid(getuid());
    if (entry != nullptr) {
        EXPECT_STREQ(buffer, entry->pw_dir);
    }
    char tiny[1];
    EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrOverrun);
    EXPECT_EQ(tiny[0], '\0');

    ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::current_path());
    EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);

    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer).filename(), "test_directory");
    char cut[5];
    ASSERT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
    EXPECT_EQ(std::string(cut), std::string(buffer).substr(0, 4));
}

}  // namespace
