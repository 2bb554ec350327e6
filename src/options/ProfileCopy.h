#pragma once
#include <optional>
#include <string>

#include "platform/ProfileFile.h"

namespace kestrova {

// A profile held in memory, starting from the bytes a profile file had (or
// nothing, for a missing file). Writes change only the copy, so whatever
// reads and writes it, the file on disk stays as it was.
class ProfileCopy : public ProfileFile {
public:
    explicit ProfileCopy(std::optional<std::string> contents) : contents_(std::move(contents)) {}

    std::optional<std::string> read() override { return contents_; }
    bool replace(const std::string& contents) override {
        contents_ = contents;
        return true;
    }

private:
    std::optional<std::string> contents_;
};

}  // namespace kestrova
