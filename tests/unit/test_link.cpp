// The link engine and its registry against simulated modules (kxsim, in this process)
// over TCP on 127.0.0.1 and over a pseudo-terminal, and against scripted streams where
// only the transport can tell what the engine did.
#include <gtest/gtest.h>

#include <future>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "scripted_stream.h"
#include "sim_link_fixture.h"

using namespace kxtest;
using nlohmann::json;

namespace {

json moduleConfig(uint32_t serial, json extra = json::object()) {
    json module = {{"serial", serial}, {"address", 4}};
    module.update(extra);
    return module;
}

json muteModule(uint32_t serial) {
    return moduleConfig(serial, {{"answer_address_query", false}});
}

bool neverMatches(const aPacket*, void*) {
    return false;
}

// Waits until the sim has seen count AD 00 requests in all.
bool awaitAddressQueries(SimModuleLink& sim, uint64_t count) {
    return sim.waitFor([&](const kxsim::Record& r) { return r.addressQueries >= count; });
}

// Drives a running link into synchronisation by one odd address byte, as a module out of
// step would, and waits until the engine has asked for the handshake, once.
void forceResync(SimModuleLink& sim) {
    const uint64_t before = sim.record().addressQueries;
    sim.endpoint().injectRaw({0x05});
    ASSERT_TRUE(awaitAddressQueries(sim, before + 6));
}

}  // namespace

// ---- Registry ----------------------------------------------------------------------

TEST(LinkRegistry, SecondTcpCreateSharesTheLinkUntilTheLastDestroy) {
    SimModuleLink sim(moduleConfig(0x1001));
    aLinkHandle first = sim.tcp();
    aLinkHandle second = sim.tcp();
    ASSERT_NE(first, 0u);
    EXPECT_EQ(second, first);
    EXPECT_EQ(aLinkManager_UseCount(first), 2);

    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLinkManager_UseCount(first), 1);
    EXPECT_EQ(aLink_GetStatus(first), linkStatusRunning);
    EXPECT_TRUE(echo(first, sim.address(), 1));

    const aLinkHandle old = first;
    ASSERT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLinkManager_UseCount(old), -1);
    EXPECT_EQ(aLink_GetStatus(old), linkStatusInvalid);
    // The stop sent the closing route switch before the connection went.
    EXPECT_TRUE(sim.waitFor([](const kxsim::Record& r) { return r.routeSwitches.size() == 2; }));
    EXPECT_EQ(sim.record().routeSwitches, (std::vector<uint8_t>{1, 0}));
    aLinkHandle gone = old;
    EXPECT_EQ(aLink_Destroy(&gone), aErrParam);
    EXPECT_EQ(gone, 0u);
}

TEST(LinkRegistry, SerialCreateRefusesSpeedsOutsideTheTableAndLeavesNoEntry) {
    for (uint32_t baud : {0u, 1200u, 115201u, 460800u}) {
        SCOPED_TRACE(baud);
        EXPECT_EQ(aLink_CreateSerial(0x1002, "/dev/null", baud), 0u);
        EXPECT_EQ(aLinkManager_RetainDirect(0x1002, SERIAL, nullptr), nullptr);
    }
}

TEST(LinkRegistry, FailedCreatesLeaveNoEntry) {
    // No module with this serial number on USB; nothing listening on the TCP port.
    EXPECT_EQ(aLink_CreateUSB(0x7E57AB1E), 0u);
    EXPECT_EQ(aLinkManager_RetainDirect(0x7E57AB1E, USB, nullptr), nullptr);
    EXPECT_EQ(aLink_CreateTCPIP(0x1003, kLoopback, 1), 0u);
    EXPECT_EQ(aLinkManager_RetainDirect(0x1003, TCPIP, nullptr), nullptr);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
}

namespace {

int sServersDestroyed = 0;
aErr countingServerDestroy(aServer** server) {
    ++sServersDestroyed;
    *server = nullptr;
    return aErrNone;
}

}  // namespace

TEST(LinkRegistry, LinkWithAServerRefusesASecondDirectCreateAndTakesTheServerAlong) {
    SimModuleLink sim(moduleConfig(0x1004));
    aLinkHandle link = sim.tcp();
    ASSERT_NE(link, 0u);
    auto* server = reinterpret_cast<aServer*>(&sim);  // only ever handed back to the test
    ASSERT_EQ(aLinkManager_SetServer(link, server, countingServerDestroy), aErrNone);

    EXPECT_EQ(aLink_CreateTCPIP(sim.serial(), kLoopback, sim.endpoint().port()), 0u);
    EXPECT_EQ(aLinkManager_UseCount(link), 1);

    sServersDestroyed = 0;
    ASSERT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(sServersDestroyed, 1);
}

