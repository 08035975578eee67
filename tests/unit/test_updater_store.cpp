// UpdaterStore and UpdaterStoreItem: directory creation and its errors, device
// lookup by name, the listing of stored builds, and image files that are written
// whole or not at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "BirdWriter.h"
#include "TestFiles.h"
#include "UpdaterStore.h"
#include "file_size_limit.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

using ::testing::HasSubstr;

std::vector<uint8_t> SmallImage(unsigned build) {
    BirdWriter writer;
    writer.AddInfoBlock({std::to_string(build), "1.0.0", "40F5849A", "KX"});
    writer.AddImageBlock(1, 0, 0x1000, {1, 2, 3, 4});
    return writer.Image();
}

class UpdaterStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { previousMask_ = umask(022); }
    void TearDown() override { umask(previousMask_); }

    TempDir dir;
    std::string base = dir / "storage/nested/updater";

  private:
    mode_t previousMask_ = 0;
};

TEST_F(UpdaterStoreTest, ConstructorCreatesTheBaseDirectoryOnce) {
    {
        LogCapture log(kLogUpdater);
        UpdaterStore store(base.c_str());
        EXPECT_EQ(log.text(), "UpdaterStore: Created directory [" + base + "].\n");
        EXPECT_STREQ(store.BasePath(), base.c_str());
    }
    struct stat info;
    ASSERT_EQ(stat(base.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0755u);

    LogCapture log(kLogUpdater);
    UpdaterStore again(base.c_str());
    EXPECT_EQ(log.text(), "UpdaterStore: [" + base + "] already exists.\n");
}

TEST_F(UpdaterStoreTest, RegularFileInsteadOfADirectoryThrows) {
    const std::string file = dir.write("updater", "not a directory");
    try {
        UpdaterStore store(file.c_str());
        FAIL() << "made a store on a file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "UpdaterStore: " + file + " exists and is a file");
    }
    UpdaterStore store(dir.path().c_str());
    dir.write("0000ABCD", "");
    EXPECT_THROW(store.AddDevice(0xABCD), std::runtime_error);
}

TEST_F(UpdaterStoreTest, UncreatableDirectoryThrowsWithTheCode) {
    dir.write("blocker", "");
    const std::string path = dir / "blocker/updater";
    try {
        UpdaterStore store(path.c_str());
        FAIL() << "made a store below a file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "UpdaterStore: Could not create directory " + path +
                                             " error " + std::to_string(aErrPermission));
    }
}

TEST_F(UpdaterStoreTest, AddDeviceCreatesDirectoryAndSettingsOnce) {
    UpdaterStore store(base.c_str());
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    EXPECT_EQ(item.directory, base);
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    const std::string settings = base + "/40F5849A/.settings";
    EXPECT_EQ(item.settings.filename, settings);
    const std::string first = kxtest::read_file(settings);
    EXPECT_THAT(first, ::testing::MatchesRegex("CREATED_TIME=.*\nUPDATED_TIME=.*\n"));

    UpdaterStoreItem again = store.AddDevice(0x40F5849A);
    EXPECT_EQ(kxtest::read_file(settings), first);
    EXPECT_EQ(again.settings.entries, item.settings.entries);
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesEntryNames) {
    UpdaterStore store(base.c_str());
    store.AddDevice(0x40F5849A);
    {
        LogCapture log(kLogUpdater);
        UpdaterStoreItem item;
        EXPECT_FALSE(store.FindDevice(0x00000001, &item));
        EXPECT_FALSE(item.IsValid());
        EXPECT_THAT(log.text(), HasSubstr("_find_item([" + base + "/40F5849A], 1, "));
        EXPECT_THAT(log.text(), HasSubstr("searching for 00000001\n"));
        EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: FindDevice Not Found 00000001.\n"));
    }
    LogCapture log(kLogUpdater);
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.directory, base);
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.settings.filename, base + "/40F5849A/.settings");
    EXPECT_NE(item.settings["CREATED_TIME"], nullptr);
    EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: FindDevice Found 40F5849A.\n"));
    EXPECT_TRUE(store.FindDevice("F5849", nullptr));  // a part of the name matches too
}

// The store's own location may contain a serial number's characters; only the names of
// its entries count.
TEST_F(UpdaterStoreTest, FindDeviceIgnoresTheStoreLocation) {
    const std::string located = dir / "40F5849A-home/updater";
    UpdaterStore store(located.c_str());
    store.AddDevice(0x11111111);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
    EXPECT_TRUE(store.FindDevice(0x11111111, &item));
    EXPECT_EQ(item.name, "11111111");
    EXPECT_EQ(item.directory, located);
}

