#pragma once
#include <string>
#include <string_view>

namespace kestrova {

// Text in the Japanese Windows code page, as older profiles hold it, as
// UTF-8. Each byte that does not start a valid character becomes U+FFFD.
std::string cp932ToUtf8(std::string_view text);

}  // namespace kestrova