TEST(LinkRegistry, DestroyingAClientLinkDestroysItsPairedDeviceLink) {
    SimModuleLink device(moduleConfig(0x1005));
    SimModuleLink stand(moduleConfig(0x1006));
    const aLinkHandle deviceLink = device.tcp();
    aLinkHandle clientLink = stand.tcp();
    ASSERT_NE(deviceLink, 0u);
    ASSERT_EQ(aLinkManager_SetPairedLink(clientLink, deviceLink), aErrNone);

    ASSERT_EQ(aLink_Destroy(&clientLink), aErrNone);
    EXPECT_EQ(aLinkManager_UseCount(deviceLink), -1);
    EXPECT_EQ(aLink_GetStatus(deviceLink), linkStatusInvalid);
}

TEST(LinkRegistry, ClientCreateWithAnExistingHandleSharesIt) {
    SimModuleLink sim(moduleConfig(0x1007));
    const aLinkHandle link = sim.tcp();
    EXPECT_EQ(aLink_CreateClient(kLoopback, 1, link), link);
    EXPECT_EQ(aLinkManager_UseCount(link), 2);
    EXPECT_EQ(aLink_CreateClient(kLoopback, 1, 0xFFFFFF00), 0u);
}

TEST(LinkRegistry, ClientLookupFindsByAllThreeIdentifiers) {
    const aLinkEntryRef entry = aLinkManager_Register(AWEAVE, kLoopback, 9000, 77);
    ASSERT_TRUE(entry);
    EXPECT_EQ(aLinkManager_FindClient(kLoopback, 9000, 77), entry);
    EXPECT_EQ(aLinkManager_FindClient(kLoopback, 9000, 78), nullptr);
    EXPECT_EQ(aLinkManager_FindClient(kLoopback, 9001, 77), nullptr);
    EXPECT_EQ(aLinkManager_Remove(entry->handle), entry);
    EXPECT_EQ(aLinkManager_FindClient(kLoopback, 9000, 77), nullptr);
}

TEST(LinkRegistry, HandlesAreNeverReused) {
    SimModuleLink sim(moduleConfig(0x1008));
    aLinkHandle first = sim.tcp();
    const aLinkHandle old = first;
    aLink_Destroy(&first);
    const aLinkHandle second = sim.tcp();
    EXPECT_GT(second, old);
}

// ---- Synchronisation ---------------------------------------------------------------

TEST(LinkSync, SyncRunsTheHandshakeAndLeavesNoLeftovers) {
    SimModuleLink sim(moduleConfig(0x1101));
    const aLinkHandle link = sim.tcp();
    ASSERT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_GE(sim.record().addressQueries, 1u);
    EXPECT_EQ(inboundLength(link), 0u);  // the answers to the spare requests were drained
    EXPECT_TRUE(echo(link, sim.address(), 2));
}

TEST(LinkSync, SyncTimesOutAgainstAModuleThatDoesNotAnswer) {
    SimModuleLink sim(muteModule(0x1102));
    const aLinkHandle link = sim.tcp();
    EXPECT_EQ(aLink_Sync(link), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusSyncing);
}

TEST(LinkSync, TwoEmptyPacketsFromTheSameAddressSynchronise) {
    struct Case {
        std::vector<uint8_t> answer;
        bool synchronises;
    };
    const Case cases[] = {
        {{0x04, 0x00, 0x04, 0x00}, true},
        {{0x04, 0x00, 0x06, 0x00}, false},  // the second address differs
        {{0x05, 0x00, 0x05, 0x00}, false},  // odd
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kxsim::hexText(c.answer));
        SimModuleLink sim(muteModule(0x1103));
        const aLinkHandle link = sim.tcp();
        forceResync(sim);
        ASSERT_EQ(aLink_GetStatus(link), linkStatusSyncing);
        const uint64_t asked = sim.record().addressQueries;
        sim.endpoint().injectRaw(c.answer);
        if (c.synchronises) {
            EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link) == linkStatusRunning; }));
        } else {
            // The handshake starts over with six new requests, and the link stays out.
            EXPECT_TRUE(awaitAddressQueries(sim, asked + 6));
            EXPECT_EQ(aLink_GetStatus(link), linkStatusSyncing);
        }
    }
}

