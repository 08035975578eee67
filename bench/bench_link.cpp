// The link engine against kestrix-sim on loopback: request/reply round trips through the
// engine and, for comparison, through a plain socket to the same simulator; writer
// throughput plain and pooled; the CPU an idle running link costs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "SimProcess.h"
#include "aLink.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1, network byte order
constexpr uint8_t kAddress = 4;
constexpr uint8_t kEcho = 0x17;
// One module per benchmark, so that each has the simulator's link to itself.
enum ModuleIndex : size_t { kEngineTrips, kRawTrips, kPlainWriter, kPooledWriter, kIdle, kModules };

SimProcess& sSimulator() {
    static SimProcess* simulator = [] {
        nlohmann::json modules = nlohmann::json::array();
        for (size_t i = 0; i < kModules; ++i) {
            modules.push_back({{"serial", 0xBE000000 + i}, {"address", kAddress}});
        }
        return new SimProcess(KX_SIM_BIN, {{"modules", modules}});
    }();
    return *simulator;
}

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// An engine link to module index, destroyed with the object.
class BenchLink {
  public:
    explicit BenchLink(size_t index)
        : handle_(aLink_CreateTCPIP(0xBE000000 + static_cast<uint32_t>(index), kLoopback,
                                    sSimulator().port(index))) {}
    ~BenchLink() { aLink_Destroy(&handle_); }
    aLinkHandle handle() const { return handle_; }

  private:
    aLinkHandle handle_;
};

bool sIsEcho(const aPacket* packet, void* ref) {
    const auto* token = static_cast<const uint16_t*>(ref);
    return packet->dataSize == 3 && packet->data[0] == kEcho &&
           (packet->data[1] << 8 | packet->data[2]) == *token;
}

bool sIsAddressAnswer(const aPacket* packet, void*) {
    return packet->dataSize == 0;
}

void BM_EngineRoundTrip(benchmark::State& state) {
    BenchLink link(kEngineTrips);
    uint16_t token = 0;
    for (auto _ : state) {
        ++token;
        const uint8_t data[3] = {kEcho, static_cast<uint8_t>(token >> 8),
                                 static_cast<uint8_t>(token)};
        PacketPtr request(aPacket_CreateWithData(kAddress, sizeof data, data));
        aLink_PutPacket(link.handle(), request.get());
        PacketPtr reply(aLink_AwaitFirst(link.handle(), sIsEcho, &token, 1000));
        if (!reply) {
            state.SkipWithError("no echo");
            break;
        }
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EngineRoundTrip)->UseRealTime();

void BM_RawSocketRoundTrip(benchmark::State& state) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(sSimulator().port(kRawTrips));
    address.sin_addr.s_addr = kLoopback;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot connect");
        close(fd);
        return;
    }
    uint16_t token = 0;
    for (auto _ : state) {
        ++token;
        const uint8_t request[5] = {kAddress, 3, kEcho, static_cast<uint8_t>(token >> 8),
                                    static_cast<uint8_t>(token)};
        if (send(fd, request, sizeof request, 0) != sizeof request) {
            state.SkipWithError("send failed");
            break;
        }
        uint8_t reply[5];
        size_t got = 0;
        while (got < sizeof reply) {
            const ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got != sizeof reply) {
            state.SkipWithError("no echo");
            break;
        }
    }
    close(fd);
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawSocketRoundTrip)->UseRealTime();

// Per iteration: a burst of 30-byte packets to an address nobody answers, then AD 00,
// whose answer shows the whole burst went through. The burst stays below the outbound
// queue's 1000-packet limit.
void BM_WriterThroughput(benchmark::State& state) {
    const bool pooled = state.range(0) != 0;
    BenchLink link(pooled ? kPooledWriter : kPlainWriter);
    aLink_EnablePooledPackets(link.handle(), pooled);
    constexpr int kBurst = 900;
    uint8_t data[28] = {};
    PacketPtr packet(aPacket_CreateWithData(0x10, sizeof data, data));
    PacketPtr query(aPacket_CreateWithData(aLINK_ADDRESS_QUERY, 0, data));
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) {
            aLink_PutPacket(link.handle(), packet.get());
        }
        aLink_PutPacket(link.handle(), query.get());
        PacketPtr answer(aLink_AwaitFirst(link.handle(), sIsAddressAnswer, nullptr, 10000));
        if (!answer) {
            state.SkipWithError("burst not answered");
            break;
        }
    }
    state.counters["packets_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBurst, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriterThroughput)->ArgName("pooled")->Arg(0)->Arg(1)->UseRealTime();

double sCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_IdleLinkCpu(benchmark::State& state) {
    BenchLink link(kIdle);
    for (auto _ : state) {
        const double before = sCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const double used = sCpuSeconds() - before;
        state.counters["cpu_ms_per_5s"] = used * 1000;
        state.counters["cpu_percent"] = used / 5 * 100;
    }
}
BENCHMARK(BM_IdleLinkCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
