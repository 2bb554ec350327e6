// The real resolver against a hosts file of the test's own: a child process
// gets a mount namespace in which /etc/hosts is that file and nsswitch.conf
// names files only, so no lookup can wait on a name server.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/Patience.h"
#include "monitor/HostNameText.h"
#include "linux/LinuxHostResolver.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using Answer = std::optional<std::string>;

Answer getentName(const std::string& address) {
    FILE* pipe = ::popen(("getent hosts " + address + " 2>/dev/null").c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ::pclose(pipe);
    // "address  name [aliases]\n"
    const std::size_t start = output.find_first_not_of(" \t", output.find_first_of(" \t"));
    if (start == std::string::npos) return std::nullopt;
    return output.substr(start, output.find_first_of(" \t\n", start) - start);
}

// One answer per line: "-" for none, otherwise the name's bytes in hex.
void write(std::ostream& out, const Answer& answer) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (!answer) out << "-";
    for (unsigned char byte : answer.value_or("")) out << kHex[byte >> 4] << kHex[byte & 15];
    out << "\n";
}
Answer read(std::istream& in) {
    std::string hex;
    std::getline(in, hex);
    if (hex == "-") return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Looks every address up, with the resolver and with getent, in a child that
// sees `hostsText` as /etc/hosts. Nothing when this machine gives the test no
// mount namespace.
std::optional<std::vector<std::pair<Answer, Answer>>> lookUpWithHosts(const std::string& hostsText,
                                                                      const std::vector<std::string>& addresses) {
    std::string pattern = (fs::temp_directory_path() / "kestrova-hosts-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return std::nullopt;
    const fs::path directory = pattern;
    std::ofstream(directory / "hosts", std::ios::binary) << hostsText;
    std::ofstream(directory / "nsswitch.conf") << "hosts: files\n";
    fs::permissions(directory, fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);

    const pid_t child = ::fork();
    if (child == 0) {
        const int flags = ::geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
        if (::unshare(flags) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount((directory / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0 ||
            ::mount((directory / "nsswitch.conf").c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(2);
        std::ofstream out(directory / "answers", std::ios::binary);
        LinuxHostResolver resolver;
        for (const std::string& address : addresses) {
            write(out, resolver.reverseLookup(address));
            write(out, address.empty() ? std::nullopt : getentName(address));
        }
        out.close();
        ::_exit(out ? 0 : 1);
    }
    int status = -1;
    for (const auto deadline = std::chrono::steady_clock::now() + testing::kPatience;
         child > 0 && ::waitpid(child, &status, WNOHANG) == 0;) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "the lookups did not finish";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream in(directory / "answers", std::ios::binary);
    std::vector<std::pair<Answer, Answer>> answers;
    for (std::size_t i = 0; i < addresses.size() && in; ++i) {
        Answer resolver = read(in);
        answers.emplace_back(std::move(resolver), read(in));
    }
    fs::remove_all(directory);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 2) return std::nullopt;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    return answers;
}

TEST(LinuxHostResolverTest, AnswersAsGetentDoesFromTheHostsFile) {
    const std::string longName = std::string(2000, 'x') + ".example";
    const std::string hostileName = "bad\x01\x1b[31m\xff-name";
    const std::vector<std::pair<std::string, Answer>> cases = {
        {"127.0.0.1", "localhost"},
        {"10.77.0.1", "plain.example"},  // its alias is not the primary name
        {"10.77.0.2", longName},         // longer than the usual name buffer
        {"10.77.0.3", hostileName},      // bytes as they stand in the file
        {"10.77.0.4", std::nullopt},     // not in the file
        {"10.77.0.300", std::nullopt},   // not an address
        {"", std::nullopt},
        {"::1", "v6-loopback.example"},
        {"2001:db8::10", "v6.example"},
        {"2001:db8::11", std::nullopt},
        {"fe80::1%lo", "link.example"},  // with the zone the rows give it
        {"fe80::1%1", "link.example"},   // an interface known by its number only
        {"fe80::1%no-such-if", std::nullopt},
        {"2001:db8::zz", std::nullopt},
        {"10.77.0.1%lo", std::nullopt},  // an IPv4 address has no zone
    };
    const std::string hosts = "127.0.0.1 localhost\n10.77.0.1 plain.example plain\n10.77.0.2 " + longName +
                              "\n10.77.0.3 " + hostileName +
                              "\n::1 v6-loopback.example\n2001:db8::10 v6.example v6\nfe80::1 link.example\n";
    std::vector<std::string> addresses;
    for (const auto& c : cases) addresses.push_back(c.first);

    const auto answers = lookUpWithHosts(hosts, addresses);
    if (!answers) GTEST_SKIP() << "no mount namespace for a hosts file of our own on this machine";
    ASSERT_EQ(answers->size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].first);
        EXPECT_EQ((*answers)[i].first, cases[i].second);
        // getent takes no zone.
        if (!cases[i].first.empty() && cases[i].first.find('%') == std::string::npos) {
            EXPECT_EQ((*answers)[i].first, (*answers)[i].second);
        }
    }
    // What the user then sees of the long and the hostile name.
    EXPECT_EQ(displayableHostName((*answers)[2].first)->size(), HOST_NAME_MAX_BYTES);
    EXPECT_EQ(displayableHostName((*answers)[3].first), "bad\\x01\\x1b[31m\\xff-name");
}

}  // namespace
}  // namespace kestrova
