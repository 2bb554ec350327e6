// The owners of sockets whose process an ordinary user may not inspect: root
// sets up listeners in control groups of the test's own making, and the user
// nobody watches, through the table and through `kestrova --log`.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildCheck.h"
#include "LoopbackSockets.h"
#include "Subprocess.h"
#include "linux/ControlGroups.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxProcessInfo.h"
#include "monitor/RefreshCycle.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::connectTo;
using testing::kPatience;
using testing::Fd;
using testing::listenOnLoopback;
using testing::localPort;
namespace fs = std::filesystem;

// ---- where the cgroup v2 tree is mounted ----------------------------------

struct MountCase {
    const char* name;
    const char* mountinfo;
    std::optional<std::string> mount;
};

class FindCgroup2Mount : public ::testing::TestWithParam<MountCase> {};

TEST_P(FindCgroup2Mount, FromMountinfo) { EXPECT_EQ(findCgroup2Mount(GetParam().mountinfo), GetParam().mount); }

INSTANTIATE_TEST_SUITE_P(
    Samples, FindCgroup2Mount,
    ::testing::Values(
        MountCase{"Hybrid",
                  "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                  "31 23 0:28 / /sys/fs/cgroup ro,nosuid shared:9 - tmpfs tmpfs ro,mode=755\n"
                  "32 31 0:29 / /sys/fs/cgroup/unified rw,nosuid,nodev shared:10 - cgroup2 cgroup2 rw,nsdelegate\n"
                  "33 31 0:30 / /sys/fs/cgroup/systemd rw shared:11 - cgroup cgroup rw,xattr,name=systemd\n",
                  "/sys/fs/cgroup/unified"},
        MountCase{"Unified",
                  "25 30 0:23 / /sys rw shared:7 - sysfs sysfs rw\n"
                  "26 25 0:24 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:8 - cgroup2 cgroup2 "
                  "rw,nsdelegate,memory_recursiveprot",
                  "/sys/fs/cgroup"},
        MountCase{"NoneOnlyTheOlderHierarchies",
                  "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
                  "40 31 0:37 / /sys/fs/cgroup/systemd rw,relatime - cgroup cgroup rw,name=systemd\n",
                  std::nullopt},
        MountCase{"NoneAtAll", "", std::nullopt},
        MountCase{"WholeTreeAfterASubtreeMountedFirst",
                  "50 22 0:29 /system.slice/x.service /srv/x rw - cgroup2 cgroup2 rw\n"
                  "51 22 0:29 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                  "/sys/fs/cgroup"},
        MountCase{"OnlyASubtree", "50 22 0:29 /lxc/c1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", "/sys/fs/cgroup"},
        MountCase{"EscapedMountPointAndNoOptionalFields",
                  "60 22 0:29 / /mnt/cg\\040two\\134x rw - cgroup2 none rw\n", "/mnt/cg two\\x"},
        MountCase{"TruncatedLinesAreSkipped", "60 22 0:29 / /mnt/a rw - \n61 22 0:29 / /mnt/b\n"
                                              "62 22 0:29 / /mnt/c rw - cgroup2\n",
                  "/mnt/c"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- root's listeners, watched by nobody ----------------------------------

bool writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

// A process of root's that holds a listener on 127.0.0.1 and one connection
// to it, made inside the control group it first moves itself into. Killed
// when the test ends; it ends by itself after a minute in any case.
class RootListener {
public:
    // `group`: the group's folder; `then`: a group to move on to once the
    // sockets are made (or empty).
    RootListener(const fs::path& group, const fs::path& then = {}) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            // A socket takes the group of the process that makes it.
            if (!writeFile(group / "cgroup.procs", "0")) _exit(1);
            Fd listener = listenOnLoopback();
            Fd client = connectTo(localPort(listener.get()));
            Fd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (accepted.get() < 0) _exit(1);
            if (!then.empty() && !writeFile(then / "cgroup.procs", "0")) _exit(1);
            const std::uint16_t ports[2] = {localPort(listener.get()), localPort(client.get())};
            if (write(ready[1], ports, sizeof ports) != sizeof ports) _exit(1);
            for (int i = 0; i < 60 && getppid() != 1; ++i) sleep(1);
            _exit(0);
        }
        close(ready[1]);
        std::uint16_t ports[2] = {};
        if (pid_ > 0 && read(ready[0], ports, sizeof ports) == sizeof ports) {
            port = ports[0];
            clientPort = ports[1];
        }
        close(ready[0]);
    }
    ~RootListener() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return port != 0; }

    std::uint16_t port = 0, clientPort = 0;

private:
    pid_t pid_ = -1;
};

// Folders of the cgroup v2 tree made for one test, removed when it ends.
class TestGroups {
public:
    TestGroups() {
        std::ifstream in("/proc/self/mountinfo");
        std::ostringstream text;
        text << in.rdbuf();
        if (auto mount = findCgroup2Mount(text.str())) root = *mount;
        if (root.empty()) return;
        base = root / ("kestrova-test-" + std::to_string(getpid()));
        std::error_code error;
        if (!fs::create_directory(base, error)) base.clear();
    }
    ~TestGroups() {
        if (base.empty()) return;
        // Deepest first; a group empties once its processes are gone.
        std::vector<fs::path> groups;
        for (const auto& entry : fs::recursive_directory_iterator(base))
            if (entry.is_directory()) groups.push_back(entry.path());
        for (auto it = groups.rbegin(); it != groups.rend(); ++it) rmdir(it->c_str());
        rmdir(base.c_str());
    }
    fs::path make(const std::string& name) {
        const fs::path group = base / name;
        return mkdir(group.c_str(), 0755) == 0 ? group : fs::path();
    }

    fs::path root;  // the tree's root group
    fs::path base;  // the test's own group under it
};

// Runs `check` in a child process as the user nobody and returns what it
// returned: empty when all went well.
std::string asNobody(const std::function<std::string()>& check) { return testing::inChild(check, true); }

class OwnerNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make control groups and sockets nobody cannot inspect";
        if (groups.base.empty()) GTEST_SKIP() << "no writable cgroup v2 tree here";
    }
    TestGroups groups;
};

