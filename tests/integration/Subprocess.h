#pragma once
// Runs a program with pipes on its standard output and error, for tests that
// drive the real kestrova binary from outside.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "../support/Patience.h"

extern char** environ;

namespace kestrova::testing {

// The environment of this process with `changes` applied: a value sets a
// variable, std::nullopt removes it.
inline std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!changes.count(text.substr(0, text.find('=')))) result.push_back(text);
    }
    for (const auto& [name, value] : changes)
        if (value) result.push_back(name + "=" + *value);
    return result;
}

// The environment of a machine without any display.
inline std::map<std::string, std::optional<std::string>> withoutDisplay() {
    return {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"QT_QPA_PLATFORM", std::nullopt}};
}

class Subprocess {
public:
    Subprocess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv, envp;
        for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pid_ > 0) pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }

    ~Subprocess() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
        closeStdout();
        if (err_ >= 0) close(err_);
        if (pidFd_ >= 0) close(pidFd_);
    }

    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    const std::string& standardError() const { return err_text_; }

    // Reads standard output line by line until a line satisfies `wanted` or
    // `limit` passes; every line read is kept in lines().
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& wanted,
                                           std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t checked = lines_.size();
        for (;;) {
            for (; checked < lines_.size(); ++checked)
                if (wanted(lines_[checked])) return lines_[checked];
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return std::nullopt;
        }
    }
    const std::vector<std::string>& lines() const { return lines_; }

    // Reads standard output until `count` lines have come, or `limit` passes.
    bool waitForLines(std::size_t count, std::chrono::milliseconds limit = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (lines_.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Waits, without reading, until the process blocks in a write to its
    // standard output because the pipe is full; false when it ends first or
    // `limit` passes.
    bool waitUntilStdoutIsFull(std::chrono::milliseconds limit = kPatience) {
        for (const auto deadline = std::chrono::steady_clock::now() + limit;; usleep(5000)) {
            if (writingToStdout()) return true;
            if (ended() || std::chrono::steady_clock::now() > deadline) return false;
        }
    }
    // Reads both outputs to their end and waits for the process to end.
    // Returns its wait status, std::nullopt when it outlived `limit`.
    std::optional<int> finish(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out_ >= 0 || err_open_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            readSome(static_cast<int>(left.count()));
        }
        return waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
    }

    // Waits for the process to end without reading further output.
    std::optional<int> waitFor(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ended()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            if (pidFd_ < 0) {
                usleep(2000);  // a kernel without process descriptors
                continue;
            }
            pollfd end{pidFd_, POLLIN, 0};
            poll(&end, 1, static_cast<int>(left.count()));
        }
        return status_;
    }

    // Whether the process has ended; reaps it if so.
    bool ended() {
        if (status_) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = status;
        return true;
    }

    // Everything standard output carried, lines and the unfinished rest.
    std::string standardOutput() const {
        std::string all;
        for (const std::string& line : lines_) all += line + "\n";
        return all + partial_;
    }

    void closeStdout() {
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

private:
    // Whether a thread of the process waits in write(1, ...): for a blocked
    // thread the kernel shows the system call it is in and its arguments.
    bool writingToStdout() const {
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        DIR* directory = opendir(tasks.c_str());
        if (!directory) return false;
        bool writing = false;
        while (const dirent* entry = readdir(directory)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream call(tasks + "/" + entry->d_name + "/syscall");
            long number = -1;
            std::string fd;
            if (call >> number >> fd && number == SYS_write && fd == "0x1") writing = true;
        }
        closedir(directory);
        return writing;
    }

    // Waits up to `timeoutMs` for output and takes what came; false when both
    // outputs have ended or nothing came in time.
    bool readSome(int timeoutMs) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_open_ ? err_ : -1, POLLIN, 0}};
        if (out_ < 0 && !err_open_) return false;
        if (poll(fds, 2, timeoutMs) <= 0) return false;
        char buffer[4096];
        if (fds[0].revents) {
            const ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) {
                closeStdout();
            } else {
                partial_.append(buffer, static_cast<std::size_t>(n));
                for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
                    lines_.push_back(partial_.substr(0, end));
                    partial_.erase(0, end + 1);
                }
            }
        }
        if (fds[1].revents) {
            const ssize_t n = read(err_, buffer, sizeof buffer);
            if (n <= 0)
                err_open_ = false;
            else
                err_text_.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int pidFd_ = -1;  // readable once the process has ended
    int out_ = -1;
    int err_ = -1;
    bool err_open_ = true;
    std::optional<int> status_;
    std::vector<std::string> lines_;
    std::string partial_;
    std::string err_text_;
};

}  // namespace kestrova::testing
