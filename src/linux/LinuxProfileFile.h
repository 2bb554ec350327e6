#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "platform/ProfileFile.h"

namespace kestrova {

// The profile as a file on disk.
class LinuxProfileFile : public ProfileFile {
public:
    explicit LinuxProfileFile(std::string path);

    // Missing only when the file or a directory above it does not exist;
    // any other failure to read it is Unreadable.
    ProfileRead read() override;
    // Writes a sibling temporary file, flushes it and renames it over the
    // profile, so a crash leaves either the old or the new file. Missing
    // directories are created (0700). An existing file keeps its permission
    // bits; a new one gets 0600. A symbolic link is followed and its target
    // replaced, leaving the link in place.
    bool replace(const std::string& contents) override;

    const std::string& path() const { return path_; }

private:
    std::string path_;
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
