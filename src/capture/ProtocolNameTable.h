#pragma once
#include <array>

namespace kestrova {

// Keywords of the Internet protocol numbers 0 to 127, as assigned in 1994,
// each row 64 bytes padded with zero bytes. Numbers that list left without a
// keyword read "unknown"; rows 101 to 127 are empty.
extern const std::array<std::array<char, 64>, 128> ProtocolNameTable;

inline constexpr int kProtocolTcp = 6;

}  // namespace kestrova