TEST_F(UpdaterStoreTest, LocalBuildsListEveryFileButDotFiles) {
    UpdaterStore store(base.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const std::vector<uint8_t> image = SmallImage(99528558);
    ASSERT_EQ(device.WriteFile("99528558.bird", image.data(), image.size()), aErrNone);
    ASSERT_EQ(device.WriteFile(".hidden", image.data(), 1), aErrNone);

    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "99528558.bird");
    EXPECT_EQ(items[0].directory, base + "/40F5849A");
    EXPECT_EQ(items[0].kind, STORE_ITEM_FILE);
    EXPECT_EQ(device.ReadBirdFile(items[0].name.c_str()).GetBuild(), 99528558u);

    // No settings file appears beneath an image.
    EXPECT_EQ(kxtest::file_names(base + "/40F5849A"),
              (std::vector<std::string>{".hidden", ".settings", "99528558.bird"}));

    std::vector<UpdaterStoreItem> none = {UpdaterStoreItem()};
    EXPECT_TRUE(store.FindLocalBuilds(0x00000001, none));
    EXPECT_EQ(none.size(), 1u);
}

TEST_F(UpdaterStoreTest, WriteFileReplacesImagesWhole) {
    UpdaterStore store(base.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const std::string path = base + "/40F5849A/1.bird";
    const std::vector<uint8_t> first(100, 0x11);
    ASSERT_EQ(device.WriteFile("1.bird", first.data(), first.size()), aErrNone);
    const std::vector<uint8_t> second(10, 0x22);
    ASSERT_EQ(device.WriteFile("1.bird", second.data(), second.size()), aErrNone);
    EXPECT_EQ(kxtest::read_file(path), std::string(10, 0x22));

    const std::vector<uint8_t> large(64 * 1024, 0x33);
    {
        FileSizeLimit limit(4096);
        EXPECT_EQ(device.WriteFile("1.bird", large.data(), large.size()), aErrIO);
        EXPECT_EQ(device.WriteFile("2.bird", large.data(), large.size()), aErrIO);
    }
    EXPECT_EQ(kxtest::read_file(path), std::string(10, 0x22));
    EXPECT_EQ(kxtest::file_names(base + "/40F5849A"),
              (std::vector<std::string>{".settings", "1.bird"}));
}

TEST_F(UpdaterStoreTest, WriteFileRefusesWhatItCannotWrite) {
    UpdaterStore store(base.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    EXPECT_EQ(device.WriteFile("x.bird", nullptr, 10), aErrNotFound);
    const uint8_t byte = 0;
    EXPECT_EQ(device.WriteFile("missing/x.bird", &byte, 1), aErrNotFound);
    EXPECT_EQ(UpdaterStoreItem().WriteFile("x.bird", &byte, 1), aErrNotFound);
    EXPECT_EQ(kxtest::file_names(base + "/40F5849A"), std::vector<std::string>{".settings"});
}

TEST_F(UpdaterStoreTest, ReadBirdFileChecksTheImage) {
    UpdaterStore store(base.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const std::vector<uint8_t> image = SmallImage(1234);
    ASSERT_EQ(device.WriteFile("1234.bird", image.data(), image.size()), aErrNone);
    EXPECT_EQ(device.ReadBirdFile("1234.bird").GetBuild(), 1234u);

    const std::string text = "not a bird file";
    device.WriteFile("bad.bird", reinterpret_cast<const uint8_t*>(text.data()), text.size());
    for (const char* name : {"bad.bird", "absent.bird"}) {
        try {
            device.ReadBirdFile(name);
            FAIL() << name;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid bird " + base + "/40F5849A/" + name);
        }
    }
    const uint8_t header[] = {'b', 'i', 'r', 'd', 1, 1, 0x78, 0x9C, 0x00};
    device.WriteFile("broken.bird", header, sizeof header);
    try {
        device.ReadBirdFile("broken.bird");
        FAIL() << "loaded a broken image";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
}

TEST_F(UpdaterStoreTest, FileExistsSearchesTheItemDirectory) {
    UpdaterStore store(base.c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const uint8_t byte = 0;
    device.WriteFile("99528558.bird", &byte, 1);
    LogCapture log(kLogUpdater);
    EXPECT_TRUE(device.FileExists("99528558.bird"));
    EXPECT_FALSE(device.FileExists("11.bird"));
    EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: FindDevice Found 99528558.bird.\n"));
    EXPECT_THAT(log.text(), HasSubstr("UpdaterStore: FindDevice Not Found 11.bird.\n"));
}

}  // namespace
