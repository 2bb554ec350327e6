#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "text/UiTexts.h"

namespace kestrova {

// The lines that open and close a pass, as written; the log shows shownText
// of the same texts.
inline constexpr std::string_view RESOLVE_START_TEXT = sourceOf(UiText::ResolveStart);
inline constexpr std::string_view RESOLVE_END_TEXT = sourceOf(UiText::ResolveEnd);
// What a failed lookup reads as; a resolver that answers with this very text
// has not found a name either.
inline constexpr std::string_view NO_NAME_TEXT = "No Name...";
// A name is held in a buffer of 1024 characters with its terminator.
inline constexpr std::size_t HOST_NAME_MAX_BYTES = 1023;

// Text from outside that anyone may have chosen (a host name from any hosts
// file or PTR record, a program's file name, a control group's or user's
// name), made safe to show in a cell, a log line and a terminal: valid UTF-8
// in which bytes that are not, control characters and characters that
// reorder or break lines stand escaped (\xNN for a byte, an ASCII control or
// the backslash itself, \uNNNN for a character), at most `maxBytes` long and
// cut only between characters. Plain text comes back as it was.
std::string displayableText(std::string_view raw, std::size_t maxBytes = SIZE_MAX);

// The name to store and show for what the resolver answered, or nothing when
// it found none: displayableText, at most HOST_NAME_MAX_BYTES long.
std::optional<std::string> displayableHostName(const std::optional<std::string>& answer);

// The log line for an address that got a name.
std::string resolvedLine(std::string_view address, std::string_view name);

}  // namespace kestrova
