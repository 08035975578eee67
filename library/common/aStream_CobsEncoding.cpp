#include "aStream_CobsEncoding.h"

#include <cstring>
#include <new>

#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
constexpr size_t kMaxPacketBytes = 2 + aPACKET_MAX_DATA;  // address, size, data
constexpr size_t kTransmitBuffer = 40;
static_assert(COBS_ENCODED_MAX(kMaxPacketBytes + 1) == aCOBS_MAX_FRAME);
static_assert(aCOBS_MAX_FRAME + 1 <= kTransmitBuffer, "a frame and its delimiter must fit");

struct CobsContext {
    uint16_t check = kCobsCheck;
    aStreamGetProc lowerGet;
    aStreamPutProc lowerPut;
    aStreamWriteProc lowerWrite;
    aStreamDeleteProc lowerDelete;
    void* lower;

    // Receiving (the reader thread only).
    uint8_t received[aCOBS_MAX_FRAME];
    size_t receivedCount = 0;
    bool overlong = false;  // bytes of the current frame were dropped
    uint8_t decoded[kMaxPacketBytes];
    size_t decodedLength = 0;
    size_t decodedPosition = 0;

    // Sending (the writer thread only).
    aPacket* outgoing = nullptr;
    uint8_t transmit[kTransmitBuffer];
};

CobsContext* sContext(void* context) {
    auto ctx = static_cast<CobsContext*>(context);
    return ctx != nullptr && ctx->check == kCobsCheck ? ctx : nullptr;
}

// Checks the frame collected so far and, when it is sound, makes its packet the one
// handed out next. The frame buffer is emptied either way.
bool sAcceptFrame(CobsContext* ctx) {
    uint8_t frame[aCOBS_MAX_FRAME];
    size_t n = 0;
    const bool ok = !ctx->overlong && cobs_decode(ctx->received, ctx->receivedCount, frame, &n) &&
                    n > 2 && n == static_cast<size_t>(frame[1]) + 3 &&
                    crc8_check(frame, n - 1, frame[n - 1]);
    ctx->receivedCount = 0;
    ctx->overlong = false;
    if (ok) {
        std::memcpy(ctx->decoded, frame, n - 1);
        ctx->decodedLength = n - 1;
        ctx->decodedPosition = 0;
    }
    return ok;
}

aErr sCobsGet(uint8_t* byte, void* context) {
    CobsContext* ctx = sContext(context);
    if (ctx == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (ctx->decodedPosition < ctx->decodedLength) {
        *byte = ctx->decoded[ctx->decodedPosition++];
        return aErrNone;
    }
    if (ctx->lowerGet == nullptr) {
        return aErrMode;
    }
    uint8_t in = 0;
    const aErr err = ctx->lowerGet(&in, ctx->lower);
    if (err != aErrNone) {
        return err;
    }
    if (in != 0) {
        if (ctx->receivedCount < aCOBS_MAX_FRAME) {
            ctx->received[ctx->receivedCount++] = in;
        } else {
            ctx->overlong = true;
        }
        return aErrNotReady;
    }
    if (ctx->receivedCount == 0) {
        return aErrNotReady;
    }
    return sAcceptFrame(ctx) ? aErrNotReady : aErrPacket;
}

aErr sCobsPut(uint8_t byte, void* context) {
    CobsContext* ctx = sContext(context);
    if (ctx == nullptr) {
        return aErrParam;
    }
    return ctx->lowerPut != nullptr ? ctx->lowerPut(byte, ctx->lower) : aErrMode;
}

aErr sSendFrame(CobsContext* ctx) {
    uint8_t packet[kMaxPacketBytes + 1];
    size_t n = 0;
    aPacket_GetBytes(ctx->outgoing, packet, kMaxPacketBytes, &n);
    aPacket_Reset(ctx->outgoing);
    packet[n] = crc8_create(packet, n);
    size_t length = cobs_encode(packet, n + 1, ctx->transmit);
    ctx->transmit[length++] = 0;
    if (ctx->lowerWrite != nullptr) {
        return ctx->lowerWrite(ctx->transmit, length, ctx->lower);
    }
    for (size_t i = 0; i < length; ++i) {
        const aErr err = ctx->lowerPut(ctx->transmit[i], ctx->lower);
        if (err != aErrNone) {
            return err;
        }
    }
    return aErrNone;
}

aErr sCobsWrite(const uint8_t* bytes, size_t length, void* context) {
    CobsContext* ctx = sContext(context);
    if (ctx == nullptr || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if (ctx->lowerWrite == nullptr && ctx->lowerPut == nullptr) {
        return aErrMode;
    }
    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (aPacket_AddByte(ctx->outgoing, bytes[i]) != aErrNone) {
            aPacket_Reset(ctx->outgoing);  // not a packet: dropped with what led up to it
            continue;
        }
        if (aPacket_IsComplete(ctx->outgoing)) {
            const aErr err = sSendFrame(ctx);
            if (err != aErrNone) {
                result = err;
            }
        }
    }
    return result;
}

aErr sCobsDelete(void* context) {
    CobsContext* ctx = sContext(context);
    if (ctx == nullptr) {
        return aErrParam;
    }
    const aErr err = ctx->lowerDelete != nullptr ? ctx->lowerDelete(ctx->lower) : aErrNone;
    aPacket_Destroy(&ctx->outgoing);
    ctx->check = 0;
    delete ctx;
    return err;
}

}  // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* context, aStream** stream) {
    if (stream == nullptr) {
        return aErrParam;
    }
    *stream = nullptr;
    auto ctx = new (std::nothrow) CobsContext;
    if (ctx == nullptr) {
        return aErrMemory;
    }
    ctx->lowerGet = get;
    ctx->lowerPut = put;
    ctx->lowerWrite = write;
    ctx->lowerDelete = del;
    ctx->lower = context;
    ctx->outgoing = aPacket_Create();
    if (ctx->outgoing != nullptr) {
        *stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, ctx);
    }
    if (*stream == nullptr) {
        aPacket_Destroy(&ctx->outgoing);
        delete ctx;
        return aErrMemory;
    }
    return aErrNone;
}
