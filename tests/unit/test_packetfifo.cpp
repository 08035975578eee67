#include "packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Long enough never to pass on a sound implementation, even under a sanitizer.
constexpr auto kHangLimit = 5s;

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A packet for address whose single data byte is tag.
PacketPtr makePacket(uint8_t address, uint8_t tag) {
    return PacketPtr(aPacket_CreateWithData(address, 1, &tag));
}

uint8_t tagOf(const aPacket* packet) {
    return packet->data[0];
}

class PacketFifoTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(fifo, 0u); }
    void TearDown() override { aPacketFifo_Destroy(&fifo); }

    void put(uint8_t address, uint8_t tag) {
        ASSERT_EQ(aPacketFifo_Put(fifo, makePacket(address, tag).get()), aErrNone);
    }

    // Takes every packet out, oldest first, and gives their tags.
    std::vector<uint8_t> drainTags() {
        std::vector<uint8_t> tags;
        while (PacketPtr packet{aPacketFifo_Get(fifo)}) {
            tags.push_back(tagOf(packet.get()));
        }
        return tags;
    }

    aPacketFifoHandle fifo = aPacketFifo_Create();
};

bool sAddressIs(const aPacket* packet, void* ref) {
    return packet->address == *static_cast<const uint8_t*>(ref);
}

bool sTagIs(const aPacket* packet, void* ref) {
    return tagOf(packet) == *static_cast<const uint8_t*>(ref);
}

bool sAlways(const aPacket*, void*) {
    return true;
}

TEST_F(PacketFifoTest, OneMoreThanTheLimitEmptiesTheQueue) {
    for (int i = 0; i < aPACKETFIFO_MAX_ENTRIES; ++i) {
        put(2, static_cast<uint8_t>(i));
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1000u);
    put(2, 0xAA);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u) << "overflow loses everything queued";

    // The queue carries on normally afterwards.
    put(2, 1);
    put(2, 2);
    EXPECT_EQ(drainTags(), (std::vector<uint8_t>{1, 2}));
}

TEST_F(PacketFifoTest, AwaitFirstTakesTheMatchAndKeepsTheOrder) {
    for (uint8_t tag = 1; tag <= 5; ++tag) {
        put(static_cast<uint8_t>(2 * tag), tag);
    }
    uint8_t wanted = 6;  // address of the third packet
    PacketPtr third(aPacketFifo_AwaitFirst(fifo, sAddressIs, &wanted, 0));
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(tagOf(third.get()), 3);
    EXPECT_EQ(drainTags(), (std::vector<uint8_t>{1, 2, 4, 5}));
}

TEST_F(PacketFifoTest, GetFirstAndDrainAreSelective) {
    for (uint8_t tag = 1; tag <= 6; ++tag) {
        put(tag % 2 == 0 ? 4 : 2, tag);
    }
    uint8_t address = 4;
    PacketPtr first(aPacketFifo_GetFirst(fifo, sAddressIs, &address));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(tagOf(first.get()), 2);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, sAddressIs, &address), 2u);
    uint8_t absent = 8;
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, sAddressIs, &absent), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo, nullptr, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, nullptr, nullptr), 0u);
    EXPECT_EQ(drainTags(), (std::vector<uint8_t>{1, 3, 5}));

    put(2, 7);
    put(2, 8);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo, sAlways, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

// Records every packet a waiter's filter is offered and accepts only the tag wanted.
struct Watcher {
    std::mutex mutex;
    std::condition_variable offered;
    std::map<uint8_t, int> calls;  // by tag
    uint8_t wanted = 0;

    static bool filter(const aPacket* packet, void* ref) {
        auto* self = static_cast<Watcher*>(ref);
        {
            std::lock_guard lock(self->mutex);
            ++self->calls[tagOf(packet)];
        }
        self->offered.notify_all();
        return tagOf(packet) == self->wanted;
    }

    bool awaitSeen(size_t count) {
        std::unique_lock lock(mutex);
        return offered.wait_for(lock, kHangLimit, [&] { return calls.size() >= count; });
    }
};

TEST_F(PacketFifoTest, AwaitFirstOffersEachPacketOnce) {
    Watcher watcher;
    watcher.wanted = 9;
    for (uint8_t tag = 0; tag < 5; ++tag) {
        put(2, tag);
    }
    auto result = std::async(std::launch::async, [&] {
        return PacketPtr(aPacketFifo_AwaitFirst(fifo, Watcher::filter, &watcher, 10000));
    });
    ASSERT_TRUE(watcher.awaitSeen(5));

    // Another consumer takes one of the packets already looked at; the waiter must not
    // mistake the packets that moved up for new ones.
    uint8_t taken = 1;
    PacketPtr other(aPacketFifo_GetFirst(fifo, sTagIs, &taken));
    ASSERT_NE(other, nullptr);

    // Then new packets arrive one at a time, each looked at before the next.
    for (uint8_t tag = 5; tag < 9; ++tag) {
        put(2, tag);
        ASSERT_TRUE(watcher.awaitSeen(tag + 1u));
    }
    put(2, 9);
    ASSERT_EQ(result.wait_for(kHangLimit), std::future_status::ready);
    PacketPtr found = result.get();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(tagOf(found.get()), 9);

    EXPECT_EQ(drainTags(), (std::vector<uint8_t>{0, 2, 3, 4, 5, 6, 7, 8}));
    std::lock_guard lock(watcher.mutex);
    EXPECT_EQ(watcher.calls.size(), 10u);
    for (const auto& [tag, count] : watcher.calls) {
        EXPECT_EQ(count, 1) << "packet " << int(tag) << " offered " << count << " times";
    }
}

