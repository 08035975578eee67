// KeyValueStore: the tolerant line rules as a table of file texts and the entries
// they give, the getters and their inserting lookup, the modified rule, and saving:
// sorted output, the time stamps, and a failed save that keeps the old file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include "KeyValueStore.h"
#include "TestFiles.h"
#include "file_size_limit.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

using Entries = std::map<std::string, std::string>;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// ctime's form, as in "Thu Dec 10 00:47:30 2026".
const char* const kStamp =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}";
const char* const kOldStamp = "Thu Jan  1 00:00:00 1970";

TEST(KeyValueStoreLoad, LineRules) {
    struct Case {
        const char* name;
        std::string text;
        Entries entries;
    } cases[] = {
        {"blanks and carriage return", "  key  =  value \r\n", {{"key", "value"}}},
        {"tabs", "\tkey\t=\tvalue\t\n", {{"key", "value"}}},
        {"second equals stays in the value", "a=b=c\n", {{"a", "b=c"}}},
        {"comment", "#comment=1\n", {}},
        {"blank before hash is no comment", " #x=1\n", {{"#x", "1"}}},
        {"one character and line feed", "x\n", {}},
        {"one-character key, empty value", "k=\n", {{"k", ""}}},
        {"empty key", "=v\n", {{"", "v"}}},
        {"no equals sign", "noequals\n", {}},
        {"same key twice", "dup=1\ndup=2\n", {{"dup", "2"}}},
        {"last line without line feed", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
        {"blank line", "   \n", {}},
        {"value with inner blanks", "name = Kestrix hub 1 \n", {{"name", "Kestrix hub 1"}}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.write("kv", c.text);
        KeyValueStore store(path.c_str());
        EXPECT_EQ(store.entries, c.entries) << c.name;
        EXPECT_FALSE(store.modified) << c.name;
        EXPECT_EQ(store.filename, path) << c.name;
    }
}

TEST(KeyValueStoreLoad, LineTooLongForTheBufferEndsTheLoad) {
    TempDir dir;
    const std::string fits = "f=" + std::string(2044, 'x') + "\n";     // 2047 with line feed
    const std::string tooLong = "g=" + std::string(2045, 'y') + "\n";  // 2048 with line feed
    const std::string path = dir.write("kv", "a=1\n" + fits + tooLong + "b=2\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.entries.size(), 2u);
    EXPECT_EQ(store.entries["f"].size(), 2044u);
    EXPECT_EQ(store.entries.count("b"), 0u);
}

TEST(KeyValueStoreLoad, MergesIntoExistingEntries) {
    TempDir dir;
    const std::string path = dir.write("kv", "a=file\n");
    KeyValueStore store;
    store.Add("a", "memory");
    store.Add("b", "memory");
    store.Load(path.c_str());
    EXPECT_EQ(store.entries, (Entries{{"a", "file"}, {"b", "memory"}}));
    EXPECT_FALSE(store.modified);
}

TEST(KeyValueStoreLoad, MissingFileIsCreatedWithTwoStamps) {
    TempDir dir;
    const std::string path = dir / ".settings";
    LogCapture log(kLogAttributes);
    KeyValueStore store(path.c_str());
    EXPECT_THAT(log.text(),
                HasSubstr("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
    const std::string text = kxtest::read_file(path);
    const std::string created = "CREATED_TIME=";
    const std::string updated = "\nUPDATED_TIME=";
    ASSERT_EQ(text.rfind(created, 0), 0u) << text;
    const size_t split = text.find(updated);
    ASSERT_NE(split, std::string::npos) << text;
    const std::string first = text.substr(created.size(), split - created.size());
    EXPECT_EQ(text.substr(split + updated.size()), first + "\n");
    EXPECT_THAT(first, MatchesRegex(kStamp));
    EXPECT_FALSE(store.modified);
    EXPECT_EQ(store.filename, path);
    EXPECT_EQ(kxtest::file_names(dir.path()), std::vector<std::string>{".settings"});
}

TEST(KeyValueStoreLoad, UncreatableFileStaysInMemory) {
    TempDir dir;
    const std::string path = dir / "missing/.settings";
    LogCapture log(kLogAttributes);
    KeyValueStore store(path.c_str());
    EXPECT_THAT(log.text(), HasSubstr("cannot open attributes file: '" + path + "'"));
    EXPECT_THAT(log.text(),
                HasSubstr("Attibutes: Error - cannot open attributes file for writting: '" + path +
                          "' (2)\n"));
    EXPECT_EQ(store.entries.size(), 2u);
    EXPECT_NE(store["CREATED_TIME"], nullptr);
    EXPECT_NE(store["UPDATED_TIME"], nullptr);
}

TEST(KeyValueStoreGetters, ConversionsAndDefaults) {
    KeyValueStore store;
    store.Add("empty", "");
    store.Add("build", "99528558.bird");
    store.Add("word", "true");
    store.Add("one", "1");
    store.Add("text", "abc");
    store.AddHex("hex", 43981);
    store.Add("half", 1.5);
    store.Add("negative", -12);
    store.modified = false;

    EXPECT_EQ(store.GetString("hex", nullptr), "0x0000ABCD");
    EXPECT_EQ(store.GetHex("hex", 0), 43981u);
    EXPECT_EQ(store.GetString("half", nullptr), "1.500000");
    EXPECT_DOUBLE_EQ(store.GetDouble("half", 0), 1.5);
    EXPECT_EQ(store.GetInt("negative", 0), -12);
    EXPECT_EQ(store.GetInt("build", 0), 99528558);
    EXPECT_EQ(store.GetInt("text", 7), 0);
    EXPECT_FALSE(store.GetBOOL("word", true));
    EXPECT_TRUE(store.GetBOOL("one", false));
    EXPECT_EQ(store.GetInt("empty", 5), 5);
    EXPECT_EQ(store.GetString("empty", "default"), "");
    EXPECT_EQ(store.GetString("absent", "default"), "default");
    EXPECT_EQ(store.GetString("absent", nullptr), "");
    EXPECT_EQ(store["absent"], nullptr);
    EXPECT_EQ(store.entries.count("absent"), 0u);
    EXPECT_STREQ(store["text"], "abc");

    EXPECT_EQ(store.GetInt("missing", 42), 42);
    EXPECT_EQ(store.GetHex("missingHex", 0x99), 0x99u);
    EXPECT_EQ(store.GetBOOL("missingBool", true), true);
    EXPECT_DOUBLE_EQ(store.GetDouble("missingDouble", 2.5), 2.5);
    EXPECT_EQ(store.entries.count("missing"), 1u);
    EXPECT_EQ(store.entries["missing"], "");
    EXPECT_FALSE(store.modified);
    EXPECT_EQ(store.GetHex("hexPrefix", 0), 0u);
    store.Add("hexPrefix", "0XfF");
    EXPECT_EQ(store.GetHex("hexPrefix", 0), 255u);
}

TEST(KeyValueStoreSetters, ModifiedOnlyWhenTheTextChanges) {
    KeyValueStore store;
    store.Add("n", 5);
    EXPECT_TRUE(store.modified);
    store.modified = false;
    store.Add("n", 5);
    store.Add("n", "5");
    EXPECT_FALSE(store.modified);
    store.Add("n", 6);
    EXPECT_TRUE(store.modified);

    store.modified = false;
    store.Add("blank", "");  // a new key with the empty value equals "absent"
    EXPECT_FALSE(store.modified);

    KeyValueStore other;
    store.Add(other);
    EXPECT_FALSE(store.modified);
    other.Add("n", 6);
    other.Add("m", std::string("new"));
    store.Add(other);
    EXPECT_TRUE(store.modified);
    EXPECT_EQ(store.GetString("m", nullptr), "new");

    store.modified = false;
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.modified);
    EXPECT_TRUE(store.entries.empty());
}

TEST(KeyValueStoreSave, UnchangedStoreKeepsItsStampAndIsWrittenSorted) {
    TempDir dir;
    const std::string path =
        dir.write(".settings", std::string("# hand edited\nzeta = 1\nUPDATED_TIME=") + kOldStamp +
                                   "\nalpha=2\n");
    KeyValueStore store(path.c_str());
    store.Save(nullptr);
    EXPECT_EQ(kxtest::read_file(path),
              std::string("UPDATED_TIME=") + kOldStamp + "\nalpha=2\nzeta=1\n");

    // A lookup of an absent key leaves it behind, and it is written with no value.
    store.GetInt("LATEST_TRANSFER", 0);
    store.Save(nullptr);
    EXPECT_EQ(kxtest::read_file(path),
              std::string("LATEST_TRANSFER=\nUPDATED_TIME=") + kOldStamp + "\nalpha=2\nzeta=1\n");

    store.Add("alpha", 3);
    store.Save(nullptr);
    EXPECT_FALSE(store.modified);
    const std::string stamp = store.GetString("UPDATED_TIME", nullptr);
    EXPECT_NE(stamp, kOldStamp);
    EXPECT_THAT(stamp, MatchesRegex(kStamp));
    EXPECT_EQ(kxtest::read_file(path),
              "LATEST_TRANSFER=\nUPDATED_TIME=" + stamp + "\nalpha=3\nzeta=1\n");
    EXPECT_EQ(kxtest::file_names(dir.path()), std::vector<std::string>{".settings"});
}

TEST(KeyValueStoreSave, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    const std::string original = std::string("UPDATED_TIME=") + kOldStamp + "\nkey=old\n";
    const std::string path = dir.write(".settings", original);
    KeyValueStore store(path.c_str());
    store.Add("key", std::string(64 * 1024, 'n'));
    LogCapture log(kLogAttributes);
    {
        FileSizeLimit limit(4096);
        store.Save(nullptr);
    }
    EXPECT_EQ(kxtest::read_file(path), original);
    EXPECT_TRUE(store.modified);
    EXPECT_THAT(log.text(), HasSubstr("Attibutes: Error - cannot write attributes file: '" + path +
                                      "' (27)\n"));
    EXPECT_EQ(kxtest::file_names(dir.path()), std::vector<std::string>{".settings"});

    store.Save(nullptr);  // the disk has room again
    EXPECT_FALSE(store.modified);
    EXPECT_THAT(kxtest::read_file(path), HasSubstr(std::string(64 * 1024, 'n')));
}

TEST(KeyValueStoreSave, UnboundStoreSavesToTheDefaultFile) {
    TempDir dir;
    const std::string previous = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    KeyValueStore store;
    store.Add("LATEST_TRANSFER", "/tmp/x.bird");
    LogCapture log(kLogAttributes);
    store.Save(nullptr);
    ASSERT_EQ(chdir(previous.c_str()), 0);
    EXPECT_EQ(log.text(),
              "Attibutes: no filename given for attributes, using default:[.settings]\n");
    EXPECT_EQ(store.filename, ".settings");
    EXPECT_THAT(kxtest::read_file(dir / ".settings"),
                HasSubstr("LATEST_TRANSFER=/tmp/x.bird\nUPDATED_TIME="));
}

TEST(KeyValueStoreSave, UnwritablePathKeepsTheStoreModified) {
    TempDir dir;
    KeyValueStore store;
    store.Add("a", 1);
    const std::string path = dir / "no/such/dir/.settings";
    LogCapture log(kLogAttributes);
    store.Save(path.c_str());
    EXPECT_TRUE(store.modified);
    EXPECT_EQ(store.filename, path);
    EXPECT_NE(store["UPDATED_TIME"], nullptr);
    EXPECT_EQ(log.text(),
              "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n");
}

}  // namespace
