#include "SimEndpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kxsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 4096;
constexpr int kWriteRetryMs = 100;  // while the host does not take our bytes

[[noreturn]] void sSystemFailure(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void sNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void sClose(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

int sMillisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

Endpoint::Endpoint(const ModuleConfig& config, Log& log)
    : name_(serialText(config.serial)),
      module_(config),
      log_(log),
      faults_(config.faults),
      framing_(makeFraming(config.transport.kind)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        sSystemFailure("eventfd");
    }
}

Endpoint::~Endpoint() {
    stop();
    sClose(listenFd_);
    sClose(masterFd_);
    sClose(slaveFd_);
    sClose(wakeFd_);
}

void Endpoint::start() {
    if (module_.config().transport.kind == TransportKind::Serial) {
        openSerial();
    } else if (module_.config().transport.kind == TransportKind::Usb) {
        openUsb();
    } else {
        openTcp();
    }
    thread_ = std::thread(&Endpoint::run, this);
}

void Endpoint::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Endpoint::openTcp() {
    const TransportConfig& transport = module_.config().transport;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(transport.port);
    if (inet_pton(AF_INET, transport.host.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + transport.host);
    }
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) {
        sSystemFailure("socket");
    }
    const int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        sSystemFailure("cannot listen on " + transport.host + ":" + std::to_string(transport.port));
    }
    socklen_t length = sizeof address;
    if (listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        sSystemFailure("listen");
    }
    port_ = ntohs(address.sin_port);
}

void Endpoint::openUsb() {
    usb_ = std::make_unique<UsbBridge>(module_.config());
    listenFd_ = usb_->start();  // accepted from like a TCP listener
}

void Endpoint::openSerial() {
    termios raw{};
    cfmakeraw(&raw);  // no echo: what we send must not come back to us
    if (openpty(&masterFd_, &slaveFd_, nullptr, &raw, nullptr) != 0) {
        sSystemFailure("openpty");
    }
    fcntl(masterFd_, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);
    sNonBlocking(masterFd_);
    char path[256];
    if (ttyname_r(slaveFd_, path, sizeof path) != 0) {
        sSystemFailure("ttyname");
    }
    serialPath_ = path;
}

nlohmann::json Endpoint::describe() const {
    const ModuleConfig& config = module_.config();
    nlohmann::json entry = {
        {"serial", name_}, {"address", config.address}, {"model", config.model}};
    if (config.transport.kind == TransportKind::Serial) {
        entry["transport"] = "serial";
        entry["path"] = serialPath_;
    } else if (config.transport.kind == TransportKind::Usb) {
        entry["transport"] = "usb";
        entry["directory"] = config.transport.directory;
        entry["serial_string"] = usb_ ? usb_->serialString() : "";
    } else {
        entry["transport"] = "tcp";
        entry["host"] = config.transport.host;
        entry["port"] = port_;
    }
    return entry;
}

void Endpoint::injectRaw(std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(injectMutex_);
        injected_.push_back(std::move(bytes));
    }
    wake();
}

void Endpoint::injectPacket(const Packet& packet) {
    injectRaw(framing_->encode(packet, std::nullopt));
}

void Endpoint::noteFault(const std::string& name) {
    log_.event(name_, "fault", name);
    module_.noteFault(name);
}

void Endpoint::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

