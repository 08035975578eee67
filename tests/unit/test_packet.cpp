// Packets, UEI helpers, link specifiers, errors and model names: the shared vocabulary
// of the link library, pinned byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aUEI.h"

namespace {

struct PacketPtr {
    aPacket* p = aPacket_Create();
    ~PacketPtr() {
        if (p != nullptr) {
            aPacket_Destroy(&p);
        }
    }
};

// Feeds bytes into a fresh packet and returns the result of each byte.
std::vector<aErr> feed(aPacket* packet, const std::vector<uint8_t>& bytes) {
    std::vector<aErr> results;
    for (uint8_t b : bytes) {
        results.push_back(aPacket_AddByte(packet, b));
    }
    return results;
}

}  // namespace

TEST(Error, TablesAndOutOfRangeCodes) {
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Kestrix command to short");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNotReady), "Not ready, no bytes available");
    for (unsigned code : {35u, 1000u, 0xFFFFFFFFu}) {
        EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown");
        EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error");
    }
}

TEST(Packet, CreateWithDataLimits) {
    uint8_t data[29] = {};
    EXPECT_EQ(aPacket_CreateWithData(4, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(4, 1, nullptr), nullptr);
    aPacket* full = aPacket_CreateWithData(4, 28, data);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->byteCount, 30);
    EXPECT_TRUE(aPacket_IsComplete(full));
    EXPECT_EQ(aPacket_Destroy(&full), aErrNone);
    EXPECT_EQ(full, nullptr);
    EXPECT_EQ(aPacket_Destroy(&full), aErrParam);
}

TEST(Packet, ParserAssemblesAndRejects) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<aErr> results;
        bool complete;
    };
    const std::vector<Case> cases = {
        {"empty packet completes after its length", {0x04, 0x00}, {aErrNone, aErrNone}, true},
        {"zero first byte", {0x00}, {aErrPacket}, false},
        {"length above 28", {0x04, 29}, {aErrNone, aErrPacket}, false},
        {"three data bytes",
         {0x06, 3, 1, 2, 3},
         {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
         true},
        {"byte past the length",
         {0x06, 1, 9, 9},
         {aErrNone, aErrNone, aErrNone, aErrPacket},
         false},
    };
    for (const auto& c : cases) {
        PacketPtr packet;
        EXPECT_EQ(feed(packet.p, c.bytes), c.results) << c.name;
        EXPECT_EQ(aPacket_IsComplete(packet.p), c.complete) << c.name;
    }
}

TEST(Packet, ThirtyFirstByteOverruns) {
    PacketPtr packet;
    std::vector<uint8_t> bytes = {0x04, 28};
    bytes.resize(30, 0x55);
    for (aErr e : feed(packet.p, bytes)) {
        EXPECT_EQ(e, aErrNone);
    }
    EXPECT_TRUE(aPacket_IsComplete(packet.p));
    EXPECT_EQ(aPacket_AddByte(packet.p, 0x55), aErrOverrun);
    EXPECT_EQ(aPacket_AddByte(packet.p, 0x55), aErrOverrun);
    EXPECT_EQ(aPacket_Reset(packet.p), aErrNone);
    EXPECT_EQ(aPacket_AddByte(packet.p, 0x04), aErrNone);
}

TEST(Packet, GetBytesAndFieldAccess) {
    const uint8_t data[] = {0x03, 0xC8, 0xA1, 0x07};
    aPacket* packet = aPacket_CreateWithData(0x06, sizeof data, data);
    uint8_t buffer[6];
    size_t written = 0;
    EXPECT_EQ(aPacket_GetBytes(packet, buffer, 5, &written), aErrOverrun);
    ASSERT_EQ(aPacket_GetBytes(packet, buffer, 6, &written), aErrNone);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6),
              (std::vector<uint8_t>{0x06, 0x04, 0x03, 0xC8, 0xA1, 0x07}));

    uint8_t value = 0;
    EXPECT_EQ(aPacket_GetCmd(packet, &value), aErrNone);
    EXPECT_EQ(value, 0x03);
    EXPECT_EQ(aPacket_GetOption(packet, &value), aErrNone);
    EXPECT_EQ(value, 0x08);
    EXPECT_EQ(aPacket_GetIndex(packet, &value), aErrNone);
    EXPECT_EQ(value, 0x01);
    EXPECT_EQ(aPacket_GetCmd(packet, nullptr), aErrParam);

    aPacket* copy = aPacket_Copy(packet);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, packet);
    EXPECT_EQ(0, std::memcmp(copy->data, packet->data, sizeof data));
    aPacket_Destroy(&packet);
    aPacket_Destroy(&copy);

    const uint8_t shortData[] = {0x03};
    aPacket* shortPacket = aPacket_CreateWithData(0x06, 1, shortData);
    EXPECT_EQ(aPacket_GetOption(shortPacket, &value), aErrPacket);
    aPacket_Destroy(&shortPacket);
}