// The new-row line of the connection of `owner` to 127.0.0.1:`port`.
std::string addedLine(const std::string& owner, std::uint16_t port) {
    return "(" + owner + ")の(127.0.0.1:" + std::to_string(port) + ")との接続状態を(ESTABLISHED)で新規追加しました。";
}

TEST_F(OwnerNamesTest, NobodySeesTheGroupAndUserOfRootsSockets) {
    const fs::path probe = groups.make("kestrova-probe.service");
    const fs::path gone = groups.make("kestrova-gone.service");
    ASSERT_FALSE(probe.empty());
    ASSERT_FALSE(gone.empty());
    RootListener inService(probe);
    RootListener inRoot(groups.root);
    // Made in a group that is removed while its sockets live on.
    RootListener inRemoved(gone, groups.root);
    ASSERT_TRUE(inService.ready() && inRoot.ready() && inRemoved.ready());
    ASSERT_EQ(rmdir(gone.c_str()), 0) << std::strerror(errno);

    const std::string failure = asNobody([&]() -> std::string {
        // A socket of the watcher's own: its program and process id.
        Fd own = listenOnLoopback();
        char self[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
        if (own.get() < 0 || length <= 0) return "no socket of our own";

        LinuxConnectionTable table;
        LinuxProcessInfo processes;
        ConnectionList list;
        std::vector<std::string> log;
        RefreshCycle refresh(list, table, processes, [&log](std::string_view line) { log.emplace_back(line); }, {});
        refresh.tick(false);

        std::string failures;
        auto expectRow = [&](std::uint16_t port, const char* remote, std::uint16_t remotePort, const std::string& owner,
                             const std::string& pid) {
            const int row = list.findRow({"127.0.0.1", std::to_string(port), remote, std::to_string(remotePort), pid});
            if (row < 0)
                failures += "no row for port " + std::to_string(port) + " with process id '" + pid + "'; ";
            else if (cellText(list, row, colProcess) != owner)
                failures += "port " + std::to_string(port) + " shows " + cellText(list, row, colProcess) + ", not " +
                            owner + "; ";
        };
        expectRow(inService.port, "0.0.0.0", 0, "kestrova-probe.service (root)", "");
        expectRow(inService.clientPort, "127.0.0.1", inService.port, "kestrova-probe.service (root)", "");
        expectRow(inRoot.port, "0.0.0.0", 0, "System (root)", "");
        expectRow(inRemoved.port, "0.0.0.0", 0, "System (root)", "");
        expectRow(localPort(own.get()), "0.0.0.0", 0, std::string(self, static_cast<std::size_t>(length)),
                  std::to_string(getpid()));
        if (std::find(log.begin(), log.end(), addedLine("kestrova-probe.service (root)", inService.port)) == log.end())
            failures += "no new-row line for the service's connection; ";
        // The removed group's id is not looked for again.
        refresh.tick(false);
        if (processes.controlGroups().walks() != 1)
            failures += std::to_string(processes.controlGroups().walks()) + " walks of the groups; ";
        return failures;
    });
    EXPECT_EQ(failure, "");
}

TEST_F(OwnerNamesTest, LogModeRunAsNobodyNamesTheService) {
    const fs::path probe = groups.make("kestrova-probe.service");
    ASSERT_FALSE(probe.empty());
    RootListener inService(probe);
    ASSERT_TRUE(inService.ready());

    auto environment = testing::withoutDisplay();
    environment["XDG_CONFIG_HOME"] = "/nonexistent/kestrova-owner-names";
    const testing::ReachableCopy program(KESTROVA_BINARY);
    testing::Subprocess child({"/usr/sbin/runuser", "-u", "nobody", "--", program.path(), "--log", "--interval", "100"},
                              testing::environmentWith(environment));
    ASSERT_TRUE(child.started());
    const std::string wanted = addedLine("kestrova-probe.service (root)", inService.port);
    EXPECT_TRUE(child.waitForLine([&](const std::string& line) { return line.ends_with("\t" + wanted); }, kPatience))
        << child.standardOutput() << child.standardError();
    kill(child.pid(), SIGTERM);  // runuser hands it on and waits for the program
    EXPECT_TRUE(child.finish(kPatience));
}

// ---- out of descriptors ---------------------------------------------------

// The owner's pid of the client end of a connection to 127.0.0.1, by the
// client's port; nothing without a row.
std::optional<std::uint32_t> ownerOf(const std::vector<TcpRow>& rows, int client) {
    for (const TcpRow& row : rows)
        if (row.localAddr == IpAddress(127, 0, 0, 1) && row.localPort == localPort(client)) return row.pid;
    return std::nullopt;
}

// A walk of the processes that runs out of descriptors is no news of any
// owner's end: the owners found before stay, and the walk is made again.
TEST(OutOfDescriptors, OwnersStayAndAreLookedUpAgain) {
    const std::string failure = testing::inChild([]() -> std::string {
        const auto self = static_cast<std::uint32_t>(getpid());
        Fd listener = listenOnLoopback();
        Fd first = connectTo(localPort(listener.get()));
        LinuxConnectionTable table;
        std::vector<TcpRow> rows;
        if (!table.snapshot(rows) || ownerOf(rows, first.get()) != self) return "no owner to begin with";
        // Not known yet: the next snapshot walks the processes.
        Fd second = connectTo(localPort(listener.get()));
        std::string failures;
        {
            testing::DescriptorsUsedUp used;
            if (!table.snapshot(rows)) return "no table while out of descriptors";
            if (ownerOf(rows, first.get()) != self) failures += "the known owner was dropped; ";
            if (ownerOf(rows, second.get()) != kPidNotVisible) failures += "an owner was made up; ";
        }
        std::this_thread::sleep_for(1100ms);
        if (!table.snapshot(rows) || ownerOf(rows, second.get()) != self)
            failures += "the owner was not looked up again; ";
        return failures;
    });
    EXPECT_EQ(failure, "");
}

TEST_F(OwnerNamesTest, AGroupWalkThatRanOutOfDescriptorsIsMadeAgain) {
    const fs::path group = groups.make("kestrova-late.service");
    ASSERT_FALSE(group.empty());
    struct stat folder {};
    ASSERT_EQ(stat(group.c_str(), &folder), 0);
    const std::string path = "/" + fs::relative(group, groups.root).string();
    const std::string failure = testing::inChild([&]() -> std::string {
        ControlGroups known;
        {
            testing::DescriptorsUsedUp used;
            if (known.path(folder.st_ino)) return "named with no descriptor to look with";
        }
        known.beginTick();
        const std::optional<std::string> found = known.path(folder.st_ino);
        return found == path ? "" : "not named once descriptors were there: " + found.value_or("nothing");
    });
    EXPECT_EQ(failure, "");
}

// ---- a program whose file name anyone may choose ------------------------

// A copy of sleep named with a terminal escape, a line break, a C1 control
// both as a character and as a bare byte, a byte that is no UTF-8 and a
// right-to-left override, run for real and holding a listener of ours.
class HostileProgram {
public:
    HostileProgram() {
        dir = fs::temp_directory_path() / ("kestrova-hostile-" + std::to_string(getpid()));
        fs::create_directories(dir);
        const fs::path program = dir / "k\x1b[31m\n\xc2\x9b\x9b\xff\u202egpj.exe";
        shown = dir.string() + "/k\\x1b[31m\\x0a\\u009b\\x9b\\xff\\u202egpj.exe";
        std::error_code error;
        fs::copy_file("/bin/sleep", program, error);
        if (error) return;
        Fd listener = listenOnLoopback();
        port = localPort(listener.get());
        fcntl(listener.get(), F_SETFD, 0);  // goes with the program, and only there
        pid_ = fork();
        if (pid_ == 0) {
            execl(program.c_str(), "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Its image is the hostile file once it shows as such.
        for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
             pid_ > 0 && std::chrono::steady_clock::now() < deadline;) {
            std::error_code ignored;
            if (fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ignored) == program) return;
            usleep(5000);
        }
        port = 0;
    }
    ~HostileProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    pid_t pid() const { return pid_; }
    // The lines naming it when its listener turns up.
    std::string processLine() const {
        return "プロセスID:(" + std::to_string(pid_) + ")→プログラム名:(" + shown + ")";
    }

    fs::path dir;
    std::string shown;  // its path as shown
    std::uint16_t port = 0;

private:
    pid_t pid_ = -1;
};

TEST(HostileProgramName, IsShownEscapedInTheRowTheLogAndLogMode) {
    HostileProgram program;
    ASSERT_NE(program.port, 0) << "the program did not start";

    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    ConnectionList list;
    std::vector<std::string> log;
    RefreshCycle refresh(list, table, processes, [&log](std::string_view line) { log.emplace_back(line); }, {});
    refresh.tick(false);
    const int row = list.findRow({"127.0.0.1", std::to_string(program.port), "0.0.0.0", "0", std::to_string(program.pid())});
    ASSERT_GE(row, 0);
    EXPECT_EQ(cellText(list, row, colProcess), program.shown);
    const auto line = std::find(log.begin(), log.end(), program.processLine());
    ASSERT_NE(line, log.end());
    ASSERT_NE(line + 1, log.end());
    EXPECT_EQ(line[1], "(" + program.shown + ")の(0.0.0.0:0)との接続状態を(LISTEN)で新規追加しました。");

    auto environment = testing::withoutDisplay();
    environment["XDG_CONFIG_HOME"] = "/nonexistent/kestrova-hostile";
    testing::Subprocess child({KESTROVA_BINARY, "--log", "--interval", "100"}, testing::environmentWith(environment));
    ASSERT_TRUE(child.started());
    EXPECT_TRUE(child.waitForLine([&](const std::string& l) { return l.ends_with("\t" + program.processLine()); }, kPatience))
        << child.standardOutput();
    kill(child.pid(), SIGTERM);
    EXPECT_TRUE(child.finish(kPatience));
}

}  // namespace
}  // namespace kestrova
