// kestrova --log end to end: the real binary on the real kernel, without a
// display, logging a loopback connection this test opens and closes, then
// stopped the ways a terminal stops a program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"
#include "linux/LinuxAddressList.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using testing::kPatience;
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

enum class Stop { Interrupt, Terminate, Hangup, ClosedPipe };

struct StopCase {
    const char* name;
    Stop how;
    int endingSignal;  // what the parent sees the process end by
    bool json = false;
};

void stop(Subprocess& child, Stop how) {
    switch (how) {
    case Stop::Interrupt: kill(child.pid(), SIGINT); break;
    case Stop::Terminate: kill(child.pid(), SIGTERM); break;
    case Stop::Hangup: kill(child.pid(), SIGHUP); break;
    case Stop::ClosedPipe: child.closeStdout(); break;
    }
}

class LogModeTest : public ::testing::TestWithParam<StopCase> {
protected:
    void TearDown() override { std::filesystem::remove_all(config); }
    std::filesystem::path config =
        std::filesystem::temp_directory_path() /
        ("kestrova-log-" + std::to_string(getpid()) + "-" + GetParam().name);
};

TEST_P(LogModeTest, LogsALoopbackConnectionAndEndsOnEveryStop) {
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
    std::vector<std::string> arguments = {KESTROVA_BINARY, "--log", "--interval", "100"};
    if (GetParam().json) arguments.push_back("--json");
    Subprocess child(arguments, testing::environmentWith(environment));
    ASSERT_TRUE(child.started());

    // The first tick logs at least our listener.
    ASSERT_TRUE(child.waitForLine([](const std::string&) { return true; }, kPatience)) << child.standardError();
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
            kPatience))
            << "the new connection was not logged";
        // Reset rather than close, so no TIME_WAIT socket stands in for it.
        const linger reset{1, 0};
        setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ASSERT_TRUE(child.waitForLine(
        [&](const std::string& line) { return line.find(destination + "破棄しました。") != std::string::npos; },
        kPatience))
        << "the closed connection was not logged";

    // Every line: timestamp, tab, text, or one JSON object that starts with
    // its time; a stream that runs forward in time.
    const std::regex shape(GetParam().json ? R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d",.*\})"
                                           : R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\t[^\t]*)");
    std::string previous;
    for (const std::string& line : child.lines()) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        const std::string stamp = GetParam().json ? line.substr(9, 23) : line.substr(0, 19);
        EXPECT_LE(previous, stamp) << "lines out of order at " << line;
        previous = stamp;
    }

    // However busy the machine, a stop ends the run: nothing it waits for
    // (a lookup, a stalled reader) may hold it up.
    stop(child, GetParam().how);
    const std::optional<int> status = child.waitFor(kPatience);
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status);
    EXPECT_EQ(WTERMSIG(*status), GetParam().endingSignal);

    child.finish(kPatience);
    EXPECT_EQ(child.standardError().find("QFactoryLoader"), std::string::npos) << child.standardError();
    EXPECT_EQ(readFile(config / "kestrova.INI"), profile) << "the profile was written";
}

INSTANTIATE_TEST_SUITE_P(All, LogModeTest,
                         ::testing::Values(StopCase{"Interrupt", Stop::Interrupt, SIGINT},
                                           StopCase{"Terminate", Stop::Terminate, SIGTERM},
                                           StopCase{"ClosedPipe", Stop::ClosedPipe, SIGPIPE},
                                           StopCase{"JsonInterrupt", Stop::Interrupt, SIGINT, true},
                                           StopCase{"JsonHangup", Stop::Hangup, SIGHUP, true},
                                           StopCase{"JsonClosedPipe", Stop::ClosedPipe, SIGPIPE, true}),
                         [](const auto& info) { return std::string(info.param.name); });


