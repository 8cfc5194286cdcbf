#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

// Byte searches eight bytes at a time, for scanners whose input is mostly bytes they pass over.
// Each mask function marks, exactly, the high bit of every byte of the word that matches; the
// first match in memory order is then firstMarkedByte(mask). Any thread.
namespace velmora::platform::byte_scan {

constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;
constexpr uint64_t kLowSevenBits = 0x7F7F7F7F7F7F7F7F;

// The eight bytes at `bytes`, in memory order as firstMarkedByte counts them.
inline uint64_t loadWord(const void* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Bytes below `limit` (1 to 128). With each high bit cleared first, 127 + limit - byte can
// neither borrow from nor carry into the next byte.
constexpr uint64_t bytesBelow(uint64_t word, uint8_t limit) {
  return (kOnes * (127u + limit) - (word & kLowSevenBits)) & ~word & kHighBits;
}

// Bytes of 128 and above.
constexpr uint64_t bytesFrom128(uint64_t word) { return word & kHighBits; }

// Bytes equal to `value`: those whose XOR with it is zero, found without a carry between bytes.
constexpr uint64_t bytesEqual(uint64_t word, uint8_t value) {
  const uint64_t difference = word ^ (kOnes * value);
  return ~(((difference & kLowSevenBits) + kLowSevenBits) | difference) & kHighBits;
}

// The offset (0 to 7) of the first marked byte of a non-zero mask.
constexpr unsigned firstMarkedByte(uint64_t mask) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(mask)) / 8;
  } else {
    return static_cast<unsigned>(std::countl_zero(mask)) / 8;
  }
}

// The offset of the first byte at or after `from` that `marks` marks, or the size. `marks` takes
// a word and answers its mask; the last few bytes go one at a time, each as a word of eight
// copies of itself, so the same function decides them.
template <typename WordMarks>
std::size_t findFirst(std::string_view bytes, std::size_t from, WordMarks marks) {
  std::size_t i = from;
  for (; i + 8 <= bytes.size(); i += 8) {
    if (const uint64_t found = marks(loadWord(bytes.data() + i))) return i + firstMarkedByte(found);
  }
  for (; i < bytes.size(); ++i) {
    if (marks(kOnes * static_cast<uint8_t>(bytes[i]))) return i;
  }
  return bytes.size();
}

}  // namespace velmora::platform::byte_scan
