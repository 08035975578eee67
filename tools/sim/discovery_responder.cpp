#include "discovery_responder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kxsim {

namespace {

// The discovery datagrams' group and ports, as the host library sends them.
constexpr const char* kModuleGroup = "232.2.2.2";
constexpr uint16_t kRequestPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr size_t kDatagramSize = 16;
constexpr uint8_t kRequestMarker = 1;

void sCloseAll(int* fds, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (fds[i] >= 0) {
            close(fds[i]);
            fds[i] = -1;
        }
    }
}

}  // namespace

std::vector<uint8_t> discoveryReply(const DiscoverableModule& module) {
    std::vector<uint8_t> reply(kDatagramSize, 0);
    reply[1] = module.address;
    reply[2] = module.port & 0xFF;
    reply[3] = module.port >> 8;
    for (int i = 0; i < 4; ++i) {
        reply[4 + i] = (module.serialNumber >> (8 * i)) & 0xFF;
    }
    reply[12] = module.model;
    return reply;
}

DiscoveryResponder::DiscoveryResponder(std::string interfaceAddress,
                                       std::vector<DiscoverableModule> modules)
    : interfaceAddress_(std::move(interfaceAddress)), modules_(std::move(modules)) {}

DiscoveryResponder::~DiscoveryResponder() {
    stop();
}

bool DiscoveryResponder::start(std::string* error) {
    auto fail = [&](const char* what) {
        *error = std::string(what) + ": " + std::strerror(errno);
        int fds[] = {listener_, sender_, wake_[0], wake_[1]};
        sCloseAll(fds, 4);
        listener_ = sender_ = wake_[0] = wake_[1] = -1;
        return false;
    };
    in_addr interface;
    if (inet_pton(AF_INET, interfaceAddress_.c_str(), &interface) != 1) {
        errno = EINVAL;
        return fail("interface address");
    }
    const int on = 1;
    const int off = 0;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kRequestPort);
    ip_mreq membership{};
    inet_pton(AF_INET, kModuleGroup, &membership.imr_multiaddr);
    membership.imr_interface = interface;
    listener_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    // Only requests arriving on this interface: without it Linux would hand the socket
    // the group's traffic of every interface.
    if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(listener_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        setsockopt(listener_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        return fail("request socket");
    }
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr = interface;
    sender_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sender_ < 0 || bind(sender_, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        return fail("reply socket");
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        return fail("pipe");
    }
    thread_ = std::thread(&DiscoveryResponder::run, this);
    return true;
}

void DiscoveryResponder::stop() {
    if (!thread_.joinable()) {
        return;
    }
    const char stop = 0;
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
    int fds[] = {listener_, sender_, wake_[0], wake_[1]};
    sCloseAll(fds, 4);
    listener_ = sender_ = wake_[0] = wake_[1] = -1;
}

void DiscoveryResponder::run() {
    for (;;) {
        pollfd ready[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(ready, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (ready[1].revents != 0) {
            return;
        }
        if ((ready[0].revents & POLLIN) == 0) {
            continue;
        }
        uint8_t request[kDatagramSize + 1];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t got = recvfrom(listener_, request, sizeof request, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got != static_cast<ssize_t>(kDatagramSize) || request[0] != kRequestMarker) {
            continue;
        }
        from.sin_port = htons(kReplyPort);
        for (const DiscoverableModule& module : modules_) {
            const std::vector<uint8_t> reply = discoveryReply(module);
            sendto(sender_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   sizeof from);
        }
        ++requests_;
    }
}

}  // namespace kxsim
