// CPU cost of a link reader on an idle transport: one thread reads one byte at a time in
// a loop without sleeping, as the link engine's reader does, for five seconds while
// nothing arrives. Reported: the thread's CPU time as a share of one core, and how many
// reads it made. Each idle read should wait for its bound instead of spinning.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>

#include "aStreamsocket.h"
#include "unix_streamserial.h"

namespace {

constexpr auto kIdleTime = std::chrono::seconds(5);

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void readIdle(benchmark::State& state, aStream* stream) {
    double cpu = 0;
    double reads = 0;
    for (auto _ : state) {
        const double cpuStart = threadCpuSeconds();
        const auto end = std::chrono::steady_clock::now() + kIdleTime;
        while (std::chrono::steady_clock::now() < end) {
            uint8_t byte = 0;
            benchmark::DoNotOptimize(aStream_Read(stream, &byte, 1));
            ++reads;
        }
        cpu += threadCpuSeconds() - cpuStart;
    }
    const double seconds =
        std::chrono::duration<double>(kIdleTime).count() * static_cast<double>(state.iterations());
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / seconds;
    state.counters["reads_per_second"] = reads / seconds;
}

void BM_IdleTcpStream(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        state.SkipWithError("no loopback listener");
        return;
    }
    aStream* stream = nullptr;
    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), ntohs(address.sin_port), &stream) !=
        aErrNone) {
        state.SkipWithError("cannot connect");
        close(listener);
        return;
    }
    const int peer = accept(listener, nullptr, nullptr);
    readIdle(state, stream);
    aStream_Destroy(&stream);
    close(peer);
    close(listener);
}

void idlePty(benchmark::State& state, bool packetized) {
    int master = -1;
    int slave = -1;
    char path[256] = {};
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    aStream* stream = nullptr;
    const aErr err = packetized ? aStream_CreateSerial_Packetized(path, 6, false, 0, 0, &stream)
                                : aStream_CreateSerial(path, 6, false, 0, 0, &stream);
    if (err == aErrNone) {
        readIdle(state, stream);
        aStream_Destroy(&stream);
    } else {
        state.SkipWithError("cannot open the pseudo-terminal");
    }
    close(slave);
    close(master);
}

void BM_IdleSerialStream(benchmark::State& state) {
    idlePty(state, false);
}
void BM_IdlePacketizedSerialStream(benchmark::State& state) {
    idlePty(state, true);
}

BENCHMARK(BM_IdleTcpStream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_IdleSerialStream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_IdlePacketizedSerialStream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
