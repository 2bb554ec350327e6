#include "linux/LinuxProfileFile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

namespace kestrova {
namespace {

// Closes a descriptor on every path out of a function.
class FdGuard {
public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    FdGuard(FdGuard&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FdGuard& operator=(FdGuard&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports the result: on some file systems a write
    // error is only reported by close.
    bool close() {
        const int fd = std::exchange(fd_, -1);
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string errorText(int error) { return std::generic_category().message(error); }

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

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Where an open descriptor is, as the kernel names it.
std::string whereIs(int fd) {
    char where[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), where, sizeof where);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof where) return std::string();
    return std::string(where, static_cast<std::size_t>(length));
}

// Whether `path` is `top` or lies below it; both are paths the kernel gave.
bool within(const std::string& path, const std::string& top) {
    if (path.empty() || top.empty()) return false;
    if (top == "/") return path.front() == '/';
    return path == top || (path.starts_with(top) && path[top.size()] == '/');
}

std::optional<std::string> passwdHome(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* result = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (result == nullptr || result->pw_dir == nullptr) return std::nullopt;
    return std::string(result->pw_dir);
}

std::string canonical(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// A name for a temporary file that no one can guess ahead of time.
std::string randomSuffix() {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        static unsigned counter = 0;
        const unsigned long long mix = static_cast<unsigned long long>(::getpid()) * 1000003u + ++counter;
        std::memcpy(bytes, &mix, sizeof bytes);
    }
    std::string suffix;
    for (unsigned char byte : bytes) suffix += kLetters[byte % (sizeof kLetters - 1)];
    return suffix;
}

// Links followed on the way to the file, at most.
constexpr int kMaxLinks = 8;

}  // namespace

// One replace of the profile: the folder to write in, held open, and the
// file's name in it, found under the rules the class states, then the write.
class LinuxProfileFile::Writer {
public:
    Writer(std::string rootHome) : uid_(::getuid()), rootHome_(std::move(rootHome)) {}

    // False, with `problem` set, when the profile at `path` may not be
    // written by this user.
    bool locate(const std::string& path) {
        std::string folder = parentOf(path);
        std::string name = baseNameOf(path);
        for (;;) {
            dir_ = openFolder(folder);
            if (!dir_) return false;
            const std::string file = joinPath(folder, name);
            if (name.empty() || name == "." || name == "..") {
                problem = file + " is not a file name";
                return false;
            }
            struct stat st {};
            if (::fstatat(dir_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) {
                    problem = file + ": " + errorText(errno);
                    return false;
                }
                name_ = name;
                return true;
            }
            if (S_ISLNK(st.st_mode)) {
                std::string target;
                if (!follow(dir_.get(), name, file, st, target)) return false;
                if (!target.starts_with('/')) target = joinPath(whereIs(dir_.get()), target);
                folder = parentOf(target);
                name = baseNameOf(target);
                continue;
            }
            if (!S_ISREG(st.st_mode)) {
                problem = file + " is not a regular file";
                return false;
            }
            if (st.st_uid != uid_) {
                problem = file + " belongs to another user";
                return false;
            }
            name_ = name;
            mode_ = st.st_mode & 07777;
            return true;
        }
    }

    // Writes the located file, all or nothing.
    bool write(const std::string& contents) {
        std::string temporary;
        FdGuard fd;
        for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
            temporary = "." + name_ + "." + randomSuffix();
            fd = FdGuard(::openat(dir_.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  0600));
            if (!fd && errno != EEXIST) break;
        }
        if (!fd) {
            problem = errorText(errno);
            return false;
        }
        bool ok = writeAll(fd.get(), contents);
        if (ok && mode_) ok = ::fchmod(fd.get(), *mode_) == 0;
        ok = ok && ::fsync(fd.get()) == 0;
        int error = errno;
        if (!fd.close() && ok) {
            ok = false;
            error = errno;
        }
        if (ok && ::renameat(dir_.get(), temporary.c_str(), dir_.get(), name_.c_str()) != 0) {
            ok = false;
            error = errno;
        }
        if (!ok) {
            ::unlinkat(dir_.get(), temporary.c_str(), 0);
            problem = errorText(error);
            return false;
        }
        // Makes the rename itself durable. The new contents are already in
        // place, so a failure here is not reported.
        ::fsync(dir_.get());
        return true;
    }

    std::string problem;

private:
    // The folder at `path`, open, when this user may write in it; missing
    // folders are made. A link in its place is followed under the rules.
    FdGuard openFolder(std::string path) {
        for (;;) {
            FdGuard dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (dir) return mayWriteIn(dir.get(), path) ? std::move(dir) : FdGuard();
            const int error = errno;
            struct stat st {};
            if ((error == ELOOP || error == ENOTDIR) && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
                std::string target;
                if (!follow(AT_FDCWD, path, path, st, target)) return FdGuard();
                path = target.starts_with('/') ? target : joinPath(parentOf(path), target);
                continue;
            }
            if (error == ENOENT) return makeFolder(path);
            problem = path + ": " + errorText(error);
            return FdGuard();
        }
    }

