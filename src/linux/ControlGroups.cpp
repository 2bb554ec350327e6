#include "linux/ControlGroups.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "linux/Descriptors.h"

namespace kestrova {
namespace {

// Groups nest at most this deep here; deeper ones stay unnamed.
constexpr int kMaxDepth = 64;
// Ids of removed groups remembered, so that a flood of them cannot grow
// without bound.
constexpr std::size_t kMaxMissing = 4096;

// The next space-separated field of `line`, consumed from its front.
std::string_view nextField(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    const std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }

// mountinfo writes a space, tab, newline and backslash in a path as a
// backslash and three octal digits.
std::string unescapeMountPath(std::string_view field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && field.size() - i >= 4 && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
            isOctal(field[i + 3])) {
            path += static_cast<char>((field[i + 1] - '0') << 6 | (field[i + 2] - '0') << 3 | (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

}  // namespace

std::optional<std::string> findCgroup2Mount(std::string_view mountinfo) {
    std::optional<std::string> any;
    while (!mountinfo.empty()) {
        const std::size_t newline = mountinfo.find('\n');
        std::string_view line = mountinfo.substr(0, newline);
        mountinfo.remove_prefix(newline == std::string_view::npos ? mountinfo.size() : newline + 1);
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::string_view fields[5];
        for (std::string_view& field : fields) field = nextField(line);
        if (fields[4].empty()) continue;
        std::string_view field;
        do field = nextField(line);
        while (!field.empty() && field != "-");
        if (field != "-" || nextField(line) != "cgroup2") continue;
        const bool wholeTree = fields[3] == "/";
        if (wholeTree) return unescapeMountPath(fields[4]);
        if (!any) any = unescapeMountPath(fields[4]);
    }
    return any;
}

std::optional<std::string> ControlGroups::path(std::uint64_t id) {
    if (id == 0) return std::nullopt;
    if (auto it = paths_.find(id); it != paths_.end()) return it->second;
    if (missing_.contains(id)) return std::nullopt;
    if (!walkedThisTick_) {
        walkComplete_ = walk();
        if (auto it = paths_.find(id); it != paths_.end()) return it->second;
    }
    if (!walkComplete_) return std::nullopt;
    // The group was there when its socket was made, before this tick's
    // table was read and so before the walk: it has been removed since.
    if (missing_.size() >= kMaxMissing) missing_.clear();
    missing_.insert(id);
    return std::nullopt;
}

bool ControlGroups::walk() {
    walkedThisTick_ = true;
    ++walks_;
    std::ifstream in(mountinfoPath_);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        if (isShortage(errno)) reportShortageOnce(errno);
        return false;
    }
    const std::optional<std::string> mount = findCgroup2Mount(text.str());
    if (!mount) {
        paths_.clear();
        return true;
    }
    const int root = open(mount->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        // A tree that cannot be opened for want of descriptors is still
        // there; one that cannot be opened at all names no group.
        const int error = errno;
        if (!isShortage(error)) {
            paths_.clear();
            return true;
        }
        reportShortageOnce(error);
        return false;
    }
    struct stat st {};
    if (fstat(root, &st) != 0) {
        close(root);
        return false;
    }
    std::unordered_map<std::uint64_t, std::string> found;
    found[st.st_ino] = "";
    if (walkBelow(root, "", 0, found)) {
        // Only the groups there are now: a removed group's sockets are
        // named as those of an unknown one.
        paths_ = std::move(found);
        return true;
    }
    found.merge(paths_);
    paths_ = std::move(found);
    return false;
}

bool ControlGroups::walkBelow(int directory, const std::string& path, int depth,
                              std::unordered_map<std::uint64_t, std::string>& found) {
    DIR* dir = fdopendir(directory);
    if (!dir) {
        const int error = errno;
        close(directory);
        if (isShortage(error)) reportShortageOnce(error);
        return !isShortage(error);
    }
    bool complete = true;
    while (dirent* d = readdir(dir)) {
        if (d->d_type != DT_DIR || d->d_name[0] == '.') continue;
        std::string child = path + "/" + d->d_name;
        // The directory's inode number is the group's id.
        found[d->d_ino] = child;
        if (depth + 1 >= kMaxDepth) continue;
        const int fd = openat(dirfd(dir), d->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            complete = walkBelow(fd, child, depth + 1, found) && complete;
        } else if (isShortage(errno)) {
            // A group removed meanwhile has no children to name; one that
            // could not be opened may have.
            reportShortageOnce(errno);
            complete = false;
        }
    }
    closedir(dir);
    return complete;
}

}  // namespace kestrova