void Endpoint::run() {
    if (masterFd_ >= 0) {
        serve(masterFd_);
        return;
    }
    while (!stopping_) {
        pollfd waiting[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(waiting, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (waiting[1].revents != 0) {
            // Injections wait for the link; serve() sends them once it runs.
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = read(wakeFd_, &count, sizeof count);
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        serve(fd);
        sClose(fd);
        log_.event(name_, "disconnected", "");
    }
}

void Endpoint::serve(int fd) {
    framing_->reset();
    module_.noteConnection();
    log_.event(name_, "connected", "");
    const HeartbeatConfig& heartbeat = module_.config().heartbeat;
    const auto interval = std::chrono::milliseconds(heartbeat.intervalMs);
    auto nextHeartbeat = Clock::now() + interval;
    size_t heartbeats = 0;
    std::vector<uint8_t> buffer(kReadChunk);
    while (!stopping_) {
        pollfd waiting[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int timeout = heartbeat.intervalMs > 0 ? sMillisecondsUntil(nextHeartbeat) : -1;
        if (poll(waiting, 2, timeout) < 0 && errno != EINTR) {
            return;
        }
        if (waiting[1].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = read(wakeFd_, &count, sizeof count);
        }
        if (stopping_ || !sendInjected(fd)) {
            return;
        }
        if (heartbeat.intervalMs > 0 && Clock::now() >= nextHeartbeat) {
            const uint8_t kind = heartbeat.kinds[heartbeats++ % heartbeat.kinds.size()];
            if (!sendPacket(fd, module_.heartbeat(kind), std::nullopt)) {
                return;
            }
            nextHeartbeat = std::max(nextHeartbeat + interval, Clock::now());
        }
        if (waiting[0].revents == 0) {
            continue;
        }
        const ssize_t received = read(fd, buffer.data(), buffer.size());
        if (received == 0) {
            return;  // the host closed the connection
        }
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return;
        }
        const auto length = static_cast<size_t>(received);
        module_.noteRaw(buffer.data(), length);
        std::vector<Packet> packets;
        if (const uint64_t rejected = framing_->decode(buffer.data(), length, packets)) {
            module_.noteRejected(rejected);
            log_.event(name_, "rejected", std::to_string(rejected));
        }
        for (const Packet& packet : packets) {
            if (!handle(fd, packet)) {
                return;
            }
        }
    }
}

bool Endpoint::handle(int fd, const Packet& request) {
    log_.packet(name_, "rx", request.bytes());
    for (const Packet& reply : module_.answer(request)) {
        if (!sendReply(fd, reply)) {
            return false;
        }
    }
    if (faults_.closeAfterReceived()) {
        noteFault(faultName(FaultKind::Close));
        return false;
    }
    return true;
}

bool Endpoint::sendReply(int fd, const Packet& reply) {
    const Fate fate = faults_.nextReply();
    for (const std::string& fault : fate.fired) {
        noteFault(fault);
    }
    if (fate.stallMs > 0 && !pause(fate.stallMs)) {
        return false;
    }
    if (fate.drop) {
        return true;
    }
    Packet sent = reply;
    if (fate.oddAddress) {
        sent.address |= 1;
    }
    if (!sendPacket(fd, sent, fate.corruption)) {
        return false;
    }
    if (!fate.garbageAfter.empty()) {
        log_.event(name_, "garbage", hexText(fate.garbageAfter));
        return sendWire(fd, fate.garbageAfter);
    }
    return true;
}

bool Endpoint::sendPacket(int fd, const Packet& packet,
                          const std::optional<Corruption>& corruption) {
    if (!sendWire(fd, framing_->encode(packet, corruption))) {
        return false;
    }
    log_.packet(name_, "tx", packet.bytes());
    module_.noteSent(packet);
    return true;
}

bool Endpoint::sendWire(int fd, const std::vector<uint8_t>& bytes) {
    const bool socket = module_.config().transport.kind != TransportKind::Serial;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = socket
                                 ? send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                                 : write(fd, bytes.data() + done, bytes.size() - done);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (stopping_) {
            return false;
        }
        pollfd writable{fd, POLLOUT, 0};
        poll(&writable, 1, kWriteRetryMs);
    }
    return true;
}

bool Endpoint::sendInjected(int fd) {
    std::deque<std::vector<uint8_t>> pending;
    {
        std::lock_guard lock(injectMutex_);
        pending.swap(injected_);
    }
    for (const std::vector<uint8_t>& bytes : pending) {
        log_.event(name_, "inject", hexText(bytes));
        if (!sendWire(fd, bytes)) {
            return false;
        }
    }
    return true;
}

bool Endpoint::pause(uint32_t ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    bool woken = false;
    while (!stopping_ && Clock::now() < until) {
        pollfd waiting{wakeFd_, POLLIN, 0};
        if (poll(&waiting, 1, sMillisecondsUntil(until)) > 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = read(wakeFd_, &count, sizeof count);
            woken = true;
        }
    }
    if (woken) {
        wake();  // injections that came during the pause go out next
    }
    return !stopping_;
}

}  // namespace kxsim
