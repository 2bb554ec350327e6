#pragma once
#include <string>

#include "platform/ProfileFile.h"

namespace kestrova {

// A profile held in memory, starting from what reading a profile file found.
// Writes change only the copy, so whatever reads and writes it, the file on
// disk stays as it was. A file that could not be read starts the copy empty,
// like a missing one: the copy may be written even though the file may not.
class ProfileCopy : public ProfileFile {
public:
    explicit ProfileCopy(ProfileRead original) : contents_(std::move(original)) {
        if (contents_.status == ProfileRead::Status::Unreadable) contents_ = {};
    }

    ProfileRead read() override { return contents_; }
    bool replace(const std::string& contents) override {
        contents_ = {ProfileRead::Status::Read, contents, {}};
        return true;
    }

private:
    ProfileRead contents_;
};

}  // namespace kestrova
