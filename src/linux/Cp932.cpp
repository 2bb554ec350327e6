#include "linux/Cp932.h"

#include <iconv.h>

#include <cerrno>

namespace kestrova {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

class Converter {
public:
    Converter() : cd_(::iconv_open("UTF-8", "CP932")) {}
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    ~Converter() {
        if (valid()) ::iconv_close(cd_);
    }
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

// Without the converter (no gconv modules installed) ASCII still comes
// through and everything else is marked as unreadable.
std::string asciiOnly(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out.push_back(c);
        } else {
            out.append(REPLACEMENT);
        }
    }
    return out;
}

}  // namespace

std::string cp932ToUtf8(std::string_view text) {
    Converter converter;
    if (!converter.valid()) return asciiOnly(text);

    std::string out;
    // Every CP932 character takes at most three UTF-8 bytes, and a lone byte
    // at most three (U+FFFD), so this is enough for one pass in most cases.
    std::string buffer(text.size() * 3 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t result = ::iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        out.append(buffer.data(), buffer.size() - outLeft);
        if (result != static_cast<std::size_t>(-1)) break;
        if (error == E2BIG) continue;
        // EILSEQ or EINVAL (a lead byte cut off at the end): skip one byte so
        // that a following ASCII byte is not swallowed with it.
        out.append(REPLACEMENT);
        ++in;
        --inLeft;
        ::iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace kestrova
