// kestrix-update-server: serves firmware images to kestrix-updater over HTTP or HTTPS.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "UpdateHttpServer.h"

namespace {

const char* const USAGE = R"(Usage: kestrix-update-server --root DIR [options]

Serves the update server's query protocol ("/cgi/u" and "/") from DIR, which holds
one folder per device serial number (eight upper-case hexadecimal digits) with the
device's BIRD images. Build numbers and versions are read from the images.

Options:
  --root DIR           the firmware directory (required)
  --config FILE        the JSON configuration (default DIR/server.json): devices,
                       recovery fingerprints, token key, injected faults
  --listen ADDR:PORT   address to listen on (default 127.0.0.1:8080); port 0 picks
                       a free port; IPv6 addresses go in brackets, e.g. [::1]:8080
  --cert FILE          serve HTTPS with this PEM certificate (chain)
  --key FILE           the certificate's PEM private key
  --access-log FILE    append access-log lines to FILE (default: standard output)
  --help               this text

Once listening, one line goes to standard output:
  kestrix-update-server ready port=PORT url=URL
SIGINT or SIGTERM stops the server.
)";

struct Arguments {
    std::string root;
    std::string config;
    std::string listen = "127.0.0.1:8080";
    std::string cert;
    std::string key;
    std::string accessLog;
    bool help = false;
};

// Fills args from argv ("--name value" or "--name=value"); an error text on failure.
std::optional<std::string> _parseArguments(int argc, char** argv, Arguments& args) {
    const std::map<std::string, std::string*> options = {
        {"--root", &args.root}, {"--config", &args.config}, {"--listen", &args.listen},
        {"--cert", &args.cert}, {"--key", &args.key},       {"--access-log", &args.accessLog},
    };
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            args.help = true;
            return std::nullopt;
        }
        std::optional<std::string> inline_;
        if (size_t equals = word.find('='); equals != std::string::npos) {
            inline_ = word.substr(equals + 1);
            word.resize(equals);
        }
        auto option = options.find(word);
        if (option == options.end()) {
            return "unknown option " + word;
        }
        if (inline_) {
            *option->second = *inline_;
        } else if (i + 1 < argc) {
            *option->second = argv[++i];
        } else {
            return word + " needs a value";
        }
    }
    if (args.root.empty()) {
        return "--root is required";
    }
    if (args.cert.empty() != args.key.empty()) {
        return "--cert and --key go together";
    }
    return std::nullopt;
}

// "ADDR:PORT" or "[ADDR]:PORT" into host and port.
bool _parseListen(const std::string& text, UpdateHttpServer::Options& options) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string host = text.substr(0, colon);
    if (host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    std::string port = text.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
        return false;
    }
    options.host = host;
    options.port = std::stoi(port);
    return true;
}

int _fail(const std::string& message) {
    std::fprintf(stderr, "kestrix-update-server: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (auto error = _parseArguments(argc, argv, args)) {
        std::fprintf(stderr, "kestrix-update-server: %s\n\n%s", error->c_str(), USAGE);
        return 1;
    }
    if (args.help) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    UpdateHttpServer::Options options;
    options.certFile = args.cert;
    options.keyFile = args.key;
    if (!_parseListen(args.listen, options)) {
        return _fail("--listen wants ADDR:PORT, not " + args.listen);
    }
    std::filesystem::path root = args.root;
    if (!std::filesystem::is_directory(root)) {
        return _fail(args.root + " is not a directory");
    }
    FILE* accessLog = stdout;
    if (!args.accessLog.empty()) {
        accessLog = std::fopen(args.accessLog.c_str(), "a");
        if (accessLog == nullptr) {
            return _fail("cannot open " + args.accessLog + ": " + std::strerror(errno));
        }
    }

    // Signals are taken by sigwait below, never by a handler in a random thread; a
    // client that hangs up mid-reply must not kill the server.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // An ignored signal is discarded before sigwait could see it, and a parent may have
    // left either ignored.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int status = 0;
    try {
        std::string configPath =
            args.config.empty() ? (root / "server.json").string() : args.config;
        auto warn = [](const std::string& text) {
            std::fprintf(stderr, "kestrix-update-server: warning: %s\n", text.c_str());
        };
        UpdateService service(ServerConfig::Load(configPath), root, warn);
        UpdateHttpServer server(service, accessLog, options);
        int port = server.Bind();
        std::printf("kestrix-update-server ready port=%d url=%s\n", port, server.Url().c_str());
        std::fflush(stdout);

        pthread_t mainThread = pthread_self();
        bool served = true;
        std::thread listener([&] {
            served = server.Run();
            // Wakes the sigwait below when serving ended on its own; after a stop the
            // signal stays blocked and pending, which is harmless.
            pthread_kill(mainThread, SIGTERM);
        });
        int signalNumber = 0;
        sigwait(&stopSignals, &signalNumber);
        server.Stop();
        listener.join();
        if (!served) {
            status = _fail("serving stopped unexpectedly");
        }
    } catch (const std::exception& e) {
        status = _fail(e.what());
    }
    if (accessLog != stdout) {
        std::fclose(accessLog);
    }
    return status;
}
