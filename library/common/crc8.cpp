#include "crc8.h"

#include <array>

namespace {

constexpr uint8_t kReflectedPolynomial = 0x8C;

constexpr std::array<uint8_t, 256> makeTable() {
    std::array<uint8_t, 256> table{};
    for (unsigned int i = 0; i < table.size(); ++i) {
        unsigned int crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ kReflectedPolynomial : crc >> 1;
        }
        table[i] = static_cast<uint8_t>(crc);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

}  // namespace

uint8_t crc8_update(uint8_t crc, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        crc = kTable[crc ^ data[i]];
    }
    return crc;
}

uint8_t crc8_create(const uint8_t* data, size_t length) {
    return crc8_update(0, data, length);
}

bool crc8_check(const uint8_t* data, size_t length, uint8_t crc) {
    return crc8_create(data, length) == crc;
}
