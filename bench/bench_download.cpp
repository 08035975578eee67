// "-G" of a 4 MiB image against a local kestrix-update-server: the whole run of the real
// kestrix-updater, and its parts one by one (the image request, Base64 decoding, the load
// check of the decoded image, the store write), with the decoding set beside the system's
// `base64 -d` on the same text. Figures, not pass/fail:
//   build/bin/bench_download [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/unit/temp_dir.h"
#include "TestFirmwareRoot.h"
#include "UpdateServerProcess.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "base64.h"

extern char** environ;

namespace {

constexpr unsigned kSerial = 0x40F5849A;
constexpr unsigned kBuild = 99528558;
constexpr size_t kFirmwareSize = 4u * 1024 * 1024;

// Incompressible firmware, so the image stays about as large as the firmware.
std::vector<uint8_t> _random_firmware() {
    std::vector<uint8_t> bytes(kFirmwareSize);
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint8_t& byte : bytes) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        byte = static_cast<uint8_t>(state >> 56);
    }
    return bytes;
}

// The server with one 4 MiB image, the image's Base64 text as the server sends it (also
// in a file for `base64 -d`), and a store to write into. Made on first use.
struct Lab {
    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
    std::unique_ptr<UpdateServerProcess> server;
    std::string firmwareName = "kx-hub";
    std::string text;
    std::string textFile = dir / "image.b64";
    std::string storeDir = dir / "store";

    Lab() {
        firmware.addImage(kSerial, kBuild, "2.10.4", _random_firmware());
        firmware.writeConfig({{"devices", {{"40F5849A", {{"firmware", firmwareName}}}}}});
        server = std::make_unique<UpdateServerProcess>(
            UpdateServerProcess::Options{.binary = KX_UPDATE_SERVER_BIN,
                                         .root = firmware.root(),
                                         .config = firmware.configFile()});
        if (!UpdateServerRequest::GetBuild(kSerial, firmwareName.c_str(), "99528558", text,
                                           server->url().c_str(), false)) {
            throw std::runtime_error("the server sent no image");
        }
        std::ofstream(textFile) << text << "\n";
    }

    static Lab& Get() {
        static Lab lab;
        return lab;
    }
};

// Runs argv[0] with argv, standard input from `input` (when given) and both output
// streams to /dev/null; its exit status.
int _spawn(std::vector<std::string> words, const char* input = nullptr) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input ? input : "/dev/null", O_RDONLY,
                                     0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (rc != 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole "-G": process start, ping, store, build query, validation, transfer, decode,
// check and write.
void BM_UpdaterGet(benchmark::State& state) {
    Lab& lab = Lab::Get();
    for (auto _ : state) {
        int status = _spawn({KX_UPDATER_BIN, "-u", lab.server->url(), "-i", lab.storeDir, "-G",
                             "-d", "40F5849A", "-b", "99528558"});
        if (status != 0) {
            state.SkipWithError("kestrix-updater -G failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(lab.text.size()));
}
BENCHMARK(BM_UpdaterGet)->Unit(benchmark::kMillisecond)->UseRealTime();

// The image request alone: HTTP, the body and the extraction of its Base64 line.
void BM_Transfer(benchmark::State& state) {
    Lab& lab = Lab::Get();
    std::string data;
    for (auto _ : state) {
        if (!UpdateServerRequest::GetBuild(kSerial, lab.firmwareName.c_str(), "99528558", data,
                                           lab.server->url().c_str(), false)) {
            state.SkipWithError("GetBuild failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(lab.text.size()));
}
BENCHMARK(BM_Transfer)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bytes per second count the Base64 text, for both decoders.
void BM_Base64Decode(benchmark::State& state) {
    Lab& lab = Lab::Get();
    for (auto _ : state) {
        size_t length = 0;
        unsigned char* bytes = base64_decode(lab.text.data(), lab.text.size(), &length);
        benchmark::DoNotOptimize(bytes);
        std::free(bytes);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(lab.text.size()));
}
BENCHMARK(BM_Base64Decode)->Unit(benchmark::kMillisecond)->UseRealTime();

// The system's decoder on the same text, process start included (about a millisecond).
void BM_Base64Tool(benchmark::State& state) {
    Lab& lab = Lab::Get();
    for (auto _ : state) {
        if (_spawn({"base64", "-d"}, lab.textFile.c_str()) != 0) {
            state.SkipWithError("base64 -d failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(lab.text.size()));
}
BENCHMARK(BM_Base64Tool)->Unit(benchmark::kMillisecond)->UseRealTime();

// The decoded image as the store holds it, for the two steps below.
struct StoredImage {
    UpdaterStoreItem device;
    std::vector<unsigned char> bytes;
};

StoredImage _stored_image(Lab& lab) {
    UpdaterStore store(lab.storeDir.c_str());
    StoredImage image{store.AddDevice(kSerial), {}};
    size_t length = 0;
    unsigned char* bytes = base64_decode(lab.text.data(), lab.text.size(), &length);
    image.bytes.assign(bytes, bytes + length);
    std::free(bytes);
    return image;
}

// Writing the image into the device directory (a complete file, flushed, renamed in).
void BM_StoreWrite(benchmark::State& state) {
    StoredImage image = _stored_image(Lab::Get());
    for (auto _ : state) {
        if (image.device.WriteFile(".bench.part", image.bytes.data(), image.bytes.size()) !=
            aErrNone) {
            state.SkipWithError("WriteFile failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.bytes.size()));
}
BENCHMARK(BM_StoreWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// Loading the written image back as a BIRD file: the check that keeps a damaged reply
// from being stored.
void BM_LoadCheck(benchmark::State& state) {
    StoredImage image = _stored_image(Lab::Get());
    image.device.WriteFile(".bench.part", image.bytes.data(), image.bytes.size());
    for (auto _ : state) {
        BirdFile bird = image.device.ReadBirdFile(".bench.part");
        benchmark::DoNotOptimize(bird.payloadSize);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.bytes.size()));
}
BENCHMARK(BM_LoadCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
