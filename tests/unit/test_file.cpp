#include "unix_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "temp_dir.h"

namespace {

class FileTest : public ::testing::Test {
  protected:
    // Opens path, failing the test when that is not possible.
    aFileHandle open(const std::string& path, aFileMode mode) {
        aFileHandle file = aFile_Open(path.c_str(), mode);
        EXPECT_NE(file, nullptr) << path;
        return file;
    }

    std::string readAll(const std::string& path) {
        aFileHandle file = open(path, aFileModeRead);
        std::string contents;
        char chunk[64];
        size_t count = 0;
        while (aFile_Read(file, chunk, sizeof chunk, &count) == aErrNone) {
            contents.append(chunk, count);
        }
        aFile_Close(&file);
        return contents;
    }

    TempDir dir;
};

TEST_F(FileTest, OpenRefusesBadArguments) {
    const std::string existing = dir.write("f", "x");
    EXPECT_EQ(aFile_Open(existing.c_str(), static_cast<aFileMode>(3)), nullptr);
    EXPECT_EQ(aFile_Open(existing.c_str(), static_cast<aFileMode>(-1)), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open((dir / "missing").c_str(), aFileModeRead), nullptr);
    EXPECT_EQ(aFile_Open(dir.path().c_str(), aFileModeWrite), nullptr);
}

TEST_F(FileTest, ExistsOnlyForFiles) {
    EXPECT_TRUE(aFile_Exists(dir.write("f", "").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
}

TEST_F(FileTest, WriteThenReadBack) {
    const std::string path = dir / "data";
    aFileHandle file = open(path, aFileModeWrite);
    size_t written = 0;
    EXPECT_EQ(aFile_Write(file, "hello ", 6, &written), aErrNone);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(aFile_Printf(file, "%s %d\n", "world", 42), aErrNone);
    EXPECT_EQ(aFile_Write(file, "", 0, nullptr), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(readAll(path), "hello world 42\n");

    // Write mode truncates.
    file = open(path, aFileModeWrite);
    aFile_Close(&file);
    EXPECT_EQ(readAll(path), "");
}

TEST_F(FileTest, ModesGuardEachOperation) {
    const std::string path = dir.write("f", "abc");
    char buffer[8];
    size_t count = 7;

    aFileHandle reader = open(path, aFileModeRead);
    EXPECT_EQ(aFile_Write(reader, "x", 1, &count), aErrMode);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Printf(reader, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
    EXPECT_EQ(aFile_Read(reader, nullptr, 1, &count), aErrParam);
    aFile_Close(&reader);

    aFileHandle writer = open(path, aFileModeWrite);
    EXPECT_EQ(aFile_Read(writer, buffer, 1, &count), aErrMode);
    EXPECT_EQ(aFile_ReadLine(writer, buffer, sizeof buffer, &count), aErrMode);
    EXPECT_EQ(aFile_Write(writer, nullptr, 1, &count), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(writer), aErrNone);
    aFile_Close(&writer);
}

TEST_F(FileTest, AppendStartsAtTheEnd) {
    const std::string path = dir.write("log", "first\n");
    aFileHandle file = open(path, aFileModeAppend);
    char buffer[16];
    size_t count = 9;
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrNone);
    EXPECT_EQ(aFile_Printf(file, "second\n"), aErrNone);
    EXPECT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "first\nsecond\n");
    aFile_Close(&file);
}

TEST_F(FileTest, ReadLineAtTheBufferBoundary) {
    constexpr size_t kSize = 2048;
    const std::string fits(kSize - 2, 'a');  // with its line feed: size - 1 characters
    const std::string cut(kSize - 1, 'b');   // its line feed no longer fits
    const std::string path = dir.write("lines", fits + "\n" + cut + "\n" + "last");
    aFileHandle file = open(path, aFileModeRead);
    char buffer[kSize];
    size_t length = 0;

    const struct {
        aErr result;
        std::string text;
    } expected[] = {
        {aErrNone, fits + "\n"}, {aErrOverrun, cut}, {aErrNone, "\n"},
        {aErrNone, "last"},      {aErrEOF, ""},      {aErrEOF, ""},
    };
    for (const auto& step : expected) {
        EXPECT_EQ(aFile_ReadLine(file, buffer, kSize, &length), step.result);
        EXPECT_EQ(std::string(buffer), step.text);
        EXPECT_EQ(length, step.text.size());
    }
    aFile_Close(&file);
}

TEST_F(FileTest, ReadLineNeedsRoomForOneCharacter) {
    aFileHandle file = open(dir.write("f", "x\n"), aFileModeRead);
    char buffer[2] = {'z', 'z'};
    size_t length = 5;
    EXPECT_EQ(aFile_ReadLine(file, buffer, 1, &length), aErrParam);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aFile_ReadLine(file, buffer, 2, &length), aErrOverrun);
    EXPECT_STREQ(buffer, "x");
    EXPECT_EQ(aFile_ReadLine(file, buffer, 2, &length), aErrNone);
    EXPECT_STREQ(buffer, "\n");
    aFile_Close(&file);
}

TEST_F(FileTest, SeekStaysInsideTheFile) {
    aFileHandle file = open(dir.write("f", "0123456789"), aFileModeRead);
    long position = -1;
    size_t size = 0;
    ASSERT_EQ(aFile_Seek(file, 4, aSeekStart), aErrNone);

    const struct {
        long offset;
        int origin;
        aErr result;
        long position;  // afterwards
    } cases[] = {
        {11, aSeekStart, aErrRange, 4},
        {1, aSeekEnd, aErrRange, 4},
        {-5, aSeekCurrent, aErrRange, 4},
        {-1, aSeekStart, aErrRange, 4},
        {10, aSeekStart, aErrNone, 10},
        {-3, aSeekCurrent, aErrNone, 7},
        {-10, aSeekEnd, aErrNone, 0},
        {2, aSeekCurrent, aErrNone, 2},
        {5, 9, aErrNone, 5},  // unknown origin counts from the start
        {LONG_MAX, aSeekCurrent, aErrRange, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result)
            << c.offset << " from " << c.origin;
        ASSERT_EQ(aFile_GetPosition(file, &position), aErrNone);
        EXPECT_EQ(position, c.position) << c.offset << " from " << c.origin;
    }
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 5) << "measuring the size keeps the position";
    EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
    aFile_Close(&file);
}

TEST_F(FileTest, ClosedHandlesAreRefused) {
    aFileHandle file = open(dir.write("f", "x"), aFileModeRead);
    ASSERT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);

    char buffer[4];
    long position;
    EXPECT_EQ(aFile_Read(nullptr, buffer, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof buffer, nullptr), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, "x", 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &position), aErrParam);
    EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
}

TEST_F(FileTest, DeleteReportsWhy) {
    const std::string path = dir.write("f", "x");
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(std::string(aFILE_MAX_PATH + 1, 'x').c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(dir.path().c_str()), aErrIO);
}

}  // namespace
