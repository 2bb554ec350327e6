#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/ProfileFile.h"

namespace kestrova {

// An INI profile with the behaviour of the classic private-profile calls:
// section and key names match without regard to ASCII case, the first of
// duplicate sections or keys wins, values are trimmed and lose one pair of
// surrounding double quotes. Every call reads the file afresh so that edits
// made by other programs between calls are seen, as with per-call file access.
//
// Writes change only the affected line (or add lines); everything else in the
// file, including comments, unknown lines and each line's ending, stays byte
// for byte. New lines take the ending of the file's first line ("\n" in a new
// file). A UTF-8 byte order mark at the start is skipped and kept.
class ProfileStore {
public:
    // Turns a value that is not valid UTF-8 (an older profile written in a
    // legacy code page) into UTF-8.
    using LegacyDecoder = std::function<std::string(std::string_view)>;

    // Longest string a read returns, in bytes.
    static constexpr std::size_t MAX_VALUE_BYTES = 4095;

    // Where the user hears of trouble with the profile: the file's name as
    // the lines give it, and what takes each line (without its line ending).
    struct Notices {
        std::string fileName;
        std::function<void(std::string_view)> tell;
    };

    ProfileStore(ProfileFile& file, LegacyDecoder legacyDecoder, Notices notices = {});

    // The decimal integer at the start of the value: optional leading white
    // space, one optional sign, digits up to the first non-digit (0 without
    // any digit). Out-of-range numbers wrap modulo 2^32. `defaultValue` when
    // the file cannot be read or the section or the key is missing, and when
    // the value is empty. A value that does not start with a number reads as
    // 0, and, when asked for, `notANumber` gets that value.
    std::int32_t readInt(std::string_view section, std::string_view key, std::int32_t defaultValue,
                         std::string* notANumber = nullptr);

    // The value as UTF-8, at most MAX_VALUE_BYTES bytes and cut between
    // characters. `defaultValue` only when the file cannot be read or the
    // section or key is missing; a key with nothing after '=' reads as "".
    std::string readString(std::string_view section, std::string_view key, std::string_view defaultValue);

    // Sets the value, creating the file, the section and the key as needed.
    // False, leaving the file as it is, when the file is there but cannot be
    // read, when it cannot be replaced, or when the names or the value could
    // not be read back as written: a line break anywhere, an empty or
    // '='-containing key, a key starting with ';' or '[', an empty section or
    // one containing ']'.
    bool writeString(std::string_view section, std::string_view key, std::string_view value);
    // Why the last write that failed did, in a few words for the user.
    const std::string& writeProblem() const { return writeProblem_; }

    // One line to the user about the profile, shown as plain text. A file
    // that cannot be read is told of once, however often it is read, until
    // it can be read again.
    void tell(std::string_view line);
    // Tells of a read of the profile that failed, as the store's own reads
    // do: for a copy of the file read elsewhere.
    void noticeRead(const ProfileRead& file);
    const std::string& fileName() const { return notices_.fileName; }

private:
    ProfileRead readFile();

    ProfileFile& file_;
    LegacyDecoder legacyDecoder_;
    Notices notices_;
    bool toldUnreadable_ = false;
    std::string writeProblem_;
};

}  // namespace kestrova
