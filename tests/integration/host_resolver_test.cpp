// The real resolver against a hosts file of the test's own: a child process
// gets a mount namespace in which /etc/hosts is that file and nsswitch.conf
// names files only, so no lookup can wait on a name server.
#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "monitor/HostNameText.h"
#include "platform/linux/LinuxHostResolver.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;

// What the resolver and `getent hosts` said about one address.
struct Answer {
    std::optional<std::string> resolver;
    std::optional<std::string> getent;
};

std::optional<std::string> getentName(const std::string& address) {
    const std::string command = "getent hosts " + address + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ::pclose(pipe);
    // "address  name [aliases]\n"
    const std::size_t start = output.find_first_not_of(" \t", output.find_first_of(" \t"));
    if (output.empty() || start == std::string::npos) return std::nullopt;
    return output.substr(start, output.find_first_of(" \t\n", start) - start);
}

void putText(std::string& out, const std::optional<std::string>& text) {
    out.push_back(text ? '1' : '0');
    const std::string value = text.value_or("");
    out += std::to_string(value.size()) + ":" + value;
}

std::optional<std::string> takeText(std::string_view& in) {
    const bool present = in.at(0) == '1';
    const std::size_t colon = in.find(':');
    const std::size_t size = std::stoul(std::string(in.substr(1, colon - 1)));
    std::string value(in.substr(colon + 1, size));
    in.remove_prefix(colon + 1 + size);
    if (!present) return std::nullopt;
    return value;
}

bool bind(const fs::path& from, const char* onto) {
    return ::mount(from.c_str(), onto, nullptr, MS_BIND, nullptr) == 0;
}

// In the child: the namespace, then every lookup; the answers go to `out`.
[[noreturn]] void lookUpInNamespace(int out, const fs::path& hosts, const fs::path& nsswitch,
                                    const std::vector<std::string>& addresses) {
    const int flags = ::geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
    if (::unshare(flags) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !bind(hosts, "/etc/hosts") || !bind(nsswitch, "/etc/nsswitch.conf")) {
        (void)!::write(out, "skip", 4);
        ::_exit(0);
    }
    LinuxHostResolver resolver;
    std::string report = "ok";
    for (const std::string& address : addresses) {
        putText(report, resolver.reverseLookup(address));
        putText(report, address.empty() ? std::nullopt : getentName(address));
    }
    for (std::size_t done = 0; done < report.size();) {
        const ssize_t n = ::write(out, report.data() + done, report.size() - done);
        if (n <= 0) ::_exit(1);
        done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

// Looks every address up in a child that sees `hostsText` as /etc/hosts.
// Nothing when this machine gives the test no mount namespace.
std::optional<std::vector<Answer>> lookUpWithHosts(const std::string& hostsText,
                                                   const std::vector<std::string>& addresses) {
    std::string pattern = (fs::temp_directory_path() / "kestrova-hosts-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return std::nullopt;
    const fs::path directory = pattern;
    std::ofstream(directory / "hosts", std::ios::binary) << hostsText;
    std::ofstream(directory / "nsswitch.conf") << "hosts: files\n";
    fs::permissions(directory, fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);

    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeEnds[0]);
        lookUpInNamespace(pipeEnds[1], directory / "hosts", directory / "nsswitch.conf", addresses);
    }
    ::close(pipeEnds[1]);
    std::string report;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        pollfd ready{pipeEnds[0], POLLIN, 0};
        if (child < 0 || std::chrono::steady_clock::now() > deadline || ::poll(&ready, 1, 1000) < 0) break;
        char buffer[65536];
        const ssize_t n = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        report.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeEnds[0]);
    if (child > 0) {
        ::kill(child, SIGKILL);  // no-op once it has ended by itself
        ::waitpid(child, nullptr, 0);
    }
    fs::remove_all(directory);
    if (report.rfind("ok", 0) != 0) {
        if (report != "skip") ADD_FAILURE() << "the lookups did not finish: '" << report << "'";
        return std::nullopt;
    }
    std::string_view rest(report);
    rest.remove_prefix(2);
    std::vector<Answer> answers;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        Answer answer;
        answer.resolver = takeText(rest);
        answer.getent = takeText(rest);
        answers.push_back(std::move(answer));
    }
    return answers;
}

TEST(LinuxHostResolverTest, AnswersAsGetentDoesFromTheHostsFile) {
    const std::string longName = std::string(2000, 'x') + ".example";
    const std::string hostileName = "bad\x01\x1b[31m\xff-name";
    struct Case {
        std::string address;
        std::optional<std::string> name;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", "localhost"},
        {"10.77.0.1", "plain.example"},      // its alias is not the primary name
        {"10.77.0.2", longName},             // longer than the usual name buffer
        {"10.77.0.3", hostileName},          // bytes as they stand in the file
        {"10.77.0.4", std::nullopt},         // not in the file
        {"10.77.0.300", std::nullopt},       // not an address
        {"", std::nullopt},
    };
    const std::string hosts = "127.0.0.1 localhost\n"
                              "10.77.0.1 plain.example plain\n"
                              "10.77.0.2 " + longName + "\n"
                              "10.77.0.3 " + hostileName + "\n";
    std::vector<std::string> addresses;
    for (const Case& c : cases) addresses.push_back(c.address);

    const auto answers = lookUpWithHosts(hosts, addresses);
    if (!answers) GTEST_SKIP() << "no mount namespace for a hosts file of our own on this machine";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].address);
        EXPECT_EQ((*answers)[i].resolver, cases[i].name);
        if (!cases[i].address.empty()) {
            EXPECT_EQ((*answers)[i].resolver, (*answers)[i].getent);
        }
    }
    // What the user then sees of the long and the hostile name.
    EXPECT_EQ(displayableHostName((*answers)[2].resolver)->size(), HOST_NAME_MAX_BYTES);
    EXPECT_EQ(displayableHostName((*answers)[3].resolver), "bad\\x01\\x1b[31m\\xff-name");
}

}  // namespace
}  // namespace kestrova
