// Every fault the simulator injects, on TCP and on a pseudo-terminal: the engine rides it
// out, resynchronises where the byte stream broke, and carries on.
#include <gtest/gtest.h>

#include "aLink.h"
#include "sim_link_fixture.h"

using namespace kxtest;
using nlohmann::json;

namespace {

struct FaultCase {
    const char* name;
    json fault;
    bool serial;
    bool breaksTheStream;  // the engine must resynchronise
};

std::string caseName(const testing::TestParamInfo<FaultCase>& info) {
    return std::string(info.param.name) + (info.param.serial ? "_serial" : "_tcp");
}

const FaultCase kCases[] = {
    {"drop_reply", {{"kind", "drop_reply"}, {"at", 3}}, false, false},
    {"corrupt_length",
     {{"kind", "corrupt"}, {"at", 3}, {"offset", 1}, {"value", 0xFF}},
     false,
     true},
    {"odd_address", {{"kind", "odd_address"}, {"at", 3}}, false, true},
    {"garbage", {{"kind", "garbage"}, {"at", 3}, {"bytes", {0xFF, 0x01, 0xFF}}}, false, true},
    {"stall", {{"kind", "stall"}, {"at", 3}, {"ms", 400}}, false, false},
    {"close", {{"kind", "close"}, {"at", 3}}, false, false},
    {"drop_reply", {{"kind", "drop_reply"}, {"at", 3}}, true, false},
    {"corrupt_crc", {{"kind", "corrupt"}, {"at", 3}, {"offset", 2}, {"value", 0x00}}, true, true},
    {"odd_address", {{"kind", "odd_address"}, {"at", 3}}, true, true},
    {"garbage", {{"kind", "garbage"}, {"at", 3}, {"bytes", {0x13, 0x37, 0x00}}}, true, true},
    {"stall", {{"kind", "stall"}, {"at", 3}, {"ms", 400}}, true, false},
};

class LinkFaults : public testing::TestWithParam<FaultCase> {};

}  // namespace

TEST_P(LinkFaults, EngineRidesOutTheFault) {
    const FaultCase& c = GetParam();
    json module = {{"serial", 0x2001}, {"address", 4}, {"faults", {c.fault}}};
    if (c.serial) {
        module["transport"] = {{"type", "serial"}};
    }
    SimModuleLink sim(module);
    aLinkHandle link = c.serial ? sim.serialLink() : sim.tcp();
    ASSERT_NE(link, 0u);

    constexpr uint16_t kExchanges = 12;
    for (uint16_t token = 1; token <= kExchanges; ++token) {
        ASSERT_TRUE(echoEventually(link, sim.address(), token)) << "exchange " << token;
    }
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);

    const kxsim::Record record = sim.record();
    ASSERT_EQ(record.faults.size(), 1u);
    if (c.breaksTheStream) {
        EXPECT_GE(record.addressQueries, 6u);  // the engine asked for the handshake
    }
    if (std::string(c.name) == "close") {
        EXPECT_GE(record.connections, 2u);  // the socket stream reconnected
    }
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(All, LinkFaults, testing::ValuesIn(kCases), caseName);
