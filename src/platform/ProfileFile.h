#pragma once
#include <string>

namespace kestrova {

// What reading the profile found.
struct ProfileRead {
    enum class Status {
        Read,        // `text` holds the whole file
        Missing,     // there is no file yet
        Unreadable,  // something is there but could not be read: no permission,
                     // an I/O error, too large, or not a regular file
    };
    Status status = Status::Missing;
    std::string text;
    // Why an Unreadable profile could not be read, in a few words for the
    // user ("Permission denied", "larger than 64 KiB").
    std::string problem;
};

// The bytes of the profile file.
class ProfileFile {
public:
    virtual ~ProfileFile() = default;
    virtual ProfileRead read() = 0;
    // Replaces the whole file so that a reader sees either the old or the new
    // contents, never a mix or a truncated file. Returns false on failure, in
    // which case the old file is untouched.
    virtual bool replace(const std::string& contents) = 0;
    // Why the last replace failed, in a few words for the user.
    virtual std::string replaceProblem() const { return "the file could not be written"; }
};

}  // namespace kestrova
