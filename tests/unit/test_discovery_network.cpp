// Module discovery over the network, inside the private namespace: TCP modules answering
// the multicast request, sharing servers answering beacons, and local servers answering
// the loopback probe. The simulated modules sit on kx1 (10.77.0.2).
#include <arpa/inet.h>
#include <czmq.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "DiscoveryCollector.h"
#include "aMulticast.h"
#include "discover.h"
#include "discovery_responder.h"
#include "isolated_network.h"
#include "zBeaconInterface.h"

namespace {

constexpr const char* kModuleSide = "10.77.0.2";

uint32_t sAddress(const char* text) {
    in_addr address;
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

using Collector = kxtest::DiscoveryCollector;

std::vector<kxsim::DiscoverableModule> sModules(size_t count) {
    std::vector<kxsim::DiscoverableModule> modules;
    for (size_t i = 0; i < count; ++i) {
        modules.push_back({static_cast<uint32_t>(0x40F50000 + i), static_cast<uint8_t>(2 * i + 2),
                           static_cast<uint16_t>(31000 + i), static_cast<uint8_t>(13 + i % 15)});
    }
    return modules;
}

class TcpDiscovery : public IsolatedNetworkTest {
  protected:
    void startModules(size_t count) {
        responder_ = std::make_unique<kxsim::DiscoveryResponder>(kModuleSide, sModules(count));
        std::string error;
        ASSERT_TRUE(responder_->start(&error)) << error;
    }
    std::unique_ptr<kxsim::DiscoveryResponder> responder_;
};

TEST_F(TcpDiscovery, FindsFiftyModulesInOneEnumeration) {
    startModules(50);
    Collector collector;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Collector::callback, &collector, kLoopback), 50u);
    ASSERT_EQ(collector.found.size(), 50u);
    std::set<uint32_t> serials;
    for (const linkSpec& spec : collector.found) {
        const size_t i = spec.serialNumber - 0x40F50000;
        ASSERT_LT(i, 50u);
        serials.insert(spec.serialNumber);
        EXPECT_EQ(spec.type, TCPIP);
        EXPECT_EQ(spec.routerSerialNumber, spec.serialNumber);
        EXPECT_EQ(spec.module, 2 * i + 2);
        EXPECT_EQ(spec.router, spec.module);
        EXPECT_EQ(spec.port, 31000 + i);
        EXPECT_EQ(spec.model, 13 + i % 15);
        EXPECT_EQ(spec.ipAddress, sAddress(kModuleSide));
    }
    EXPECT_EQ(serials.size(), 50u) << "each module exactly once";
    EXPECT_EQ(responder_->requests(), 1u) << "one request per interface, heard on kx1";
}

TEST_F(TcpDiscovery, ACallbackThatStopsEndsTheEnumerationAtOnce) {
    startModules(5);
    Collector collector;
    collector.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Collector::callback, &collector, 0), 1u);
    EXPECT_EQ(collector.found.size(), 1u);
}

TEST_F(TcpDiscovery, FindsOneModuleBySerialNumberOrNone) {
    startModules(3);
    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0x40F50001, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->port, 31001u);
    EXPECT_EQ(spec->ipAddress, sAddress(kModuleSide));
    aLinkSpec_Destroy(&spec);

    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x12345678, 0), nullptr);
    spec = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_NE(spec->serialNumber, 0u);
    aLinkSpec_Destroy(&spec);
}

TEST_F(TcpDiscovery, TypesWithoutAMechanismFindNothing) {
    startModules(1);
    Collector collector;
    for (uint32_t type : {0u, 3u, 8u}) {
        EXPECT_EQ(aDiscovery_EnumerateModules(static_cast<linkType>(type), Collector::callback,
                                              &collector, 0),
                  0u);
    }
    EXPECT_TRUE(collector.found.empty());
    EXPECT_EQ(responder_->requests(), 0u);
}