TEST(LinkSync, SilentModuleIsAskedAgainNowAndThenNotFlooded) {
    SimModuleLink sim(muteModule(0x1104));
    ASSERT_NE(sim.tcp(), 0u);
    const auto start = std::chrono::steady_clock::now();
    forceResync(sim);
    ASSERT_TRUE(awaitAddressQueries(sim, 12));  // a second round comes
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 1000;
    // One round of six per retry interval (1 s), plus the first.
    EXPECT_LE(sim.record().addressQueries, 6u * static_cast<uint64_t>(seconds + 2));
}

TEST(LinkSync, CorruptionWhileRunningResynchronisesAndKeepsQueuedPackets) {
    const std::vector<uint8_t> corruptions[] = {
        {0x05, 0x01, 0x33},  // odd address
        {0x04, 0x1D, 0x00},  // length above 28
        {0x00},              // no address
    };
    for (const auto& corruption : corruptions) {
        SCOPED_TRACE(kxsim::hexText(corruption));
        SimModuleLink sim(moduleConfig(0x1105));
        const aLinkHandle link = sim.tcp();
        sim.endpoint().injectRaw({0x04, 0x02, 0x42, 0x43});
        ASSERT_TRUE(eventually([&] { return inboundLength(link) == 1; }));
        sim.endpoint().injectRaw(corruption);
        ASSERT_TRUE(awaitAddressQueries(sim, 6));
        EXPECT_TRUE(eventually([&] { return aLink_GetStatus(link) == linkStatusRunning; }));
        EchoMatch kept{0x04, {0x42, 0x43}};
        PacketPtr survivor(aLink_GetFirst(link, matchesEcho, &kept));
        EXPECT_NE(survivor, nullptr);
        EXPECT_TRUE(echo(link, sim.address(), 3));
    }
}

TEST(LinkSync, AwaitFirstReturnsAtOnceWhileSyncingAndEndsAtAResync) {
    SimModuleLink sim(muteModule(0x1106));
    const aLinkHandle link = sim.tcp();
    auto waiter = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link, neverMatches, nullptr, 30000));
    });
    forceResync(sim);
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), nullptr);

    ASSERT_EQ(aLink_GetStatus(link), linkStatusSyncing);
    auto atOnce = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link, neverMatches, nullptr, 30000));
    });
    EXPECT_EQ(atOnce.wait_for(5s), std::future_status::ready);
}

// ---- Heartbeats --------------------------------------------------------------------

TEST(LinkHeartbeat, HeartbeatsAreAnsweredAndNeverQueued) {
    for (uint8_t kind : {0, 1}) {
        SCOPED_TRACE(kind);
        SimModuleLink sim(
            moduleConfig(0x1201, {{"heartbeat", {{"interval_ms", 10}, {"kinds", {kind}}}}}));
        const aLinkHandle link = sim.tcp();
        ASSERT_TRUE(
            sim.waitFor([](const kxsim::Record& r) { return r.heartbeatReplies.size() >= 3; }));
        for (const kxsim::Packet& reply : sim.record().heartbeatReplies) {
            EXPECT_EQ(reply, (kxsim::Packet{0x04, {0x00, static_cast<uint8_t>(kind + 2)}}));
        }
        EXPECT_EQ(inboundLength(link), 0u);
    }
}

TEST(LinkHeartbeat, TwoDataBytesNotStartingWithZeroAreAnOrdinaryPacket) {
    SimModuleLink sim(moduleConfig(0x1202));
    const aLinkHandle link = sim.tcp();
    sim.endpoint().injectRaw({0x04, 0x02, 0x01, 0x00});
    PacketPtr packet(aLink_AwaitPacket(link, 5000));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(dataOf(*packet), (std::vector<uint8_t>{0x01, 0x00}));
    EXPECT_TRUE(sim.record().heartbeatReplies.empty());
}

// ---- Writer ------------------------------------------------------------------------

