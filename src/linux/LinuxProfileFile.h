#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ProfileFile.h"

namespace kestrova {

// The profile as a file on disk.
//
// Reading follows links and takes any regular file of at most
// MAX_PROFILE_BYTES. Writing changes only what belongs to the user who runs
// the program (the real user id): every folder it writes in and every file it
// replaces is that user's, and a symbolic link on the way is followed only
// when it is that user's too. Run as root, it writes only under root's own
// home. The folder is opened once for each write, without following a link
// in its place, and everything after that happens relative to it, so that no
// one can swap a folder or a link while the write goes on.
class LinuxProfileFile : public ProfileFile {
public:
    // A larger profile is not read: it cannot be one this program wrote, and
    // reading it whole could take the memory of the machine.
    static constexpr std::size_t MAX_PROFILE_BYTES = 64 * 1024;

    // `rootHome`: where root may have a profile written; empty for root's
    // home from the password database.
    explicit LinuxProfileFile(std::string path, std::string rootHome = {});

    // Missing only when the file or a directory above it does not exist;
    // any other failure to read it is Unreadable.
    ProfileRead read() override;
    // Writes a sibling temporary file, flushes it and renames it over the
    // profile, so a crash leaves either the old or the new file. Missing
    // directories are created (0700). An existing file keeps its permission
    // bits; a new one gets 0600. A link of the user's own is followed and its
    // target replaced, leaving the link in place.
    bool replace(const std::string& contents) override;
    std::string replaceProblem() const override { return problem_; }

    const std::string& path() const { return path_; }

private:
    class Writer;
    std::string path_;
    std::string rootHome_;
    std::string problem_;
};

// "<config dir>/<executable name without extension>.INI", where the config
// dir is $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config,
// else the account's home from the password database plus "/.config".
std::string profilePathFor(std::string_view executablePath);

// The pieces of profilePathFor, apart from the environment.
// The file name: the last path component up to its last '.', plus ".INI". A
// leading '.' does not start an extension (".kestrova" -> ".kestrova.INI");
// an empty name, "." or ".." gives "kestrova.INI".
std::string profileFileNameFor(std::string_view executablePath);
// The directory from the given environment values (absent = unset). Empty
// when none of them is usable, which puts the profile in the working
// directory.
std::string configDirFrom(const std::optional<std::string>& xdgConfigHome,
                          const std::optional<std::string>& home,
                          const std::optional<std::string>& passwdHome);

}  // namespace kestrova
