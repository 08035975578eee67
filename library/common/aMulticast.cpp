#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint16_t aMULTICASTCHECK = 0x3C4D;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// The IPv4 address and port of host:port; false when it does not resolve.
bool sResolve(const char* host, uint16_t port, sockaddr_in* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    char service[8];
    std::snprintf(service, sizeof service, "%u", port);
    addrinfo* found = nullptr;
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    std::memcpy(address, found->ai_addr, sizeof *address);
    freeaddrinfo(found);
    return true;
}

}  // namespace

struct aMulticast {
    uint16_t check = aMULTICASTCHECK;
    aMulticastRole role;
    sockaddr_in group{};
    sockaddr_in bound{};
    in_addr interface {};
    int socket = -1;
};

aMulticast* aMulticast_Create(uint32_t networkInterface, const char* group, uint16_t port,
                              aMulticastRole role) {
    if (group == nullptr || (role != aMulticastReceiver && role != aMulticastSender)) {
        return nullptr;
    }
    auto m = new (std::nothrow) aMulticast;
    if (m == nullptr) {
        return nullptr;
    }
    m->role = role;
    m->interface.s_addr = networkInterface == 0 ? kLoopback : networkInterface;
    char interfaceText[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &m->interface, interfaceText, sizeof interfaceText);
    const bool receiver = role == aMulticastReceiver;
    const unsigned char ttl = 1;
    const unsigned char loop = 1;
    const timeval timeout{1, 0};
    ip_mreq membership{};
    bool ok = sResolve(group, port, &m->group) &&
              sResolve(receiver ? "0.0.0.0" : interfaceText, receiver ? port : 0, &m->bound) &&
              (m->socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) >= 0 &&
              bind(m->socket, reinterpret_cast<sockaddr*>(&m->bound), sizeof m->bound) == 0;
    if (ok) {
        membership.imr_multiaddr = m->group.sin_addr;
        membership.imr_interface = m->interface;
        ok = setsockopt(m->socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) ==
                 0 &&
             setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_IF, &m->interface,
                        sizeof m->interface) == 0 &&
             setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
             setsockopt(m->socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0 &&
             setsockopt(m->socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
    }
    if (!ok) {
        aMulticast_Destroy(&m);
    }
    return m;
}

int aMulticast_Send(aMulticast* multicast, const uint8_t* bytes, size_t length) {
    if (multicast == nullptr || multicast->check != aMULTICASTCHECK) {
        return -2;
    }
    if (multicast->role != aMulticastSender) {
        return -3;
    }
    const ssize_t sent =
        sendto(multicast->socket, bytes, length, 0,
               reinterpret_cast<const sockaddr*>(&multicast->group), sizeof multicast->group);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size) {
    if (multicast == nullptr || multicast->check != aMULTICASTCHECK) {
        return -2;
    }
    if (multicast->role != aMulticastReceiver) {
        return -3;
    }
    const ssize_t got = recv(multicast->socket, buffer, size, MSG_WAITALL);
    return got < 0 ? -1 : static_cast<int>(got);
}

int aMulticast_Destroy(aMulticast** multicast) {
    if (multicast == nullptr || *multicast == nullptr || (*multicast)->check != aMULTICASTCHECK) {
        return -2;
    }
    if ((*multicast)->socket >= 0) {
        close((*multicast)->socket);
    }
    (*multicast)->check = 0;
    delete *multicast;
    *multicast = nullptr;
    return 0;
}
