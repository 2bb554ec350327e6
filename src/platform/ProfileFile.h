#pragma once
#include <optional>
#include <string>

namespace kestrova {

// The bytes of the profile file.
class ProfileFile {
public:
    virtual ~ProfileFile() = default;
    // The whole file, or nothing when it does not exist or cannot be read.
    virtual std::optional<std::string> read() = 0;
    // Replaces the whole file so that a reader sees either the old or the new
    // contents, never a mix or a truncated file. Returns false on failure, in
    // which case the old file is untouched.
    virtual bool replace(const std::string& contents) = 0;
};

}  // namespace kestrova
