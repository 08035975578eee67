// Packet capture: the record ring, capture on a link, and the logger thread.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestFiles.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "scripted_stream.h"
#include "sim_link_fixture.h"
#include "temp_dir.h"
#include "unix_time.h"

using namespace kxtest;

namespace {

struct RingDeleter {
    void operator()(aPacketLog* ring) const { aPacketLog_Destroy(&ring); }
};
using RingPtr = std::unique_ptr<aPacketLog, RingDeleter>;

aErr put(aPacketLog* ring, uint8_t type, size_t length) {
    std::vector<uint8_t> bytes(length, static_cast<uint8_t>(length));
    return aPacketLog_Put(ring, type, length, bytes.data());
}

// Takes every record out; each as its type followed by its bytes.
std::vector<std::vector<uint8_t>> drain(aPacketLog* ring) {
    std::vector<std::vector<uint8_t>> records;
    uint8_t type = 0;
    uint8_t buffer[aPACKETLOG_MAX_RECORD];
    size_t length = sizeof buffer;
    while (aPacketLog_Get(ring, &type, &length, buffer) == aErrNone) {
        std::vector<uint8_t> record{type};
        record.insert(record.end(), buffer, buffer + length);
        records.push_back(record);
        length = sizeof buffer;
    }
    return records;
}

}  // namespace

TEST(PacketLog, SixteenByteRingKeepsWhatFitsAndDropsTheOldest) {
    RingPtr ring(aPacketLog_Create(16));
    ASSERT_EQ(put(ring.get(), 1, 4), aErrNone);  // 6 bytes
    ASSERT_EQ(put(ring.get(), 2, 3), aErrNone);  // 5 bytes: 11 used
    ASSERT_EQ(put(ring.get(), 1, 2), aErrNone);  // 4 bytes fit beside them
    EXPECT_EQ(drain(ring.get()),
              (std::vector<std::vector<uint8_t>>{{1, 4, 4, 4, 4}, {2, 3, 3, 3}, {1, 2, 2}}));

    RingPtr second(aPacketLog_Create(16));
    ASSERT_EQ(put(second.get(), 1, 4), aErrNone);
    ASSERT_EQ(put(second.get(), 2, 3), aErrNone);
    ASSERT_EQ(put(second.get(), 3, 3), aErrNone);  // 5 more bytes do not: the oldest goes
    EXPECT_EQ(drain(second.get()), (std::vector<std::vector<uint8_t>>{{2, 3, 3, 3}, {3, 3, 3, 3}}));

    EXPECT_EQ(put(second.get(), 1, 14), aErrOverrun);  // could never fit
    EXPECT_EQ(put(second.get(), 1, 13), aErrNone);     // fits an empty ring
}

TEST(PacketLog, WrapsAroundTheEndOfItsStorage) {
    RingPtr ring(aPacketLog_Create(16));
    for (uint8_t round = 1; round <= 20; ++round) {
        std::vector<uint8_t> bytes = {round, static_cast<uint8_t>(round + 1), 0xEE};
        ASSERT_EQ(aPacketLog_Put(ring.get(), 1, bytes.size(), bytes.data()), aErrNone);
        uint8_t type = 0;
        uint8_t out[8];
        size_t length = sizeof out;
        ASSERT_EQ(aPacketLog_Get(ring.get(), &type, &length, out), aErrNone);
        EXPECT_EQ(std::vector<uint8_t>(out, out + length), bytes);
    }
}