TEST(Packet, InvalidPacketsAreRejected) {
    aPacket forged{};  // check field not set
    EXPECT_EQ(aPacket_AddByte(&forged, 4), aErrParam);
    EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);
    EXPECT_FALSE(aPacket_IsComplete(&forged));
    uint8_t value;
    EXPECT_EQ(aPacket_GetCmd(&forged, &value), aErrPacket);
}

TEST(UEI, BigEndianValues) {
    uint8_t buffer[4];
    aUEI_StoreInt(buffer, 0x40F5849A);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
              (std::vector<uint8_t>{0x40, 0xF5, 0x84, 0x9A}));
    EXPECT_EQ(aUEI_RetrieveInt(buffer), 0x40F5849Au);
    aUEI_StoreShort(buffer, 0xBEEF);
    EXPECT_EQ(buffer[0], 0xBE);
    EXPECT_EQ(buffer[1], 0xEF);
    EXPECT_EQ(aUEI_RetrieveShort(buffer), 0xBEEF);

    uint8_t wire[8] = {0x00, 0x00, 0x01, 0x02, 0xFF, 0x00, 0x00, 0x01};
    uint32_t words[2];
    std::memcpy(words, wire, sizeof wire);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x0102u);
    EXPECT_EQ(words[1], 0xFF000001u);
}

TEST(UEI, PacketClassification) {
    auto make = [](std::vector<uint8_t> data) {
        return aPacket_CreateWithData(4, static_cast<uint8_t>(data.size()), data.data());
    };
    struct Case {
        std::vector<uint8_t> data;
        bool ueiPayload, stream;
    };
    const std::vector<Case> cases = {
        {{0x03, 0x08, 0x40, 1, 2}, true, true},
        {{0x03, 0x41, 0x40, 1, 2}, true, false},   // a get request is never a stream sample
        {{0x03, 0x08, 0x40, 1}, true, false},      // too short
        {{0x5F, 0x08, 0x40, 1, 2}, false, false},  // loader command 95
        {{0xAD, 0x00}, false, false},
        {{0x00}, false, false},
    };
    for (const auto& c : cases) {
        aPacket* packet = make(c.data);
        EXPECT_EQ(aUEI_isUEIPayload(packet), c.ueiPayload) << int(c.data[0]);
        EXPECT_EQ(aUEI_isStreamPacket(packet), c.stream) << int(c.data[0]);
        aPacket_Destroy(&packet);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));

    aPacket* chunk = make(std::vector<uint8_t>(27, 0));
    chunk->data[26] = 0x85;
    EXPECT_EQ(aUEI_getBytesSequence(chunk), 5);
    EXPECT_EQ(aUEI_getBytesContinue(chunk), 1);
    EXPECT_TRUE(aUEI_getBytesFullPacket(chunk));
    aPacket_Destroy(&chunk);
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
}

TEST(LinkSpec, LayoutIsTheWireFormat) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serialNumber = 0x40F5849A;
    spec->module = 2;
    spec->router = 2;
    spec->routerSerialNumber = 0x40F5849A;
    spec->model = 23;
    spec->ipAddress = 0x0100007F;  // 127.0.0.1 in network order
    spec->port = 9000;

    uint8_t bytes[aLINKSPEC_SIZE];
    std::memcpy(bytes, spec, sizeof bytes);
    const std::vector<uint8_t> head = {2, 0, 0,   0, 0x9A, 0x84, 0xF5, 0x40, 2,    0,  0,
                                       0, 2, 0,   0, 0,    0x9A, 0x84, 0xF5, 0x40, 23, 0,
                                       0, 0, 127, 0, 0,    1,    0x28, 0x23, 0,    0};
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + head.size()), head);
    for (size_t i = head.size(); i < sizeof bytes; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }

    linkSpec* copy = aLinkSpec_Copy(spec);
    EXPECT_EQ(0, std::memcmp(copy, spec, sizeof *spec));
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    aLinkSpec_Destroy(&spec);

    linkSpec* serial = aLinkSpec_Create(SERIAL);
    std::strcpy(serial->portName, "/dev/ttyUSB0");
    std::memcpy(bytes, serial, sizeof bytes);
    EXPECT_EQ(bytes[28], '/');
    aLinkSpec_Destroy(&serial);
}

TEST(Defs, ModelNames) {
    for (uint32_t code : {0u, 6u, 12u, 28u, 255u}) {
        EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
    }
    for (uint32_t code : {4u, 5u, 13u, 20u, 27u}) {
        EXPECT_STRNE(aDefs_GetModelName(code), "Unknown") << code;
    }
}