// A sharing server's discovery answer, published by a beacon on kx1.
class BeaconServer {
  public:
    explicit BeaconServer(const linkSpec& spec) {
        EXPECT_TRUE(zBeaconInterface_setAndLock(kModuleSide));
        beacon_ = zactor_new(zbeacon, nullptr);
        zsock_send(beacon_, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
        char* host = zstr_recv(beacon_);
        zBeaconInterface_unlock();
        EXPECT_STREQ(host, kModuleSide);
        zstr_free(&host);
        zsock_send(beacon_, "sbi", "PUBLISH", &spec, sizeof spec, 100);
    }
    ~BeaconServer() {
        zstr_sendx(beacon_, "SILENCE", nullptr);
        zactor_destroy(&beacon_);
    }

  private:
    zactor_t* beacon_;
};

linkSpec sServerSpec(uint32_t serial, uint32_t address, uint16_t port) {
    linkSpec spec{};
    spec.type = AWEAVE_USB;
    spec.serialNumber = serial;
    spec.module = 4;
    spec.model = 19;
    spec.ipAddress = address;
    spec.port = port;
    return spec;
}

class NetworkedDiscovery : public IsolatedNetworkTest {};

TEST_F(NetworkedDiscovery, EachServerIsReportedOnceHoweverOftenItAnswers) {
    const linkSpec first = sServerSpec(0x1234ABCD, sAddress(kModuleSide), 40001);
    const linkSpec second = sServerSpec(0x2234ABCD, sAddress(kModuleSide), 40002);
    BeaconServer a(first);
    BeaconServer twin(first);
    BeaconServer b(second);
    Collector collector;
    const char* before = zBeaconInterface_get();
    const std::string setting = before != nullptr ? before : "";
    EXPECT_EQ(
        aDiscovery_EnumerateModules(AWEAVE, Collector::callback, &collector, sAddress("10.77.0.1")),
        2u);
    std::set<uint32_t> serials;
    for (const linkSpec& spec : collector.found) {
        serials.insert(spec.serialNumber);
        EXPECT_EQ(spec.type, AWEAVE_USB);
    }
    EXPECT_EQ(collector.found.size(), 2u);
    EXPECT_EQ(serials, (std::set<uint32_t>{0x1234ABCD, 0x2234ABCD}));
    EXPECT_EQ(zBeaconInterface_get(), setting) << "the interface setting is restored";
}

TEST_F(NetworkedDiscovery, ACallbackThatStopsEndsTheBeaconEnumeration) {
    BeaconServer a(sServerSpec(0x1234ABCD, sAddress(kModuleSide), 40001));
    BeaconServer b(sServerSpec(0x2234ABCD, sAddress(kModuleSide), 40002));
    Collector collector;
    collector.stopAfter = 1;
    EXPECT_EQ(
        aDiscovery_Enumerate_aWeaveModules(Collector::callback, &collector, sAddress("10.77.0.1")),
        1u);
    EXPECT_EQ(collector.found.size(), 1u);
}

// A local sharing server's discovery side: holds request port 9850 + n on the loopback
// interface and answers each request on 9950 + n.
class LocalServer {
  public:
    LocalServer(uint16_t n, const linkSpec& spec) : spec_(spec) {
        requests_ = aMulticast_Create(0, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_REQUEST_PORT + n,
                                      aMulticastReceiver);
        answers_ = aMulticast_Create(0, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_ANSWER_PORT + n,
                                     aMulticastSender);
        EXPECT_NE(requests_, nullptr);
        EXPECT_NE(answers_, nullptr);
        thread_ = std::thread([this] { serve(); });
    }
    ~LocalServer() {
        stop_ = true;
        thread_.join();  // within the 1 s receive time-out
        aMulticast_Destroy(&requests_);
        aMulticast_Destroy(&answers_);
    }

  private:
    void serve() {
        while (!stop_) {
            uint8_t request[8];
            uint32_t word = 0;
            if (aMulticast_Receive(requests_, request, sizeof request) == 4) {
                std::memcpy(&word, request, 4);
            }
            if (word == aDISCOVERY_LOCAL_REQUEST) {
                aMulticast_Send(answers_, reinterpret_cast<const uint8_t*>(&spec_), sizeof spec_);
            }
        }
    }

    linkSpec spec_;
    aMulticast* requests_;
    aMulticast* answers_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(NetworkedDiscovery, LocalServersAnswerTheLoopbackProbe) {
    Collector nothing;
    EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(Collector::callback, &nothing, 0), 0u);
    EXPECT_TRUE(nothing.found.empty());

    LocalServer first(0, sServerSpec(0x1234ABCD, kLoopback, 40001));
    LocalServer gap(3, sServerSpec(0x2234ABCD, kLoopback, 40002));
    LocalServer remote(5, sServerSpec(0x3234ABCD, sAddress(kModuleSide), 40003));
    Collector collector;
    EXPECT_EQ(aDiscovery_EnumerateModules(AWEAVE_TCPIP, Collector::callback, &collector, kLoopback),
              2u);
    ASSERT_EQ(collector.found.size(), 2u) << "only servers on this host count";
    EXPECT_EQ(collector.found[0].serialNumber, 0x1234ABCDu);
    EXPECT_EQ(collector.found[1].serialNumber, 0x2234ABCDu);

    Collector first_only;
    first_only.stopAfter = 1;
    EXPECT_EQ(aDiscovery_Enumerate_aWeaveModules(Collector::callback, &first_only, 0), 1u);
    EXPECT_EQ(first_only.found.size(), 1u);
}

}  // namespace