TEST(PacketLog, GetReportsEmptyAndTooSmallBuffers) {
    RingPtr ring(aPacketLog_Create(64));
    uint8_t type = 0;
    uint8_t buffer[4];
    size_t length = sizeof buffer;
    EXPECT_EQ(aPacketLog_Get(ring.get(), &type, &length, buffer), aErrNotFound);
    ASSERT_EQ(put(ring.get(), 2, 6), aErrNone);
    length = 4;
    EXPECT_EQ(aPacketLog_Get(ring.get(), &type, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 6u);  // the record stays for a larger buffer
    EXPECT_EQ(drain(ring.get()).size(), 1u);
    EXPECT_EQ(put(ring.get(), 1, 256), aErrSize);
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    aPacketLog* none = nullptr;
    EXPECT_EQ(aPacketLog_Destroy(&none), aErrParam);
}

TEST(LinkCapture, RecordsSentAndReceivedPackets) {
    SimModuleLink sim({{"serial", 0x3001}, {"address", 4}});
    const aLinkHandle link = sim.tcp();
    uint8_t type = 0;
    uint8_t buffer[64];
    size_t length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(link, &type, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(link), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link, aPACKETLOG_MAX_SIZE + 1), aErrParam);
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(link, 4096), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link, 1024), aErrBusy);

    ASSERT_TRUE(echo(link, sim.address(), 0x0102));
    const std::vector<uint8_t> echoBytes = {0x04, 0x03, kEcho, 0x01, 0x02};
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> records;
    ASSERT_TRUE(eventually([&] {
        size_t capacity = sizeof buffer;
        while (aLink_PacketDebug_Read(link, &type, &capacity, buffer) == aErrNone) {
            records.emplace_back(type, std::vector<uint8_t>(buffer, buffer + capacity));
            capacity = sizeof buffer;
        }
        return std::count_if(records.begin(), records.end(),
                             [&](const auto& record) { return record.second == echoBytes; }) == 2;
    }));
    // The request as sent, then the echo as received (the route switch may come first).
    std::erase_if(records, [&](const auto& record) { return record.second != echoBytes; });
    EXPECT_EQ(records[0].first, aPacketLogSent);
    EXPECT_EQ(records[1].first, aPacketLogReceived);

    const uint8_t text[] = "START";
    EXPECT_EQ(aLink_PacketDebug_Write(link, aPacketLogText, sizeof text, text), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Disable(link), aErrNone);
}

namespace {

// Moves one captured record into the file as "type:hex bytes", or pauses briefly.
aErr writeRecord(aFileHandle file, aLinkHandle link) {
    uint8_t type = 0;
    uint8_t buffer[aPACKETLOG_MAX_RECORD];
    size_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(link, &type, &length, buffer) != aErrNone) {
        aTime_MSSleep(5);
        return aErrNone;
    }
    aFile_Printf(file, "%d:", type);
    for (size_t i = 0; i < length; ++i) {
        aFile_Printf(file, " %02X", buffer[i]);
    }
    return aFile_Printf(file, "\n");
}

}  // namespace

TEST(Logger, WritesCapturedRecordsToItsFile) {
    TempDir dir;
    ScriptedStream transport;
    aLinkHandle link = aLink_Create(transport.stream());
    ASSERT_EQ(aLink_PacketDebug_Enable(link), aErrNone);
    const std::string path = dir / "capture.log";
    aLogger* logger = aLogger_Create(link, writeRecord, path.c_str());
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);

    const uint8_t marker[] = {'S', 'T'};
    ASSERT_EQ(aLink_PacketDebug_Write(link, aPacketLogText, sizeof marker, marker), aErrNone);
    PacketPtr packet = makePacket(4, {kEcho, 0x2A});
    ASSERT_EQ(aLink_PutPacket(link, packet.get()), aErrNone);
    EXPECT_TRUE(eventually(
        [&] { return kxtest::read_file(path).find("1: 04 02 17 2A\n") != std::string::npos; }));
    EXPECT_NE(kxtest::read_file(path).find("3: 53 54\n"), std::string::npos);

    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    aLogger_Destroy(&logger);
    EXPECT_EQ(logger, nullptr);
    aLogger_Destroy(&logger);  // harmless
    aLink_Destroy(&link);
}

TEST(Logger, CreateFailsForAFileThatCannotBeOpened) {
    EXPECT_EQ(aLogger_Create(1, writeRecord, "/nonexistent-dir/capture.log"), nullptr);
    EXPECT_EQ(aLogger_Create(1, nullptr, "/tmp/x"), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
}
