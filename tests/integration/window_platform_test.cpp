// Which window platform the real kestrova binary runs on under a Wayland
// desktop: a headless Wayland compositor of its own with an X server
// (XWayland) beside it, and the platform plugin the running program loaded,
// as its memory map shows it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::kPatience;
using testing::Subprocess;
namespace fs = std::filesystem;

const std::string kNoTopmostLine = "the window cannot stay on top or be transparent";

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The Qt platform plugins mapped into a process: "libqxcb.so" and the like.
std::set<std::string> platformPlugins(pid_t pid) {
    std::set<std::string> plugins;
    const std::string maps = readFile("/proc/" + std::to_string(pid) + "/maps");
    const std::regex plugin(R"(/platforms/(libq[^/\s]+\.so))");
    for (std::sregex_iterator it(maps.begin(), maps.end(), plugin), end; it != end; ++it) plugins.insert((*it)[1]);
    return plugins;
}

// weston on the headless back end with XWayland, in a runtime directory of
// its own; its output goes to a log file, where it names its X display.
class Compositor {
public:
    Compositor() {
        char pattern[] = "/tmp/kestrova-wayland-XXXXXX";
        if (!mkdtemp(pattern)) {
            problem_ = "cannot make a runtime directory";
            return;
        }
        runtime_ = pattern;
        socket_ = "kestrova-test-" + std::to_string(getpid());
        // XWayland's sockets live here; weston does not make the folder.
        if (mkdir("/tmp/.X11-unix", 01777) == 0) chmod("/tmp/.X11-unix", 01777);

        const fs::path log = runtime_ / "weston.log";
        const std::string socketOption = "--socket=" + socket_;
        std::vector<std::string> arguments = {"weston", "--backend=headless-backend.so", "--xwayland",
                                              socketOption, "--idle-time=0"};
        auto environment = testing::environmentWith({{"XDG_RUNTIME_DIR", runtime_.string()},
                                                     {"WAYLAND_DISPLAY", std::nullopt},
                                                     {"DISPLAY", std::nullopt}});
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv, envp;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed) {
            pid_ = -1;
            problem_ = "weston is not installed (scripts/install-deps.sh installs it)";
            return;
        }

        const std::regex listening(R"(xserver listening on display (:[0-9]+))");
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        for (;;) {
            const std::string text = readFile(log);
            std::smatch match;
            if (std::regex_search(text, match, listening) && fs::exists(runtime_ / socket_)) {
                display_ = match[1];
                return;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                problem_ = "weston ended at start-up:\n" + tail(text);
                return;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                problem_ = "weston did not offer its Wayland socket and X display in time:\n" + tail(text);
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    ~Compositor() {
        if (pid_ > 0) {
            // TERM first: weston then ends its clients and XWayland and
            // removes its sockets and the X display's lock file.
            kill(pid_, SIGTERM);
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + kPatience;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(20ms);
            }
        }
        std::error_code ignored;
        if (!runtime_.empty()) fs::remove_all(runtime_, ignored);
    }

    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    // Why the compositor is not running; empty when it runs.
    const std::string& problem() const { return problem_; }
    const fs::path& runtimeDirectory() const { return runtime_; }
    const std::string& socket() const { return socket_; }
    const std::string& display() const { return display_; }

private:
    static std::string tail(const std::string& text) {
        return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
    }

    pid_t pid_ = -1;
    fs::path runtime_;
    std::string socket_;
    std::string display_;
    std::string problem_;
};

struct PlatformCase {
    const char* name;
    bool xServer;                       // DISPLAY names XWayland's display
    std::optional<std::string> chosen;  // QT_QPA_PLATFORM
    std::string plugin;                 // the one platform plugin loaded
    int noTopmostLines;                 // how often standard error says so
    const char* display = nullptr;      // DISPLAY, when not XWayland's
};

class WindowPlatformTest : public ::testing::TestWithParam<PlatformCase> {
protected:
    static void SetUpTestSuite() { compositor = new Compositor; }
    static void TearDownTestSuite() {
        delete compositor;
        compositor = nullptr;
    }
    void SetUp() override {
        if (!compositor->problem().empty())
            GTEST_SKIP() << "no headless Wayland compositor here, so no Wayland desktop to run on: "
                         << compositor->problem();
    }
    static Compositor* compositor;
};

Compositor* WindowPlatformTest::compositor = nullptr;

TEST_P(WindowPlatformTest, LoadsTheExpectedPlatformPlugin) {
    const PlatformCase& c = GetParam();
    const fs::path config = compositor->runtimeDirectory() / (std::string("config-") + c.name);
    auto environment = testing::withoutDisplay();
    environment["XDG_RUNTIME_DIR"] = compositor->runtimeDirectory().string();
    environment["XDG_SESSION_TYPE"] = "wayland";
    environment["WAYLAND_DISPLAY"] = compositor->socket();
    environment["XDG_CONFIG_HOME"] = config.string();
    if (c.xServer) environment["DISPLAY"] = compositor->display();
    if (c.display) environment["DISPLAY"] = c.display;
    environment["QT_QPA_PLATFORM"] = c.chosen;
    Subprocess child({KESTROVA_BINARY}, testing::environmentWith(environment));
    ASSERT_TRUE(child.started());

    // The plugin is loaded when the application object is built; a platform
    // that cannot connect ends the program at once after that. The window
    // is up once the program has lived on for as long again as it took to
    // get there, however busy the machine.
    std::set<std::string> plugins;
    const auto started = std::chrono::steady_clock::now();
    while ((plugins = platformPlugins(child.pid())).empty() &&
           std::chrono::steady_clock::now() < started + kPatience) {
        if (child.waitFor(0ms)) break;
        std::this_thread::sleep_for(20ms);
    }
    const auto tookToLoad = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                  started);
    const bool endedEarly = child.waitFor(std::max<std::chrono::milliseconds>(tookToLoad, 1500ms)).has_value();
    if (!endedEarly) plugins = platformPlugins(child.pid());
    kill(child.pid(), SIGTERM);
    child.finish(kPatience);
    const std::string& err = child.standardError();

    EXPECT_FALSE(endedEarly) << "kestrova ended by itself; standard error:\n" << err;
    EXPECT_EQ(plugins, std::set<std::string>{c.plugin}) << "standard error:\n" << err;
    std::size_t lines = 0;
    for (std::size_t at = err.find(kNoTopmostLine); at != std::string::npos; at = err.find(kNoTopmostLine, at + 1))
        ++lines;
    EXPECT_EQ(lines, static_cast<std::size_t>(c.noTopmostLines)) << "standard error:\n" << err;
    // Leaving by a signal saves nothing.
    EXPECT_FALSE(fs::exists(config / "kestrova.INI"));
}

INSTANTIATE_TEST_SUITE_P(Wayland, WindowPlatformTest,
                         ::testing::Values(PlatformCase{"XServerAndNoChoice", true, std::nullopt, "libqxcb.so", 0},
                                           PlatformCase{"UsersChoiceKept", true, "wayland",
                                                        "libqwayland-generic.so", 0},
                                           PlatformCase{"NoXServer", false, std::nullopt,
                                                        "libqwayland-generic.so", 1},
                                           // A display that nothing serves: Wayland, as without one.
                                           PlatformCase{"UnreachableXServer", false, std::nullopt,
                                                        "libqwayland-generic.so", 1, ":8642"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
