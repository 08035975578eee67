#include "SimFraming.h"

#include "cobs.h"
#include "crc8.h"

namespace kxsim {

namespace {

constexpr size_t kMaxData = 28;
constexpr size_t kMaxFrame = 40;  // longer runs of non-zero bytes are no frame of ours

std::vector<uint8_t> sCorrupted(std::vector<uint8_t> bytes,
                                const std::optional<Corruption>& corruption) {
    if (corruption && corruption->offset < bytes.size()) {
        bytes[corruption->offset] = corruption->value;
    }
    return bytes;
}

// Packets back to back, kept apart by counting. A zero address byte or a size above 28 is
// thrown away, and counting starts again with the next byte.
class StreamFraming : public Framing {
  public:
    void reset() override { partial_.reset(); }

    uint64_t decode(const uint8_t* bytes, size_t length, std::vector<Packet>& packets) override {
        uint64_t rejected = 0;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t byte = bytes[i];
            if (!partial_) {
                if (byte == 0) {
                    ++rejected;
                } else {
                    partial_ = Partial{Packet{byte, {}}, std::nullopt};
                }
            } else if (!partial_->size) {
                if (byte > kMaxData) {
                    rejected += 2;
                    partial_.reset();
                    continue;
                }
                partial_->size = byte;
            } else {
                partial_->packet.data.push_back(byte);
            }
            if (partial_ && partial_->size && partial_->packet.data.size() == *partial_->size) {
                packets.push_back(std::move(partial_->packet));
                partial_.reset();
            }
        }
        return rejected;
    }

    std::vector<uint8_t> encode(const Packet& packet,
                                const std::optional<Corruption>& corruption) const override {
        return sCorrupted(packet.bytes(), corruption);
    }

  private:
    struct Partial {
        Packet packet;
        std::optional<size_t> size;
    };
    std::optional<Partial> partial_;
};

// One packet per COBS frame, checked by length and CRC.
class CobsFraming : public Framing {
  public:
    void reset() override {
        frame_.clear();
        overlong_ = false;
    }

    uint64_t decode(const uint8_t* bytes, size_t length, std::vector<Packet>& packets) override {
        uint64_t rejected = 0;
        for (size_t i = 0; i < length; ++i) {
            if (bytes[i] != 0) {
                if (frame_.size() < kMaxFrame) {
                    frame_.push_back(bytes[i]);
                } else {
                    overlong_ = true;
                }
                continue;
            }
            if (!frame_.empty()) {
                std::optional<Packet> packet = overlong_ ? std::nullopt : unframe();
                if (packet) {
                    packets.push_back(std::move(*packet));
                } else {
                    ++rejected;
                }
            }
            reset();
        }
        return rejected;
    }

    std::vector<uint8_t> encode(const Packet& packet,
                                const std::optional<Corruption>& corruption) const override {
        std::vector<uint8_t> bytes = packet.bytes();
        const uint8_t crc = crc8_create(bytes.data(), bytes.size());
        bytes = sCorrupted(std::move(bytes), corruption);
        bytes.push_back(crc);
        std::vector<uint8_t> wire(COBS_ENCODED_MAX(bytes.size()) + 1);
        const size_t encoded = cobs_encode(bytes.data(), bytes.size(), wire.data());
        wire.resize(encoded);
        wire.push_back(0);
        return wire;
    }

  private:
    std::optional<Packet> unframe() const {
        std::vector<uint8_t> decoded(frame_.size());
        size_t length = 0;
        if (!cobs_decode(frame_.data(), frame_.size(), decoded.data(), &length) || length < 3 ||
            length != decoded[1] + 3u ||
            !crc8_check(decoded.data(), length - 1, decoded[length - 1])) {
            return std::nullopt;
        }
        return Packet{decoded[0],
                      std::vector<uint8_t>(decoded.begin() + 2,
                                           decoded.begin() + static_cast<long>(length) - 1)};
    }

    std::vector<uint8_t> frame_;
    bool overlong_ = false;
};

}  // namespace

std::unique_ptr<Framing> makeFraming(TransportKind kind) {
    if (kind == TransportKind::Serial) {
        return std::make_unique<CobsFraming>();
    }
    return std::make_unique<StreamFraming>();
}

}  // namespace kxsim
