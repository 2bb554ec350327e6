// kestrova --log end to end: the real binary on the real kernel, without a
// display, logging a loopback connection this test opens and closes, then
// stopped the ways a terminal stops a program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "Subprocess.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::Subprocess;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::uint16_t portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

enum class Stop { Interrupt, Terminate, ClosedPipe };

struct StopCase {
    const char* name;
    Stop how;
    int endingSignal;  // what the parent sees the process end by
};

class LogModeTest : public ::testing::TestWithParam<StopCase> {
protected:
    void TearDown() override { std::filesystem::remove_all(config); }
    std::filesystem::path config =
        std::filesystem::temp_directory_path() /
        ("kestrova-log-" + std::to_string(getpid()) + "-" + GetParam().name);
};

TEST_P(LogModeTest, LogsALoopbackConnectionAndStopsPromptly) {
    // The profile asks for a 10 s interval; --interval makes it 100 ms for
    // this run, so only the override lets the lines below come in time.
    std::filesystem::create_directories(config);
    const std::string profile = "; mine\r\n[1040315]\r\nnetstatInterval=10000\r\nshowHostname=36\r\n";
    std::ofstream(config / "kestrova.INI", std::ios::binary) << profile;

    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in any = loopback(0);
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(listener.fd, 4), 0);
    const std::uint16_t port = portOf(listener.fd);

    auto environment = testing::withoutDisplay();
    environment["XDG_CONFIG_HOME"] = config.string();
    environment["QT_DEBUG_PLUGINS"] = "1";  // every plugin Qt looks for is named on standard error
    Subprocess child({KESTROVA_BINARY, "--log", "--interval", "100"}, testing::environmentWith(environment));
    ASSERT_TRUE(child.started());

    // The first tick logs at least our listener.
    ASSERT_TRUE(child.waitForLine([](const std::string&) { return true; }, 20s)) << child.standardError();
    const std::string maps = readFile("/proc/" + std::to_string(child.pid()) + "/maps");
    EXPECT_EQ(maps.find("/platforms/"), std::string::npos) << "a windowing platform plugin is loaded";
    EXPECT_EQ(maps.find("XcbQpa"), std::string::npos);

    const std::string destination = "(127.0.0.1:" + std::to_string(port) + ")との接続状態を";
    {
        Fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in server = loopback(port);
        ASSERT_EQ(connect(client.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
        Fd accepted(accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(child.waitForLine(
            [&](const std::string& line) {
                return line.find(destination + "(ESTABLISHED)で新規追加しました。") != std::string::npos;
            },
            3s))
            << "the new connection was not logged";
        // Reset rather than close, so no TIME_WAIT socket stands in for it.
        const linger reset{1, 0};
        setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ASSERT_TRUE(child.waitForLine(
        [&](const std::string& line) { return line.find(destination + "破棄しました。") != std::string::npos; }, 3s))
        << "the closed connection was not logged";

    // Every line: timestamp, tab, text; a stream that runs forward in time.
    const std::regex shape(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\t[^\t]*)");
    std::string previous;
    for (const std::string& line : child.lines()) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        const std::string stamp = line.substr(0, 19);
        EXPECT_LE(previous, stamp) << "lines out of order at " << line;
        previous = stamp;
    }

    const auto stopping = std::chrono::steady_clock::now();
    switch (GetParam().how) {
    case Stop::Interrupt: kill(child.pid(), SIGINT); break;
    case Stop::Terminate: kill(child.pid(), SIGTERM); break;
    case Stop::ClosedPipe: child.closeStdout(); break;
    }
    const std::optional<int> status = child.waitFor(2s);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopping);
    ASSERT_TRUE(status) << "still running after 2 s";
    EXPECT_LE(took.count(), 500);
    ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status);
    EXPECT_EQ(WTERMSIG(*status), GetParam().endingSignal);

    child.finish(2s);
    EXPECT_EQ(child.standardError().find("QFactoryLoader"), std::string::npos) << child.standardError();
    EXPECT_EQ(readFile(config / "kestrova.INI"), profile) << "the profile was written";
}

INSTANTIATE_TEST_SUITE_P(All, LogModeTest,
                         ::testing::Values(StopCase{"Interrupt", Stop::Interrupt, SIGINT},
                                           StopCase{"Terminate", Stop::Terminate, SIGTERM},
                                           StopCase{"ClosedPipe", Stop::ClosedPipe, SIGPIPE}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