namespace {

// Splits written bytes into packets, leaving out the route switches.
std::vector<std::vector<uint8_t>> userPackets(const std::vector<std::vector<uint8_t>>& writes) {
    std::vector<uint8_t> all;
    for (const auto& write : writes) {
        all.insert(all.end(), write.begin(), write.end());
    }
    std::vector<std::vector<uint8_t>> packets;
    for (size_t at = 0; at + 1 < all.size(); at += 2u + all[at + 1]) {
        if (all[at] != cmdFORCEROUTE) {
            packets.emplace_back(all.begin() + static_cast<long>(at),
                                 all.begin() + static_cast<long>(at + 2 + all[at + 1]));
        }
    }
    return packets;
}

std::vector<uint8_t> numberedPacket(int index) {
    std::vector<uint8_t> bytes = {0x04, 28};
    for (int i = 0; i < 28; ++i) {
        bytes.push_back(static_cast<uint8_t>(index + i));
    }
    return bytes;
}

// A link over transport, stopped, with count numbered 30-byte packets queued.
aLinkHandle stoppedLinkWithQueue(ScriptedStream& transport, int count, bool pooled) {
    aLinkHandle link = aLink_Create(transport.stream());
    aLink_Stop(linkObject(link));
    aLink_EnablePooledPackets(link, pooled);
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> bytes = numberedPacket(i);
        PacketPtr packet =
            makePacket(bytes[0], std::vector<uint8_t>(bytes.begin() + 2, bytes.end()));
        aLink_PutPacket(link, packet.get());
    }
    transport.clearWrites();
    return link;
}

}  // namespace

TEST(LinkWriter, PooledModeSendsQueuedPacketsInBatchesOfAtMost4096Bytes) {
    ScriptedStream transport;
    aLinkHandle link = stoppedLinkWithQueue(transport, 200, true);
    ASSERT_EQ(aLink_Start(link), aErrNone);
    ASSERT_TRUE(eventually([&] { return transport.bytesWritten() >= 200 * 30 + 3; }));

    const auto writes = transport.writes();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes[0].size(), 136u * 30);  // 4080 bytes: one more packet would pass 4096
    for (const auto& write : writes) {
        EXPECT_LE(write.size(), 4096u);
    }
    const auto packets = userPackets(writes);
    ASSERT_EQ(packets.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(packets[i], numberedPacket(i));
    }
    aLink_Destroy(&link);
    EXPECT_TRUE(transport.deleted());
}

TEST(LinkWriter, PlainModeWritesOnePacketPerWrite) {
    ScriptedStream transport;
    aLinkHandle link = stoppedLinkWithQueue(transport, 20, false);
    ASSERT_EQ(aLink_Start(link), aErrNone);
    ASSERT_TRUE(eventually([&] { return transport.bytesWritten() >= 20 * 30 + 3; }));
    for (const auto& write : transport.writes()) {
        EXPECT_TRUE(write.size() == 30 || write.size() == 3);
    }
    EXPECT_EQ(userPackets(transport.writes()).size(), 20u);
    aLink_Destroy(&link);
}

