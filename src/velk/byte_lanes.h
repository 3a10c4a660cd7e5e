// Eight bytes at a time: a 64-bit word holds eight bytes of text as its lanes, and a test of all
// eight answers in bit 7 of each lane. The scans that skip over text that cannot matter (the
// word splitter, the candidate scans of the pattern pass) load a word, ask which lanes hold a
// byte of interest and step to the first of them, reading bytes one by one only there.
#ifndef VELK_BYTE_LANES_H_
#define VELK_BYTE_LANES_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velk::byte_lanes {

constexpr std::uint64_t kLanes = 0x0101010101010101;
constexpr std::uint64_t kLaneTops = kLanes * 0x80;
constexpr std::size_t kWidth = sizeof(std::uint64_t);

// The eight bytes from `pos` (at most text.size() - 8), lane k holding text[pos + k].
inline std::uint64_t load_word(std::string_view text, std::size_t pos) {
  std::uint64_t word = 0;
  std::memcpy(&word, text.data() + pos, sizeof word);
  return word;
}

// Bit 7 set in the lanes that hold an ASCII byte from `first` to `last` (both below 0x80). The
// sums stay inside their lanes because bit 7 is cleared first.
constexpr std::uint64_t ascii_range_lanes(std::uint64_t word, char first, char last) {
  const std::uint64_t low = word & ~kLaneTops;
  const std::uint64_t at_least_first = low + kLanes * static_cast<std::uint64_t>(0x80 - first);
  const std::uint64_t after_last = low + kLanes * static_cast<std::uint64_t>(0x80 - last - 1);
  return at_least_first & ~after_last & ~word & kLaneTops;
}
static_assert(ascii_range_lanes(0x35'61'B9'B0'3A'39'30'2Full, '0', '9') ==
              (0x80ull << 8 | 0x80ull << 16 | 0x80ull << 56));

// Bit 7 set in the lanes that hold a byte of a non-ASCII character.
constexpr std::uint64_t non_ascii_lanes(std::uint64_t word) { return word & kLaneTops; }

// Bit 7 set in the lanes that hold the lead byte of a multi-byte character (0xC0 and above).
constexpr std::uint64_t lead_byte_lanes(std::uint64_t word) {
  return word & (word << 1) & kLaneTops;
}
static_assert(lead_byte_lanes(0x41'E3'80'C2'7F'C0'BF'00ull) ==
              (0x80ull << 16 | 0x80ull << 32 | 0x80ull << 48));

// The lane of the lowest text offset among the set lanes of a nonzero mask.
inline std::size_t first_lane(std::uint64_t mask) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(mask) / 8);
  }
  return static_cast<std::size_t>(std::countl_zero(mask) / 8);
}

}  // namespace velk::byte_lanes

#endif  // VELK_BYTE_LANES_H_
