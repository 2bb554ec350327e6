// libFuzzer entry: arbitrary bytes as a profile file. Reads must stay inside
// the text, and a write must read back and be idempotent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "options/ProfileStore.h"

namespace {

class BytesFile : public kestrova::ProfileFile {
public:
    std::optional<std::string> contents;
    kestrova::ProfileRead read() override {
        if (!contents) return {};
        return {kestrova::ProfileRead::Status::Read, *contents, {}};
    }
    bool replace(const std::string& text) override {
        contents = text;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BytesFile file;
    file.contents = std::string(reinterpret_cast<const char*>(data), size);
    kestrova::ProfileStore store(file, [](std::string_view bytes) { return std::string(bytes); });
    store.readInt("1040315", "alpha", 180);
    store.readString("1040315", "activeMark", "x");
    if (store.writeString("1040315", "netstatInterval", "500")) {
        if (store.readInt("1040315", "netstatInterval", 0) != 500) std::abort();
        // Writing the same value again changes nothing.
        const std::string once = *file.contents;
        store.writeString("1040315", "netstatInterval", "500");
        if (*file.contents != once) std::abort();
    }
    return 0;
}