TEST(LinkWriter, PooledOrderIsKeptEndToEnd) {
    SimModuleLink sim(moduleConfig(0x1301));
    const aLinkHandle link = sim.tcp();
    ASSERT_EQ(aLink_EnablePooledPackets(link, true), aErrNone);
    constexpr int kCount = 600;
    for (int i = 0; i < kCount; ++i) {
        PacketPtr request =
            makePacket(4, {kEcho, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
        ASSERT_EQ(aLink_PutPacket(link, request.get()), aErrNone);
    }
    for (int i = 0; i < kCount; ++i) {
        PacketPtr reply(aLink_AwaitPacket(link, 5000));
        ASSERT_NE(reply, nullptr) << i;
        ASSERT_EQ(dataOf(*reply), (std::vector<uint8_t>{kEcho, static_cast<uint8_t>(i >> 8),
                                                        static_cast<uint8_t>(i)}));
    }
    const kxsim::Record record = sim.record();
    int seen = 0;
    for (const kxsim::Packet& packet : record.received) {
        if (!packet.data.empty() && packet.data[0] == kEcho) {
            EXPECT_EQ(packet.data[1] * 256 + packet.data[2], seen++);
        }
    }
    EXPECT_EQ(seen, kCount);
}

TEST(LinkWriter, StopDropsWhatAFailedTransportCannotTake) {
    ScriptedStream transport;
    transport.holdWrites(true);
    aLinkHandle link = aLink_Create(transport.stream());  // the route switch write waits
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(eventually([&] { return transport.writeCalls() == 1; }));
    for (int i = 0; i < 200; ++i) {
        PacketPtr packet = makePacket(4, {kEcho, static_cast<uint8_t>(i)});
        aLink_PutPacket(link, packet.get());
    }
    auto stopping = std::async(std::launch::async, [&] { return aLink_Stop(linkObject(link)); });
    ASSERT_TRUE(eventually([&] { return aLink_GetStatus(link) == linkStatusStopping; }));
    transport.holdWrites(false, true);  // the transport is gone
    ASSERT_EQ(stopping.wait_for(10s), std::future_status::ready);
    // One more attempt, not one per queued packet.
    EXPECT_EQ(transport.writeCalls(), 2u);
    aLink_Destroy(&link);
}

// ---- Lifecycle ---------------------------------------------------------------------

TEST(LinkLifecycle, StartAndStopAreIdempotent) {
    SimModuleLink sim(moduleConfig(0x1401));
    const aLinkHandle link = sim.tcp();
    EXPECT_EQ(aLink_Start(link), aErrNone);  // running: nothing queued
    aLink* object = linkObject(link);
    EXPECT_EQ(aLink_Stop(object), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusStopped);
    EXPECT_EQ(aLink_Stop(object), aErrNone);  // stopped: nothing queued
    EXPECT_EQ(aLink_Start(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_TRUE(echo(link, sim.address(), 4));
    EXPECT_EQ(sim.record().routeSwitches, (std::vector<uint8_t>{1, 0, 1}));
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
}

TEST(LinkLifecycle, StopReturnsWhileTheReaderWaitsInARead) {
    ScriptedStream transport;
    transport.setReadWait(800ms);  // as long as a USB read may wait
    aLinkHandle link = aLink_Create(transport.stream());
    ASSERT_NE(link, 0u);
    auto stopping = std::async(std::launch::async, [&] { return aLink_Stop(linkObject(link)); });
    ASSERT_EQ(stopping.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(stopping.get(), aErrNone);
    aLink_Destroy(&link);
}

TEST(LinkLifecycle, DestroyReleasesBlockedWaiters) {
    SimModuleLink sim(muteModule(0x1402));
    aLinkHandle link = sim.tcp();
    auto first = std::async(std::launch::async, [&] {
        return PacketPtr(aLink_AwaitFirst(link, neverMatches, nullptr, 30000));
    });
    auto any =
        std::async(std::launch::async, [&] { return PacketPtr(aLink_AwaitPacket(link, 30000)); });
    ASSERT_EQ(aLink_Destroy(&link), aErrNone);
    ASSERT_EQ(first.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(any.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(first.get(), nullptr);
    EXPECT_EQ(any.get(), nullptr);
}

TEST(LinkLifecycle, UnknownHandlesAreRefused) {
    const aLinkHandle unknown = 0xFFFFFF01;
    PacketPtr packet = makePacket(4, {1});
    EXPECT_EQ(aLink_GetStatus(unknown), linkStatusInvalid);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_Reset(unknown), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
    EXPECT_EQ(aLink_PutPacket(unknown, packet.get()), aErrParam);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(unknown, neverMatches, nullptr, 10), nullptr);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, neverMatches, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
    EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
}

TEST(LinkLifecycle, ResetRebuildsATcpLinkInPlace) {
    SimModuleLink sim(moduleConfig(0x1403));
    const aLinkHandle link = sim.tcp();
    ASSERT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_TRUE(echo(link, sim.address(), 5));
    EXPECT_TRUE(sim.waitFor([](const kxsim::Record& r) { return r.connections == 2; }));
}

TEST(LinkLifecycle, ResetOfALinkOverACallersStreamLeavesItWithoutOne) {
    ScriptedStream transport;
    aLinkHandle link = aLink_Create(transport.stream());
    EXPECT_EQ(aLink_Reset(link), aErrConnection);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusInvalid);
    EXPECT_TRUE(transport.deleted());
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

TEST(LinkLifecycle, ForceRouteQueuesTheRouteSwitch) {
    SimModuleLink sim(moduleConfig(0x1404));
    const aLinkHandle link = sim.tcp();
    ASSERT_EQ(aLink_ForceRoute(link, 7), aErrNone);
    EXPECT_TRUE(sim.waitFor([](const kxsim::Record& r) { return r.routeSwitches.size() == 2; }));
    EXPECT_EQ(sim.record().routeSwitches, (std::vector<uint8_t>{1, 7}));
}

// ---- Filters -----------------------------------------------------------------------

namespace {

bool takeMarked(const aPacket* packet, void* ref) {
    if (packet->dataSize > 0 && packet->data[0] == 0x99) {
        ++*static_cast<int*>(ref);
        return true;
    }
    return false;
}

bool marked(const aPacket* packet, void*) {
    return packet->dataSize > 0 && packet->data[0] == 0x99;
}

}  // namespace

TEST(LinkFilters, UserFilterConsumesOnTheReaderAndCanBeRemoved) {
    SimModuleLink sim(moduleConfig(0x1501));
    const aLinkHandle link = sim.tcp();
    int taken = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(link, takeMarked, &taken), aErrNone);
    sim.endpoint().injectRaw({0x04, 0x01, 0x99, 0x04, 0x01, 0x11});
    PacketPtr other(aLink_AwaitPacket(link, 5000));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->data[0], 0x11);
    EXPECT_EQ(taken, 1);

    ASSERT_EQ(aLink_InstallUserPacketFilter(link, nullptr, nullptr), aErrNone);
    sim.endpoint().injectRaw({0x04, 0x01, 0x99, 0x04, 0x01, 0x99, 0x04, 0x01, 0x11});
    ASSERT_TRUE(eventually([&] { return inboundLength(link) == 3; }));
    EXPECT_EQ(aLink_DrainPackets(link, marked, nullptr), 2u);
    PacketPtr left(aLink_GetPacket(link));
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->data[0], 0x11);
}

// ---- Module information -------------------------------------------------------------

namespace {

// The system entity's model query, as a module answers it.
class ModelUnit : public kxsim::Unit {
  public:
    ModelUnit(uint8_t address, uint8_t model) : address_(address), model_(model) {}
    std::string name() const override { return "model"; }
    bool handle(const kxsim::Packet& request, std::vector<kxsim::Packet>& replies) override {
        if (request.data != std::vector<uint8_t>{0x03, 0x48, 0x20}) {
            return false;
        }
        replies.push_back(kxsim::Packet{address_, {0x03, 0x08, 0x00, model_}});
        return true;
    }

  private:
    uint8_t address_;
    uint8_t model_;
};

}  // namespace

TEST(LinkModuleInfo, AddressAndModelQueries) {
    SimModuleLink sim(moduleConfig(0x1601));
    sim.module().addUnit(std::make_unique<ModelUnit>(sim.address(), 13));
    const aLinkHandle link = sim.tcp();
    uint8_t address = 0;
    ASSERT_EQ(_aLink_GetModuleAddress(link, &address), aErrNone);
    EXPECT_EQ(address, 4);
    uint8_t model = 0;
    ASSERT_EQ(_aLink_GetModel(link, address, &model), aErrNone);
    EXPECT_EQ(model, 13);
    // Another packet in place of the answer.
    sim.endpoint().injectRaw({0x04, 0x01, 0x55});
    EXPECT_EQ(_aLink_GetModel(link, 6, &model), aErrIO);
}

TEST(LinkModuleInfo, QueriesTimeOutAgainstASilentModule) {
    SimModuleLink sim(
        moduleConfig(0x1602, {{"answer_address_query", false}, {"units", json::object()}}));
    const aLinkHandle link = sim.tcp();
    uint8_t value = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(link, &value), aErrTimeout);
    EXPECT_EQ(_aLink_GetModel(link, 4, &value), aErrTimeout);
    EXPECT_EQ(_aLink_GetModuleAddress(link, nullptr), aErrParam);
}

// ---- Serial links ------------------------------------------------------------------

TEST(LinkSerial, SerialLinkCarriesCobsFramesWithCrc) {
    SimModuleLink sim(moduleConfig(0x1701, {{"transport", {{"type", "serial"}}}}));
    const aLinkHandle link = sim.serialLink();
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_TRUE(echo(link, sim.address(), 6));
    // AF 01 01 with its CRC 0x33, COBS-encoded and delimited.
    const std::vector<uint8_t> routeSwitchFrame = {0x05, 0xAF, 0x01, 0x01, 0x33, 0x00};
    const auto raw = sim.record().rawReceived;
    ASSERT_GE(raw.size(), routeSwitchFrame.size());
    EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 6), routeSwitchFrame);
    EXPECT_EQ(aLink_CreateSerial(sim.serial(), "/nonexistent", 115200), link);  // shared
    EXPECT_EQ(aLinkManager_UseCount(link), 2);
}

TEST(LinkSerial, SerialSyncCompletesThroughTheFraming) {
    SimModuleLink sim(moduleConfig(0x1702, {{"transport", {{"type", "serial"}}}}));
    const aLinkHandle link = sim.serialLink();
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    EXPECT_TRUE(echo(link, sim.address(), 7));
}
