#pragma once
#include <sys/types.h>

#include <mutex>
#include <string>

#include "platform/PacketSource.h"

namespace kestrova {

// A capture run by the capture helper program: the helper is started with
// what to capture, writes its records to a pipe, and is ended by its pid.
// It is the only process that ever holds the right to capture.
class LinuxPacketSource : public PacketSource {
public:
    explicit LinuxPacketSource(std::string helperPath);
    ~LinuxPacketSource() override;
    LinuxPacketSource(const LinuxPacketSource&) = delete;
    LinuxPacketSource& operator=(const LinuxPacketSource&) = delete;

    SourceStart start(const CaptureRequest& request) override;
    std::size_t read(std::span<std::byte> buffer) override;
    std::optional<std::size_t> readWithin(std::span<std::byte> buffer, int timeoutMs) override;
    void stop() override;
    SourceEnd finish() override;

    // The helper's process id while it runs, else -1.
    pid_t helperPid() const;

    // The helper's command line for a request, program path first.
    static std::vector<std::string> helperArguments(const std::string& helperPath, const CaptureRequest& request);

private:
    void reap();

    std::string helperPath_;
    int pipe_ = -1;      // read end of the helper's output
    int wake_ = -1;      // eventfd that stop() signals
    mutable std::mutex mutex_;
    pid_t pid_ = -1;
    bool stopped_ = false;
};

class LinuxPacketSources : public PacketSourceFactory {
public:
    explicit LinuxPacketSources(std::string helperPath) : helperPath_(std::move(helperPath)) {}
    std::unique_ptr<PacketSource> create() override;
    std::string capturePath() const override { return helperPath_; }
    // The helper's group, if its members may run it; the command that grants
    // it the capability, or installs it where that is safe to do.
    CaptureAccess access() const override;
    // A process that may gain no privilege on exec (no_new_privs, as a
    // hardened service runs) gives the helper no file capability: then only
    // root, or the capability already in the ambient set, can capture.
    bool mayCapture() const override;

private:
    std::string helperPath_;
};

// Where the capture helper is, for the program at `executable`: beside it in
// a build tree, or in ../libexec/kestrova/ of an installed tree. The first
// that exists wins; the one beside it when neither does.
std::string locateCaptureHelper(const std::string& executable);

inline constexpr const char* kCaptureHelperName = "kestrova-capture";

// The group that the install step lets run the helper.
#ifdef KESTROVA_CAPTURE_GROUP
inline constexpr const char* kCaptureGroup = KESTROVA_CAPTURE_GROUP;
#else
inline constexpr const char* kCaptureGroup = "kestrova";
#endif

// Whether root may grant `path` a capability without handing it to whoever
// can change the file: no symbolic link on the way, a regular file of root's
// that only root may write, in directories of root's that no one else may
// write (sticky ones aside).
bool safeToGrant(const std::string& path);

}  // namespace kestrova
