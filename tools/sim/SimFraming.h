// How packets travel on a transport. Byte-stream links (TCP) carry them back to back as
// address, size, data; serial links carry each as one frame: the packet bytes and their
// CRC-8/MAXIM, COBS-encoded, then a 0x00 delimiter.
#ifndef KESTRIX_SIM_SIMFRAMING_H
#define KESTRIX_SIM_SIMFRAMING_H

#include <memory>
#include <optional>

#include "SimConfig.h"
#include "SimUnit.h"

namespace kxsim {

// One byte of a packet changed on its way out, after its checksum was computed.
struct Corruption {
    size_t offset;
    uint8_t value;
};

class Framing {
  public:
    virtual ~Framing() = default;
    // Forgets a partly received packet, for a new connection.
    virtual void reset() = 0;
    // Feeds bytes from the host, appending every complete packet to packets. Returns how
    // many bytes (streams) or frames (serial) were thrown away as invalid.
    virtual uint64_t decode(const uint8_t* bytes, size_t length, std::vector<Packet>& packets) = 0;
    // The wire form of packet, with corruption applied when given.
    virtual std::vector<uint8_t> encode(const Packet& packet,
                                        const std::optional<Corruption>& corruption) const = 0;
};

std::unique_ptr<Framing> makeFraming(TransportKind kind);

}  // namespace kxsim

#endif
