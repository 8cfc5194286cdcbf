#include "platform/byte_scan.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>

namespace velmora::platform::byte_scan {
namespace {

using Bytes = std::array<uint8_t, 8>;

// The mask a byte-by-byte test gives, with the marks where loadWord puts each byte's high bit.
uint64_t referenceMask(const Bytes& bytes, const std::function<bool(uint8_t)>& matches) {
  Bytes marks{};
  for (std::size_t i = 0; i < bytes.size(); ++i) marks[i] = matches(bytes[i]) ? 0x80 : 0;
  return loadWord(marks.data());
}

// Every byte value at every place among neighbours on either side of each bound, then random
// words: a borrow or carry crossing into a neighbour would mark a byte that does not match, or
// hide one.
template <typename Check>
void forWords(Check check) {
  for (const unsigned neighbour : {0, 1, 9, 10, 13, 14, 31, 32, 33, 34, 91, 92, 126, 127, 128,
                                   129, 254, 255}) {
    for (std::size_t at = 0; at < 8; ++at) {
      for (unsigned value = 0; value < 256; ++value) {
        Bytes bytes;
        bytes.fill(static_cast<uint8_t>(neighbour));
        bytes[at] = static_cast<uint8_t>(value);
        check(bytes);
      }
    }
  }
  std::mt19937_64 random(20261207);
  for (int i = 0; i < 100000; ++i) {
    Bytes bytes;
    const uint64_t word = random();
    std::memcpy(bytes.data(), &word, sizeof word);
    check(bytes);
  }
}

TEST(ByteScanTest, MasksMarkExactlyTheMatchingBytes) {
  struct Row {
    const char* name;
    std::function<uint64_t(uint64_t)> mask;
    std::function<bool(uint8_t)> matches;
  };
  const Row rows[] = {
      {"below 1", [](uint64_t w) { return bytesBelow(w, 1); }, [](uint8_t b) { return b < 1; }},
      {"below 10", [](uint64_t w) { return bytesBelow(w, 10); }, [](uint8_t b) { return b < 10; }},
      {"below 14", [](uint64_t w) { return bytesBelow(w, 14); }, [](uint8_t b) { return b < 14; }},
      {"below 32", [](uint64_t w) { return bytesBelow(w, 32); }, [](uint8_t b) { return b < 32; }},
      {"below 128", [](uint64_t w) { return bytesBelow(w, 128); }, [](uint8_t b) { return b < 128; }},
      {"from 128", [](uint64_t w) { return bytesFrom128(w); }, [](uint8_t b) { return b >= 128; }},
      {"equal NUL", [](uint64_t w) { return bytesEqual(w, 0); }, [](uint8_t b) { return b == 0; }},
      {"equal quote", [](uint64_t w) { return bytesEqual(w, '"'); }, [](uint8_t b) { return b == '"'; }},
      {"equal 127", [](uint64_t w) { return bytesEqual(w, 127); }, [](uint8_t b) { return b == 127; }},
      {"equal 128", [](uint64_t w) { return bytesEqual(w, 128); }, [](uint8_t b) { return b == 128; }},
      {"equal 255", [](uint64_t w) { return bytesEqual(w, 255); }, [](uint8_t b) { return b == 255; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int failures = 0;
    forWords([&](const Bytes& bytes) {
      const uint64_t expected = referenceMask(bytes, row.matches);
      const uint64_t actual = row.mask(loadWord(bytes.data()));
      if (actual != expected && ++failures <= 3) {
        ADD_FAILURE() << std::hex << "word " << loadWord(bytes.data()) << ": " << actual
                      << " instead of " << expected;
      }
    });
    EXPECT_EQ(failures, 0);
  }
}

TEST(ByteScanTest, FirstMarkedByteCountsInMemoryOrder) {
  for (std::size_t first = 0; first < 8; ++first) {
    for (std::size_t later = first; later < 8; ++later) {
      Bytes bytes;
      bytes.fill('a');
      bytes[first] = '"';
      bytes[later] = '"';
      EXPECT_EQ(firstMarkedByte(bytesEqual(loadWord(bytes.data()), '"')), first);
    }
  }
}

}  // namespace
}  // namespace velmora::platform::byte_scan
