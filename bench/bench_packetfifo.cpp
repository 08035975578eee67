// Packets per second through one packet FIFO: uncontended, one producer with one
// consumer, and one producer feeding eight consumers that each wait for their own
// address (the inbound queue of a link with several callers waiting for replies).
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "packetfifo.h"
#include "unix_thread.h"

namespace {

// Packets per benchmark iteration, enough to hide thread start-up.
constexpr int kBatch = 20000;
// Producers stay this far below the overflow limit, as a consumer that keeps up would.
constexpr int kMaxInFlight = aPACKETFIFO_MAX_ENTRIES / 2;
constexpr uint64_t kWaitMs = 10000;

bool sAddressIs(const aPacket* packet, void* ref) {
    return packet->address == *static_cast<const uint8_t*>(ref);
}

// Puts count packets, addressed in turn to addresses, never more than kMaxInFlight
// unconsumed.
void produce(aPacketFifoHandle fifo, const std::vector<uint8_t>& addresses, int count,
             std::atomic<int>& inFlight) {
    const uint8_t payload[4] = {0x12, 0x34, 0x20, 0x00};
    std::vector<aPacket*> packets;
    for (uint8_t address : addresses) {
        packets.push_back(aPacket_CreateWithData(address, sizeof payload, payload));
    }
    for (int i = 0; i < count; ++i) {
        while (inFlight.load(std::memory_order_acquire) >= kMaxInFlight) {
            aThread_Yield();
        }
        inFlight.fetch_add(1, std::memory_order_acq_rel);
        aPacketFifo_Put(fifo, packets[i % packets.size()]);
    }
    for (aPacket*& packet : packets) {
        aPacket_Destroy(&packet);
    }
}

void BM_PutGetUncontended(benchmark::State& state) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    const uint8_t data[2] = {1, 2};
    aPacket* packet = aPacket_CreateWithData(2, sizeof data, data);
    for (auto _ : state) {
        aPacketFifo_Put(fifo, packet);
        aPacket* taken = aPacketFifo_Get(fifo);
        aPacket_Destroy(&taken);
    }
    state.SetItemsProcessed(state.iterations());
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_PutGetUncontended);

void BM_OneProducerOneConsumer(benchmark::State& state) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    for (auto _ : state) {
        std::atomic<int> inFlight{0};
        std::thread producer(produce, fifo, std::vector<uint8_t>{2}, kBatch, std::ref(inFlight));
        for (int i = 0; i < kBatch; ++i) {
            aPacket* packet = aPacketFifo_Await(fifo, kWaitMs);
            if (packet == nullptr) {
                state.SkipWithError("a packet did not arrive");
                break;
            }
            aPacket_Destroy(&packet);
            inFlight.fetch_sub(1, std::memory_order_acq_rel);
        }
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_OneProducerOneConsumer)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EightFilteringConsumers(benchmark::State& state) {
    constexpr int kConsumers = 8;
    aPacketFifoHandle fifo = aPacketFifo_Create();
    std::vector<uint8_t> addresses;
    for (int c = 0; c < kConsumers; ++c) {
        addresses.push_back(static_cast<uint8_t>(2 * (c + 1)));
    }
    for (auto _ : state) {
        std::atomic<int> inFlight{0};
        std::atomic<bool> failed{false};
        std::vector<std::thread> consumers;
        for (uint8_t address : addresses) {
            consumers.emplace_back([&, address]() mutable {
                for (int i = 0; i < kBatch / kConsumers; ++i) {
                    aPacket* packet = aPacketFifo_AwaitFirst(fifo, sAddressIs, &address, kWaitMs);
                    if (packet == nullptr) {
                        failed = true;
                        return;
                    }
                    aPacket_Destroy(&packet);
                    inFlight.fetch_sub(1, std::memory_order_acq_rel);
                }
            });
        }
        produce(fifo, addresses, kBatch, inFlight);
        for (auto& consumer : consumers) {
            consumer.join();
        }
        if (failed) {
            state.SkipWithError("a packet did not arrive");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_EightFilteringConsumers)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
