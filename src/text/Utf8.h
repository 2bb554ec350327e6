#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// Length in bytes of the strict UTF-8 character that starts at `at`, or 0
// when none starts there.
std::size_t utf8CharLength(std::string_view text, std::size_t at);

// When no character starts at `at` (< text.size()): how many bytes from there
// one replacement character stands for, the longest start of a character
// that is there (Unicode's "maximal subpart"), at least one byte.
std::size_t utf8IllFormedLength(std::string_view text, std::size_t at);

// The longest prefix of `text` of at most `maxBytes` bytes that does not end
// inside a multi-byte sequence. Meant for valid UTF-8; on other input it
// still returns a prefix no longer than `maxBytes`.
std::string_view cutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace kestrova