    // Makes the folders of `path` that are missing, each inside the one
    // above, which this user may write in.
    FdGuard makeFolder(const std::string& path) {
        std::vector<std::string> missing;
        std::string existing = path;
        FdGuard dir;
        while (!dir) {
            missing.push_back(baseNameOf(existing));
            const std::string parent = parentOf(existing);
            if (parent == existing) break;
            existing = parent;
            dir = FdGuard(::open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir && errno != ENOENT) break;
        }
        if (!dir) {
            problem = existing + ": " + errorText(errno);
            return FdGuard();
        }
        if (!mayWriteIn(dir.get(), existing)) return FdGuard();
        for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
            if (name->empty()) continue;
            existing = joinPath(existing, *name);
            if (::mkdirat(dir.get(), name->c_str(), 0700) != 0 && errno != EEXIST) {
                problem = existing + ": " + errorText(errno);
                return FdGuard();
            }
            FdGuard inner(::openat(dir.get(), name->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!inner) {
                problem = existing + ": " + errorText(errno);
                return FdGuard();
            }
            if (!mayWriteIn(inner.get(), existing)) return FdGuard();
            dir = std::move(inner);
        }
        return dir;
    }

    // Whether this user may write in the open folder `dir` (at `shown`).
    bool mayWriteIn(int dir, const std::string& shown) {
        struct stat st {};
        if (::fstat(dir, &st) != 0) {
            problem = shown + ": " + errorText(errno);
            return false;
        }
        if (st.st_uid != uid_) {
            problem = "the folder " + shown + " belongs to another user";
            return false;
        }
        if (uid_ != 0) return true;
        // Root may be running with another user's environment (su without
        // -): whatever that user points it at stays out of reach.
        if (rootHome_.empty()) rootHome_ = passwdHome(0).value_or(std::string());
        const std::string home = canonical(rootHome_);
        if (!within(whereIs(dir), home)) {
            problem = "run as root, Kestrova writes a profile only under root's home (" +
                      (home.empty() ? std::string("unknown") : home) + "), not in " + shown;
            return false;
        }
        return true;
    }

    // The target of the link `name` in `dir` (described by `st`), when it
    // may be followed: the link is this user's, and not too many were.
    bool follow(int dir, const std::string& name, const std::string& shown, const struct stat& st,
                std::string& target) {
        if (st.st_uid != uid_) {
            problem = "the link " + shown + " belongs to another user";
            return false;
        }
        if (++links_ > kMaxLinks) {
            problem = shown + ": " + errorText(ELOOP);
            return false;
        }
        char buffer[4096];
        const ssize_t length = ::readlinkat(dir, name.c_str(), buffer, sizeof buffer);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
            problem = shown + ": " + errorText(length < 0 ? errno : ENAMETOOLONG);
            return false;
        }
        target.assign(buffer, static_cast<std::size_t>(length));
        return true;
    }

    uid_t uid_;
    std::string rootHome_;
    FdGuard dir_;
    std::string name_;
    std::optional<mode_t> mode_;
    int links_ = 0;
};

namespace {

std::optional<std::string> getenvString(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string withoutTrailingSlashes(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace

LinuxProfileFile::LinuxProfileFile(std::string path, std::string rootHome)
    : path_(std::move(path)), rootHome_(std::move(rootHome)) {}

ProfileRead LinuxProfileFile::read() {
    ProfileRead result;
    FdGuard fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) return result;
        result.status = ProfileRead::Status::Unreadable;
        result.problem = errorText(error);
        return result;
    }
    result.status = ProfileRead::Status::Unreadable;
    static const std::string tooLarge = "larger than " + std::to_string(MAX_PROFILE_BYTES / 1024) + " KiB";
    struct stat st {};
    // A FIFO or device in the profile's place could block or never end;
    // O_NONBLOCK above keeps the open itself from waiting for a writer.
    if (::fstat(fd.get(), &st) != 0) {
        result.problem = errorText(errno);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.problem = "not a regular file";
        return result;
    }
    if (st.st_size > static_cast<off_t>(MAX_PROFILE_BYTES)) {
        result.problem = tooLarge;
        return result;
    }
    std::string contents;
    contents.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[16384];
    // One byte past the limit tells a file that grew, or whose size the
    // file system does not know, from one that fits.
    for (;;) {
        const std::size_t wanted = std::min(sizeof chunk, MAX_PROFILE_BYTES + 1 - contents.size());
        const ssize_t n = ::read(fd.get(), chunk, wanted);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.problem = errorText(errno);
            return result;
        }
        if (n == 0) break;
        contents.append(chunk, static_cast<std::size_t>(n));
        if (contents.size() > MAX_PROFILE_BYTES) {
            result.problem = tooLarge;
            return result;
        }
    }
    result.status = ProfileRead::Status::Read;
    result.text = std::move(contents);
    return result;
}

bool LinuxProfileFile::replace(const std::string& contents) {
    Writer writer(rootHome_);
    const bool done = writer.locate(path_) && writer.write(contents);
    problem_ = done ? std::string() : writer.problem;
    return done;
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
    const std::string dir = configDirFrom(xdg, home, needPasswd ? passwdHome(::getuid()) : std::nullopt);
    return joinPath(dir, profileFileNameFor(executablePath));
}

}  // namespace kestrova
