#include "linux/LinuxProfileFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace kestrova {
namespace {

// Closes a descriptor on every path out of a function.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports the result: on some file systems a write
    // error is only reported by close.
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Best effort: whatever cannot be created shows up as a failure to create
// the temporary file, which is reported.
void makeDirectories(const std::string& dir) {
    for (std::size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        ::mkdir(dir.substr(0, slash).c_str(), 0700);
    }
    ::mkdir(dir.c_str(), 0700);
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Makes the rename itself durable. The new contents are already in place
// when this runs, so a failure here is not reported to the caller.
void syncDirectory(const std::string& dir) {
    FdGuard fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

// The file a write should replace: the target of a symbolic link, so that
// linked dotfiles stay links. A dangling link is replaced as it is.
std::string resolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

std::optional<std::string> getenvString(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> passwdHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    while (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (result == nullptr || result->pw_dir == nullptr) return std::nullopt;
    return std::string(result->pw_dir);
}

std::string withoutTrailingSlashes(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

LinuxProfileFile::LinuxProfileFile(std::string path) : path_(std::move(path)) {}

ProfileRead LinuxProfileFile::read() {
    ProfileRead result;
    FdGuard fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        result.status = errno == ENOENT || errno == ENOTDIR ? ProfileRead::Status::Missing
                                                             : ProfileRead::Status::Unreadable;
        return result;
    }
    result.status = ProfileRead::Status::Unreadable;
    struct stat st {};
    // A FIFO or device in the profile's place could block or never end;
    // O_NONBLOCK above keeps the open itself from waiting for a writer.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return result;
    std::string contents;
    if (st.st_size > 0) contents.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return result;
        if (n == 0) break;
        contents.append(chunk, static_cast<std::size_t>(n));
    }
    result.status = ProfileRead::Status::Read;
    result.text = std::move(contents);
    return result;
}

bool LinuxProfileFile::replace(const std::string& contents) {
    const std::string target = resolveTarget(path_);
    const std::string dir = parentOf(target);
    makeDirectories(dir);

    std::string temporary = joinPath(dir, "." + baseNameOf(target) + ".XXXXXX");
    FdGuard fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;

    bool ok = writeAll(fd.get(), contents);
    struct stat old {};
    if (ok && ::stat(target.c_str(), &old) == 0) ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    ok = ok && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(dir);
    return true;
}

std::string profileFileNameFor(std::string_view executablePath) {
    const std::size_t slash = executablePath.rfind('/');
    std::string_view name = slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") name = "kestrova";
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
    return std::string(name) + ".INI";
}

std::string configDirFrom(const std::optional<std::string>& xdgConfigHome,
                          const std::optional<std::string>& home,
                          const std::optional<std::string>& passwdHome) {
    if (xdgConfigHome && xdgConfigHome->starts_with('/')) return withoutTrailingSlashes(*xdgConfigHome);
    if (home && !home->empty()) return joinPath(withoutTrailingSlashes(*home), ".config");
    if (passwdHome && !passwdHome->empty()) return joinPath(withoutTrailingSlashes(*passwdHome), ".config");
    return std::string();
}

std::string profilePathFor(std::string_view executablePath) {
    const std::optional<std::string> xdg = getenvString("XDG_CONFIG_HOME");
    const std::optional<std::string> home = getenvString("HOME");
    const bool needPasswd = !(xdg && xdg->starts_with('/')) && !(home && !home->empty());
    const std::string dir = configDirFrom(xdg, home, needPasswd ? passwdHome() : std::nullopt);
    return joinPath(dir, profileFileNameFor(executablePath));
}

}  // namespace kestrova