TEST_F(PacketFifoTest, AwaitHonoursItsDeadline) {
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
    EXPECT_EQ(aPacketFifo_Await(fifo, 20), nullptr);
    uint8_t absent = 8;
    put(2, 1);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, sAddressIs, &absent, 20), nullptr);
    PacketPtr packet(aPacketFifo_Await(fifo, 0));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(tagOf(packet.get()), 1);
}

TEST_F(PacketFifoTest, AwaitWakesForAPacketFromAnotherThread) {
    auto result =
        std::async(std::launch::async, [&] { return PacketPtr(aPacketFifo_Await(fifo, 10000)); });
    put(2, 42);
    ASSERT_EQ(result.wait_for(kHangLimit), std::future_status::ready);
    PacketPtr packet = result.get();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(tagOf(packet.get()), 42);
}

TEST_F(PacketFifoTest, QueueHoldsItsOwnCopies) {
    PacketPtr original = makePacket(2, 7);
    ASSERT_EQ(aPacketFifo_Put(fifo, original.get()), aErrNone);
    original->data[0] = 99;  // the caller's packet is still its own
    original.reset();
    put(2, 8);

    PacketPtr taken(aPacketFifo_Get(fifo));
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(tagOf(taken.get()), 7);
    EXPECT_EQ(taken->address, 2);
    EXPECT_EQ(taken->dataSize, 1);
    taken.reset();
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 1u);
    EXPECT_EQ(drainTags(), (std::vector<uint8_t>{8}));
}

TEST_F(PacketFifoTest, RefusesInvalidPackets) {
    EXPECT_EQ(aPacketFifo_Put(fifo, nullptr), aErrParam);
    aPacket forged = {};
    EXPECT_EQ(aPacketFifo_Put(fifo, &forged), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

TEST(PacketFifoHandles, AreFreshAndDestroyedOnce) {
    aPacketFifoHandle first = aPacketFifo_Create();
    aPacketFifoHandle second = aPacketFifo_Create();
    ASSERT_NE(first, 0u);
    EXPECT_GT(second, first);

    const aPacketFifoHandle old = first;
    EXPECT_EQ(aPacketFifo_Destroy(&first), aErrNone);
    EXPECT_EQ(first, 0u);
    aPacketFifoHandle again = old;
    EXPECT_EQ(aPacketFifo_Destroy(&again), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

    // A destroyed handle behaves as an empty queue and is never handed out again.
    PacketPtr packet = makePacket(2, 1);
    EXPECT_EQ(aPacketFifo_Put(old, packet.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(old), nullptr);
    EXPECT_EQ(aPacketFifo_Await(old, 10), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(old, sAlways, nullptr, 10), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(old), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(old, sAlways, nullptr), 0u);
    aPacketFifoHandle third = aPacketFifo_Create();
    EXPECT_GT(third, second);
    aPacketFifo_Destroy(&second);
    aPacketFifo_Destroy(&third);
}

TEST(PacketFifoDestroy, WakesAThreadWaitingForAnyPacket) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    std::promise<void> started;
    // The waiter gets its own copy of the handle: destroying clears the caller's.
    auto result = std::async(std::launch::async, [&started, handle = fifo] {
        started.set_value();
        return PacketPtr(aPacketFifo_Await(handle, 10000));
    });
    started.get_future().wait();
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    ASSERT_EQ(result.wait_for(kHangLimit), std::future_status::ready);
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_EQ(fifo, 0u);
}

TEST(PacketFifoDestroy, WakesAThreadWaitingForAMatch) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    Watcher watcher;
    watcher.wanted = 9;
    ASSERT_EQ(aPacketFifo_Put(fifo, makePacket(2, 1).get()), aErrNone);
    auto result = std::async(std::launch::async, [&watcher, handle = fifo] {
        return PacketPtr(aPacketFifo_AwaitFirst(handle, Watcher::filter, &watcher, 10000));
    });
    // The filter has run, so the waiter is at its condition variable or about to be.
    ASSERT_TRUE(watcher.awaitSeen(1));
    const aPacketFifoHandle handle = fifo;
    EXPECT_EQ(aPacketFifo_Destroy(&fifo), aErrNone);
    ASSERT_EQ(result.wait_for(kHangLimit), std::future_status::ready);
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
}

// Producers and consumers at once: every packet reaches the consumer its address names.
TEST(PacketFifoConcurrency, ManyProducersAndSelectiveConsumers) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    constexpr int kPerProducer = 300;  // all in flight stays below the overflow limit
    const uint8_t addresses[] = {2, 4, 6};
    std::vector<std::thread> threads;
    std::atomic<int> received[3] = {};
    for (int c = 0; c < 3; ++c) {
        threads.emplace_back([&, c] {
            uint8_t address = addresses[c];
            for (int i = 0; i < kPerProducer; ++i) {
                PacketPtr packet(aPacketFifo_AwaitFirst(fifo, sAddressIs, &address, 10000));
                if (packet == nullptr) {
                    return;
                }
                EXPECT_EQ(packet->address, address);
                ++received[c];
            }
        });
    }
    for (uint8_t address : addresses) {
        threads.emplace_back([&, address] {
            for (int i = 0; i < kPerProducer; ++i) {
                PacketPtr packet = makePacket(address, static_cast<uint8_t>(i));
                EXPECT_EQ(aPacketFifo_Put(fifo, packet.get()), aErrNone);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& count : received) {
        EXPECT_EQ(count, kPerProducer);
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
    aPacketFifo_Destroy(&fifo);
}

}  // namespace