// A loopback listener with the connections made to it, both ends held here.
struct Loopback {
    Fd listener{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::uint16_t port = 0;
    std::vector<std::unique_ptr<Fd>> ends;

    Loopback() {
        const sockaddr_in any = loopback(0);
        bind(listener.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any);
        listen(listener.fd, 1024);
        port = portOf(listener.fd);
    }
    // Connects `count` clients and accepts them.
    bool connectClients(int count) {
        for (int i = 0; i < count; ++i) {
            auto client = std::make_unique<Fd>(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const sockaddr_in server = loopback(port);
            if (connect(client->fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) return false;
            ends.push_back(std::move(client));
            ends.push_back(std::make_unique<Fd>(accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC)));
        }
        return true;
    }
};

// Closes with a reset, so that no TIME_WAIT socket or half-closed state
// stands in for the connection: it is there, then it is gone.
void resetAndClose(Fd& end) {
    const linger reset{1, 0};
    setsockopt(end.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(end.fd);
    end.fd = -1;
}

std::string writeTemp(const std::string& name, const std::string& text) {
    const auto path = std::filesystem::temp_directory_path() / ("kestrova-" + std::to_string(getpid()) + "-" + name);
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

// Runs python3's own JSON parser over `arguments`; its standard output.
std::string python(const std::string& script, const std::vector<std::string>& arguments, int& status) {
    std::vector<std::string> command = {"/usr/bin/python3", "-c", script};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Subprocess child(command, testing::environmentWith({}));
    const std::optional<int> ended = child.finish(kPatience);
    status = ended && WIFEXITED(*ended) ? WEXITSTATUS(*ended) : -1;
    return child.standardOutput() + child.standardError();
}

// Every JSON line parses (strict UTF-8, strict JSON) and has its time, a known
// event word and a text; the lines about the given ports and process ids each
// have a line of the same text in the text log. Prints how many were matched.
const char* const kCompareScript = R"PY(
import json, os, re, sys
text_log, json_log, ports, pids, hostile_pid, hostile_path = sys.argv[1:7]
ports = {int(p) for p in ports.split(',')}
pids = {int(p) for p in pids.split(',')}
texts = {}
for raw in open(text_log, 'rb').read().split(b'\n'):
    if not raw: continue
    stamp, tab, text = raw.partition(b'\t')
    assert tab and re.fullmatch(rb'\d{4}/\d\d/\d\d \d\d:\d\d:\d\d', stamp), raw
    text = text.decode('utf-8', 'replace')
    texts[text] = texts.get(text, 0) + 1
words = {'added', 'changed', 'removed', 'process', 'resolveStart', 'resolveEnd', 'name', 'capture', 'permission',
         'option'}
hostile = os.fsencode(hostile_path).decode('utf-8', 'replace')
matched = hostile_seen = 0
for raw in open(json_log, 'rb').read().split(b'\n'):
    if not raw: continue
    event = json.loads(raw.decode('utf-8'))
    assert re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d', event['time']), raw
    assert event['event'] in words and isinstance(event['text'], str), raw
    if event['event'] in ('added', 'changed', 'removed'):
        assert all(isinstance(event[k], str) for k in ('local', 'remote', 'localIp', 'remoteIp', 'state', 'process'))
        assert all(isinstance(event[k], int) for k in ('localPort', 'remotePort')), raw
        assert event['local'] == event['localIp'] + ':' + str(event['localPort']), raw
    ours = event.get('localPort') in ports or event.get('remotePort') in ports or event.get('pid') in pids
    if not ours: continue
    assert texts.get(event['text'], 0) > 0, 'not in the text log: ' + event['text']
    texts[event['text']] -= 1
    matched += 1
    if event.get('pid') == int(hostile_pid):
        assert event['process'] == hostile, (event['process'], hostile)
        hostile_seen += 1
assert hostile_seen >= 2, 'the hostile program was not named'
print(matched)
)PY";

std::vector<std::string> logCommand(bool json) {
    std::vector<std::string> command = {KESTROVA_BINARY, "--log", "--interval", "100"};
    if (json) command.push_back("--json");
    return command;
}

bool sawLine(Subprocess& child, const std::string& text) {
    return child.waitForLine([&](const std::string& line) { return line.find(text) != std::string::npos; }, kPatience)
        .has_value();
}

// --log and --log --json watch the same connections, one made by a program
// whose path holds quotes, a backslash, a control character and a byte that
// is not UTF-8: every JSON line parses, and each has its text-log twin.
TEST(JsonLogTest, EveryLineParsesAndMatchesTheTextLogOfTheSameConnections) {
    const auto folder = std::filesystem::temp_directory_path() / ("kestrova-json-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string hostile = (folder / "sh \"q\" \\ \x01\xff").string();
    std::filesystem::copy_file("/bin/bash", hostile, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(hostile, std::filesystem::perms::owner_all);
    // As every output shows it: the control character and the stray byte
    // escaped, the quotes and the backslash as they are.
    const std::string shown = (folder / "sh \"q\" \\ \\x01\\xff").string();

    Loopback server;
    auto environment = testing::withoutDisplay();
    environment["XDG_CONFIG_HOME"] = folder.string();
    Subprocess text(logCommand(false), testing::environmentWith(environment));
    Subprocess json(logCommand(true), testing::environmentWith(environment));
    ASSERT_TRUE(text.started() && json.started());
    const std::string port = std::to_string(server.port);
    // The first tick, which has the listener among its lines.
    for (Subprocess* child : {&text, &json})
        ASSERT_TRUE(child->waitForLine([](const std::string&) { return true; }, kPatience)) << child->standardError();

    // The hostile program connects and waits for its end.
    Subprocess client({hostile, "-c", "exec 3<>/dev/tcp/127.0.0.1/" + port + "; read -r _ <&3"},
                      testing::environmentWith({}));
    ASSERT_TRUE(client.started());
    Fd accepted(accept4(server.listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    getpeername(accepted.fd, reinterpret_cast<sockaddr*>(&peer), &length);
    const std::string clientPort = std::to_string(ntohs(peer.sin_port));
    const std::string added = "(127.0.0.1:" + port + ")との接続状態を(ESTABLISHED)で新規追加しました。";
    for (Subprocess* child : {&text, &json}) ASSERT_TRUE(sawLine(*child, added)) << child->standardError();

    resetAndClose(accepted);
    for (Subprocess* child : {&text, &json})
        ASSERT_TRUE(sawLine(*child, "(127.0.0.1:" + port + ")との接続状態を破棄しました。"));
    client.finish(kPatience);
    server.listener.fd = (close(server.listener.fd), -1);
    for (Subprocess* child : {&text, &json}) ASSERT_TRUE(sawLine(*child, "(0.0.0.0:0)との接続状態を破棄しました。"));
    for (Subprocess* child : {&text, &json}) {
        kill(child->pid(), SIGINT);
        child->finish(kPatience);
    }

    int status = -1;
    const std::string result = python(
        kCompareScript,
        {writeTemp("text.log", text.standardOutput()), writeTemp("json.log", json.standardOutput()),
         port + "," + clientPort, std::to_string(getpid()) + "," + std::to_string(client.pid()),
         std::to_string(client.pid()), shown},
        status);
    EXPECT_EQ(status, 0) << result;
    // Our listener, our accepted end and the client end, each added and
    // removed, and the two process lines.
    EXPECT_GE(std::atoi(result.c_str()), 8) << result;
    std::filesystem::remove_all(folder);
}

// The state names of ss and of the window.
std::string windowState(const std::string& ss) {
    static const std::map<std::string, std::string> names = {
        {"ESTAB", "ESTABLISHED"},       {"SYN-SENT", "SYN_SENT"},     {"SYN-RECV", "SYN_RCVD"},
        {"FIN-WAIT-1", "FIN_WAIT1"},    {"FIN-WAIT-2", "FIN_WAIT2"},  {"TIME-WAIT", "TIME_WAIT"},
        {"CLOSE-WAIT", "CLOSE_WAIT"},   {"LAST-ACK", "LAST_ACK"},     {"UNCONN", "CLOSED"}};
    const auto it = names.find(ss);
    return it == names.end() ? ss : it->second;
}

using Endpoints = std::set<std::string>;  // "local remote state"

// The lines of `text` whose first field (after `skip` fields) is ours.
Endpoints ofPort(const std::vector<std::string>& rows, const std::string& port) {
    Endpoints ours;
    for (const std::string& row : rows)
        if (row.find("127.0.0.1:" + port + " ") != std::string::npos ||
            row.find("127.0.0.1:" + port + "\t") != std::string::npos || row.ends_with("127.0.0.1:" + port))
            ours.insert(row);
    return ours;
}

std::vector<std::string> fields(const std::string& line, char separator) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator))
        if (separator != ' ' || !field.empty()) out.push_back(field);
    return out;
}

// --list and --list --json show what ss shows of the same loopback
// connections: the same endpoints in the same states.
TEST(ListTest, AgreesWithSsOnTheSameLoopbackConnections) {
    Loopback server;
    ASSERT_TRUE(server.connectClients(3));
    // One client closes: it waits in FIN_WAIT2, its peer in CLOSE_WAIT.
    close(server.ends[4]->fd);
    server.ends[4]->fd = -1;
    char byte;
    ASSERT_EQ(recv(server.ends[5]->fd, &byte, 1, 0), 0);  // the peer has the FIN
    const std::string port = std::to_string(server.port);
    auto environment = testing::withoutDisplay();

    struct Views {
        Endpoints ss, list, json;
    };
    // Three tools, three moments: on a busy machine a transition may fall
    // between them, so a disagreement is looked at again, up to three times.
    auto look = [&]() -> std::optional<Views> {
        Subprocess ss({"/usr/bin/ss", "-tanH"}, testing::environmentWith({}));
        Subprocess list({KESTROVA_BINARY, "--list"}, testing::environmentWith(environment));
        Subprocess listJson({KESTROVA_BINARY, "--list", "--json"}, testing::environmentWith(environment));
        for (Subprocess* child : {&ss, &list, &listJson}) {
            const std::optional<int> status = child->finish(kPatience);
            EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << child->standardError();
        }
        std::vector<std::string> fromSs;
        for (const std::string& line : ss.lines()) {
            const auto f = fields(line, ' ');
            if (f.size() < 5) continue;
            std::string remote = f[4];
            if (remote.ends_with(":*")) remote.back() = '0';
            fromSs.push_back(f[3] + " " + remote + " " + windowState(f[0]));
        }
        if (list.lines().empty()) return std::nullopt;
        EXPECT_EQ(list.lines().front(), "あくちぶ\tせつぞくもと\t\tせつぞくさき\tじょうたい\tつないでるひと\tあいでぃ");
        std::vector<std::string> fromList;
        for (std::size_t i = 1; i < list.lines().size(); ++i) {
            const auto f = fields(list.lines()[i], '\t');
            if (f.size() < 6) return std::nullopt;
            fromList.push_back(f[1] + " " + f[3] + " " + f[4]);
        }
        int status = -1;
        const std::string fromJson = python(
            "import json, sys\n"
            "for row in json.loads(open(sys.argv[1], 'rb').read().decode('utf-8')):\n"
            "    print(row['local'], row['remote'], row['state'])\n",
            {writeTemp("list.json", listJson.standardOutput())}, status);
        EXPECT_EQ(status, 0) << fromJson;
        return Views{ofPort(fromSs, port), ofPort(fromList, port), ofPort(fields(fromJson, '\n'), port)};
    };
    std::optional<Views> views;
    for (int attempt = 0; attempt < 3; ++attempt) {
        views = look();
        if (views && views->list == views->ss && views->json == views->ss) break;
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(views);
    // The listener and three pairs.
    EXPECT_EQ(views->ss.size(), 7u);
    EXPECT_EQ(views->list, views->ss);
    EXPECT_EQ(views->json, views->ss);
}

// A reader that stops reading holds up nothing but the writing: the monitor
// goes on, and once the reader reads again every line comes, in order,
// among them those of a connection that came and went meanwhile. A stop
// signal ends a run whose reader never reads again.
TEST(StalledReaderTest, TheMonitorGoesOnAndWritesOnWhenTheReaderCatchesUp) {
    Loopback many;
    ASSERT_TRUE(many.connectClients(400));  // far more lines than a pipe holds
    auto environment = testing::withoutDisplay();
    Subprocess resumed(logCommand(true), testing::environmentWith(environment));
    Subprocess abandoned(logCommand(true), testing::environmentWith(environment));
    // A third run, read all along, tells when the monitors can have seen
    // the connection below come and go.
    Subprocess watcher(logCommand(false), testing::environmentWith(environment));
    ASSERT_TRUE(resumed.started() && abandoned.started() && watcher.started());
    // Both stall in their first tick's lines, so every later line comes after them.
    ASSERT_TRUE(resumed.waitUntilStdoutIsFull()) << resumed.standardError();
    ASSERT_TRUE(abandoned.waitUntilStdoutIsFull()) << abandoned.standardError();

    Loopback meanwhile;
    const std::string destination = "(127.0.0.1:" + std::to_string(meanwhile.port) + ")との接続状態を";
    const auto opened = std::chrono::steady_clock::now();
    ASSERT_TRUE(meanwhile.connectClients(1));
    ASSERT_TRUE(sawLine(watcher, destination + "(ESTABLISHED)で新規追加しました。"));
    // Open as long again as the watcher took to see it: the stalled runs,
    // which refresh as often, see it too, however busy the machine.
    std::this_thread::sleep_for(std::chrono::steady_clock::now() - opened);
    for (auto& end : meanwhile.ends) resetAndClose(*end);
    ASSERT_TRUE(sawLine(watcher, destination + "破棄しました。"));

    kill(abandoned.pid(), SIGTERM);
    const std::optional<int> status = abandoned.waitFor(kPatience);
    ASSERT_TRUE(status) << "a run whose reader stalled did not end on SIGTERM";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);

    ASSERT_TRUE(sawLine(resumed, destination + "破棄しました。")) << resumed.lines().size() << " lines";
    std::size_t added = 0, removed = 0;
    for (std::size_t i = 0; i < resumed.lines().size(); ++i) {
        if (resumed.lines()[i].find(destination + "(ESTABLISHED)で新規追加しました。") != std::string::npos) added = i;
        if (resumed.lines()[i].find(destination + "破棄しました。") != std::string::npos) removed = i;
    }
    EXPECT_GT(added, 1600u) << "the lines of the first tick come first";
    EXPECT_LT(added, removed);
    kill(resumed.pid(), SIGTERM);
    resumed.finish(kPatience);
    EXPECT_EQ(resumed.standardError(), "");
}

// Ctrl+C in the terminal that runs --log --check-packet reaches kestrova
// alone, not its capture helpers: it stops them in order, so no line says
// that a capture stopped, and the run ends by the interrupt.
TEST(LogModeTerminalTest, CtrlCStopsPacketCheckingWithoutAStoppedLine) {
    if (geteuid() != 0) GTEST_SKIP() << "capturing needs root here";
    const auto addresses = LinuxAddressList().query();
    ASSERT_TRUE(addresses && !addresses->empty());
    const auto config = std::filesystem::temp_directory_path() / ("kestrova-ctrl-c-" + std::to_string(getpid()));
    auto environment = testing::withoutDisplay();
    environment["XDG_CONFIG_HOME"] = config.string();
    std::vector<std::string> arguments = {KESTROVA_BINARY, "--log", "--check-packet", "--interval", "100"};
    std::vector<std::string> variables = testing::environmentWith(environment);
    std::vector<char*> argv, envp;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    // What the terminal shows, until `enough` holds or it closes.
    std::string shown;
    auto read = [&](const std::function<bool()>& enough) {
        for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
             !enough() && std::chrono::steady_clock::now() < deadline;) {
            pollfd output{terminal, POLLIN, 0};
            if (poll(&output, 1, 10) <= 0) continue;
            char buffer[4096];
            const ssize_t count = ::read(terminal, buffer, sizeof buffer);
            if (count <= 0) return;  // the program and its terminal are gone
            shown.append(buffer, static_cast<std::size_t>(count));
        }
    };
    const std::string opened = "を通るパケットをチェックします。";
    auto captures = [&] {
        std::size_t count = 0;
        for (std::size_t at = shown.find(opened); at != std::string::npos; at = shown.find(opened, at + 1)) ++count;
        return count;
    };
    read([&] { return captures() == addresses->size(); });
    EXPECT_EQ(captures(), addresses->size()) << shown;
    // Its helpers are not in the terminal's foreground process group, which
    // Ctrl+C signals.
    std::size_t helpers = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/task")) {
        std::ifstream children(task.path() / "children");
        for (pid_t helper; children >> helper; ++helpers) EXPECT_NE(getpgid(helper), tcgetpgrp(terminal)) << helper;
    }
    EXPECT_GT(helpers, 0u);

    ASSERT_EQ(write(terminal, "\x03", 1), 1);  // Ctrl+C
    read([] { return false; });
    int status = 0;
    pid_t ended = 0;
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         (ended = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "still running after Ctrl+C";
    }
    close(terminal);
    std::filesystem::remove_all(config);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(shown.find("止まりました"), std::string::npos) << shown;
}

struct ListStopCase {
    const char* name;
    Stop how;
    int endingSignal;
};

class ListStopTest : public ::testing::TestWithParam<ListStopCase> {};

// --list whose reader does not read ends in order on every stop.
TEST_P(ListStopTest, EndsWhileItsReaderStalls) {
    Loopback many;
    ASSERT_TRUE(many.connectClients(400));
    Subprocess child({KESTROVA_BINARY, "--list", "--json"}, testing::environmentWith(testing::withoutDisplay()));
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.waitUntilStdoutIsFull()) << "the list fitted into the pipe";
    stop(child, GetParam().how);
    const std::optional<int> status = child.waitFor(kPatience);
    ASSERT_TRUE(status) << "still running";
    ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status);
    EXPECT_EQ(WTERMSIG(*status), GetParam().endingSignal);
}

INSTANTIATE_TEST_SUITE_P(All, ListStopTest,
                         ::testing::Values(ListStopCase{"Interrupt", Stop::Interrupt, SIGINT},
                                           ListStopCase{"Terminate", Stop::Terminate, SIGTERM},
                                           ListStopCase{"Hangup", Stop::Hangup, SIGHUP},
                                           ListStopCase{"ClosedPipe", Stop::ClosedPipe, SIGPIPE}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrova
