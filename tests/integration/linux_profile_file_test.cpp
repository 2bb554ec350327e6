#include <gtest/gtest.h>

#include <grp.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "options/ProfileStore.h"
#include "options/SettingsIo.h"
#include "linux/Cp932.h"
#include "linux/LinuxProfileFile.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrova-profile-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << data;
}

std::vector<std::string> entriesOf(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned permissionsOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(LinuxProfileFile, MissingFileOrDirectoryReadsAsMissing) {
    TempDir dir;
    for (const fs::path& path : {dir.path() / "absent.INI", dir.path() / "absent" / "k.INI"})
        EXPECT_EQ(LinuxProfileFile(path.string()).read().status, ProfileRead::Status::Missing) << path;
}

TEST(LinuxProfileFile, ReplaceCreatesDirectoriesAndPrivateFile) {
    TempDir dir;
    const fs::path target = dir.path() / "a" / "b" / "k.INI";
    LinuxProfileFile file(target.string(), dir.path().string());
    ASSERT_TRUE(file.replace("[s]\nk=v\n"));
    EXPECT_EQ(slurp(target), "[s]\nk=v\n");
    EXPECT_EQ(file.read().text, "[s]\nk=v\n");
    EXPECT_EQ(permissionsOf(target), 0600u);
    EXPECT_EQ(entriesOf(target.parent_path()), std::vector<std::string>{"k.INI"});
}

TEST(LinuxProfileFile, ReplaceKeepsPermissionBitsAndBinaryContents) {
    TempDir dir;
    const fs::path target = dir.path() / "k.INI";
    spit(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    LinuxProfileFile file(target.string(), dir.path().string());
    const std::string binary("a\0b\r\n\xFF", 6);
    ASSERT_TRUE(file.replace(binary));
    EXPECT_EQ(file.read().status, ProfileRead::Status::Read);
    EXPECT_EQ(file.read().text, binary);
    EXPECT_EQ(permissionsOf(target), 0640u);
}

TEST(LinuxProfileFile, ReplaceThroughSymlinkKeepsTheLink) {
    TempDir dir;
    const fs::path real = dir.path() / "real.INI";
    const fs::path link = dir.path() / "link.INI";
    spit(real, "old");
    fs::create_symlink(real, link);
    LinuxProfileFile file(link.string(), dir.path().string());
    ASSERT_TRUE(file.replace("new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(real), "new");
}

TEST(LinuxProfileFile, ReadsUpTo64KiBAndNoMore) {
    TempDir dir;
    const fs::path target = dir.path() / "k.INI";
    spit(target, std::string(64 * 1024, 'x'));
    EXPECT_EQ(LinuxProfileFile(target.string()).read().status, ProfileRead::Status::Read);
    // A sparse file of 200 GB is refused at once, without being read.
    ASSERT_EQ(::truncate(target.c_str(), 200ll << 30), 0);
    const ProfileRead huge = LinuxProfileFile(target.string()).read();
    EXPECT_EQ(huge.status, ProfileRead::Status::Unreadable);
    EXPECT_EQ(huge.problem, "larger than 64 KiB");
}

TEST(LinuxProfileFile, FifoIsNotReadAndDoesNotBlock) {
    TempDir dir;
    const fs::path fifo = dir.path() / "k.INI";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    LinuxProfileFile file(fifo.string());
    EXPECT_EQ(file.read().status, ProfileRead::Status::Unreadable);
}

// A profile that is there but cannot be read must survive the exit's save:
// writing it would replace every other section and comment with our six keys.
// Each case makes it unreadable in its own way, for the user who meets it.
enum class Who { Caller, OrdinaryUser, RootWithoutFileCapabilities };

struct UnreadableCase {
    const char* name;
    Who who;
    std::function<fs::path(const fs::path& dir)> prepare;  // returns the profile path
};

const std::string kOtherUsersProfile = "; mine\n[other]\nx=1\n[1040315]\nalpha=99\n";

// Runs `work` as `who` and returns its exit status: in this process for the
// caller, otherwise in a child that became that user.
int runAs(Who who, const std::function<int()>& work) {
    if (who == Who::Caller || (who == Who::OrdinaryUser && ::geteuid() != 0)) return work();
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (who == Who::OrdinaryUser) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        } else {
            // Still uid 0, but held to the permission bits like anyone else,
            // as root is in a container without these capabilities.
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct data[2]{};
            if (::syscall(SYS_capget, &header, data) != 0) ::_exit(101);
            data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            if (::syscall(SYS_capset, &header, data) != 0) ::_exit(101);
        }
        ::_exit(work());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What a path holds, to compare before and after.
std::string describe(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "absent";
    if (S_ISLNK(st.st_mode)) return "link to " + fs::read_symlink(p).string();
    if (S_ISDIR(st.st_mode)) return "directory of " + std::to_string(entriesOf(p).size());
    const unsigned mode = st.st_mode & 07777;
    ::chmod(p.c_str(), 0600);  // so that a test run by an ordinary user can look
    const std::string text = slurp(p);
    ::chmod(p.c_str(), mode);
    return "file " + std::to_string(mode) + " " + text;
}

class UnreadableProfileTest : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableProfileTest, LoadGivesDefaultsAndSaveLeavesItAlone) {
    const UnreadableCase& c = GetParam();
    if (c.who == Who::RootWithoutFileCapabilities && ::geteuid() != 0) GTEST_SKIP() << "needs root";
    TempDir top;
    const fs::path dir = top.path() / "config";
    fs::create_directory(dir);
    const fs::path profile = c.prepare(dir);
    if (c.who == Who::OrdinaryUser && ::geteuid() == 0) {
        // The profile's directory is that user's own, and reachable.
        ASSERT_EQ(::chmod(top.path().c_str(), 0711), 0);
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::lchown(profile.c_str(), 65534, 65534), 0);
    }
    const std::string before = describe(profile);
    const std::vector<std::string> entriesBefore = entriesOf(dir);

    const int status = runAs(c.who, [&] {
        LinuxProfileFile file(profile.string(), top.path().string());
        if (file.read().status != ProfileRead::Status::Unreadable) return 1;
        ProfileStore store(file, cp932ToUtf8);
        Settings settings = loadSettings(store);
        if (!(settings == Settings{})) return 2;
        settings.netstatInterval = 500;
        saveSettings(store, settings);
        return 0;
    });
    EXPECT_EQ(status, 0) << (status == 1 ? "not read as unreadable" : status == 2 ? "not the defaults" : "");
    EXPECT_EQ(describe(profile), before);
    EXPECT_EQ(entriesOf(dir), entriesBefore) << "a temporary file was left behind";
}

fs::path noPermission(const fs::path& dir) {
    spit(dir / "kestrova.INI", kOtherUsersProfile);
    ::chmod((dir / "kestrova.INI").c_str(), 0);
    return dir / "kestrova.INI";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, UnreadableProfileTest,
    ::testing::Values(UnreadableCase{"NoPermissionForAnOrdinaryUser", Who::OrdinaryUser, noPermission},
                      UnreadableCase{"NoPermissionForRootWithoutFileCapabilities", Who::RootWithoutFileCapabilities,
                                     noPermission},
                      UnreadableCase{"DirectoryInItsPlace", Who::Caller,
                                     [](const fs::path& dir) {
                                         fs::create_directory(dir / "kestrova.INI");
                                         spit(dir / "kestrova.INI" / "inside", "x");
                                         return dir / "kestrova.INI";
                                     }},
                      // Nothing this program writes is that large; reading a
                      // file of any size whole could take the machine's memory.
                      UnreadableCase{"LargerThan64KiB", Who::Caller,
                                     [](const fs::path& dir) {
                                         spit(dir / "kestrova.INI", kOtherUsersProfile + std::string(64 * 1024, ';'));
                                         return dir / "kestrova.INI";
                                     }},
                      // Reading another process's memory at address 0 fails
                      // with EIO, whoever reads it.
                      UnreadableCase{"ReadFailsWithAnIoError", Who::Caller,
                                     [](const fs::path& dir) {
                                         fs::create_symlink("/proc/self/mem", dir / "kestrova.INI");
                                         return dir / "kestrova.INI";
                                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// Whose folders, files and links a profile is written through. In `top`:
// root's home ("root", root's) and a user's config folder ("user", nobody's).
// Root runs with the user's environment, as after su without -, and the user
// may flip what their folder holds while root saves.
struct WriteRuleCase {
    const char* name;
    Who who;  // Caller (root) or OrdinaryUser (nobody)
    std::function<fs::path(const fs::path& top)> prepare;  // returns the profile path
    const char* writtenAt;  // relative to top; nullptr: nothing may change
    bool flipWhileSaving = false;
};

// Every entry under `top`, with its owner, as it is.
std::vector<std::string> snapshot(const fs::path& top) {
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        entries.push_back(entry.path().string() + " uid " + std::to_string(st.st_uid) + " " + describe(entry.path()));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

void own(const fs::path& path, uid_t uid) { ASSERT_EQ(::lchown(path.c_str(), uid, uid), 0) << path; }

class ProfileWriteRuleTest : public ::testing::TestWithParam<WriteRuleCase> {};

TEST_P(ProfileWriteRuleTest, WritesOnlyWhatTheUserOwns) {
    const WriteRuleCase& c = GetParam();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make files of two users";
    TempDir top;
    ASSERT_EQ(::chmod(top.path().c_str(), 0755), 0);
    fs::create_directory(top.path() / "root");
    fs::create_directory(top.path() / "user");
    own(top.path() / "user", 65534);
    spit(top.path() / "root" / "secret", "root's own\n");
    const fs::path profile = c.prepare(top.path());
    const std::vector<std::string> before = snapshot(top.path());

    pid_t flipper = -1;
    if (c.flipWhileSaving) {
        flipper = ::fork();
        if (flipper == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
            for (int i = 0; i < 1000000; ++i)
                ::syscall(SYS_renameat2, AT_FDCWD, profile.c_str(), AT_FDCWD, (profile.string() + ".spare").c_str(),
                          2 /* RENAME_EXCHANGE */);
            ::_exit(0);
        }
    }
    const int status = runAs(c.who, [&] {
        LinuxProfileFile file(profile.string(), (top.path() / "root").string());
        int written = 0;
        for (int i = 0; i < (c.flipWhileSaving ? 200 : 1); ++i) written += file.replace("new") ? 1 : 0;
        return written;
    });
    if (flipper > 0) {
        ::kill(flipper, SIGKILL);
        ::waitpid(flipper, nullptr, 0);
    }
    if (c.writtenAt) {
        EXPECT_EQ(status, 1);
        EXPECT_EQ(slurp(top.path() / c.writtenAt), "new");
        if (profile != top.path() / c.writtenAt) {
            EXPECT_TRUE(fs::is_symlink(profile)) << "the link was replaced";
        }
    } else {
        EXPECT_EQ(status, 0) << "written";
        if (!c.flipWhileSaving) {
            EXPECT_EQ(snapshot(top.path()), before);
        }
        EXPECT_EQ(slurp(top.path() / "root" / "secret"), "root's own\n");
        EXPECT_EQ(describe(top.path() / "root" / "secret"), "file 420 root's own\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Owners, ProfileWriteRuleTest,
    ::testing::Values(
        WriteRuleCase{"RootWritesUnderItsOwnHome", Who::Caller,
                      [](const fs::path& top) { return top / "root" / "cfg" / "kestrova.INI"; },
                      "root/cfg/kestrova.INI"},
        WriteRuleCase{"RootFollowsItsOwnLink", Who::Caller,
                      [](const fs::path& top) {
                          fs::create_directory(top / "root" / "dot");
                          spit(top / "root" / "dot" / "k.INI", "old");
                          fs::create_symlink("dot/k.INI", top / "root" / "kestrova.INI");
                          return top / "root" / "kestrova.INI";
                      },
                      "root/dot/k.INI"},
        WriteRuleCase{"RootLeavesTheUsersFolderAlone", Who::Caller,
                      [](const fs::path& top) {
                          spit(top / "user" / "kestrova.INI", "mine");
                          own(top / "user" / "kestrova.INI", 65534);
                          return top / "user" / "kestrova.INI";
                      },
                      nullptr},
        WriteRuleCase{"RootLeavesTheUsersLinkToItsFileAlone", Who::Caller,
                      [](const fs::path& top) {
                          fs::create_symlink(top / "root" / "secret", top / "user" / "kestrova.INI");
                          own(top / "user" / "kestrova.INI", 65534);
                          return top / "user" / "kestrova.INI";
                      },
                      nullptr},
        WriteRuleCase{"RootLeavesTheLinkAloneWhileTheUserFlipsIt", Who::Caller,
                      [](const fs::path& top) {
                          fs::create_symlink(top / "root" / "secret", top / "user" / "kestrova.INI");
                          own(top / "user" / "kestrova.INI", 65534);
                          spit(top / "user" / "kestrova.INI.spare", "[1040315]\nalpha=1\n");
                          own(top / "user" / "kestrova.INI.spare", 65534);
                          return top / "user" / "kestrova.INI";
                      },
                      nullptr, true},
        WriteRuleCase{"RootStaysInItsHome", Who::Caller,
                      [](const fs::path& top) {
                          fs::create_directory(top / "etc");
                          return top / "etc" / "kestrova.INI";
                      },
                      nullptr},
        WriteRuleCase{"RootLeavesAFolderLinkOfTheUsersAlone", Who::Caller,
                      [](const fs::path& top) {
                          fs::create_directory(top / "root" / "other");
                          fs::create_directory_symlink(top / "root" / "other", top / "root" / "cfg");
                          own(top / "root" / "cfg", 65534);
                          return top / "root" / "cfg" / "kestrova.INI";
                      },
                      nullptr},
        WriteRuleCase{"UserFollowsOwnLink", Who::OrdinaryUser,
                      [](const fs::path& top) {
                          fs::create_directory(top / "user" / "dot");
                          own(top / "user" / "dot", 65534);
                          fs::create_symlink(top / "user" / "dot" / "k.INI", top / "user" / "kestrova.INI");
                          own(top / "user" / "kestrova.INI", 65534);
                          return top / "user" / "kestrova.INI";
                      },
                      "user/dot/k.INI"},
        WriteRuleCase{"UserLeavesRootsFileInTheirFolderAlone", Who::OrdinaryUser,
                      [](const fs::path& top) {
                          spit(top / "user" / "kestrova.INI", "root's");
                          return top / "user" / "kestrova.INI";
                      },
                      nullptr},
        WriteRuleCase{"UserLeavesALinkOfAnothersAlone", Who::OrdinaryUser,
                      [](const fs::path& top) {
                          ::chmod((top / "user").c_str(), 0777);
                          fs::create_directory(top / "user" / "dot");
                          own(top / "user" / "dot", 65534);
                          fs::create_symlink(top / "user" / "dot" / "k.INI", top / "user" / "kestrova.INI");
                          return top / "user" / "kestrova.INI";
                      },
                      nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Each case prepares a directory so that the replace fails at a different
// step, and says what must still be there afterwards. Tests run as root, so
// permission bits cannot be used to make a step fail.
struct FailureCase {
    const char* name;
    std::function<fs::path(const fs::path& dir)> prepare;  // returns the profile path
    std::function<void()> beforeReplace;
    std::function<void()> afterReplace;
    std::vector<std::string> entriesAfter;
};

class ReplaceFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ReplaceFailureTest, LeavesOldStateAndNoTemporaryFile) {
    const FailureCase& c = GetParam();
    TempDir dir;
    const fs::path target = c.prepare(dir.path());
    LinuxProfileFile file(target.string(), dir.path().string());
    if (c.beforeReplace) c.beforeReplace();
    const bool replaced = file.replace(std::string(64 * 1024, 'n'));
    if (c.afterReplace) c.afterReplace();
    EXPECT_FALSE(replaced);
    EXPECT_EQ(entriesOf(dir.path()), c.entriesAfter);
    if (fs::is_regular_file(target)) {
        EXPECT_EQ(slurp(target), "old");
    }
}

rlimit savedFileSizeLimit{};

INSTANTIATE_TEST_SUITE_P(
    Steps, ReplaceFailureTest,
    ::testing::Values(
        FailureCase{"ParentIsRegularFile",
                    [](const fs::path& dir) {
                        spit(dir / "plain", "x");
                        return dir / "plain" / "k.INI";
                    },
                    nullptr, nullptr, {"plain"}},
        FailureCase{"TargetIsDirectory",
                    [](const fs::path& dir) {
                        fs::create_directory(dir / "k.INI");
                        spit(dir / "k.INI" / "inside", "x");
                        return dir / "k.INI";
                    },
                    nullptr, nullptr, {"k.INI"}},
        // A file size limit makes the write itself fail part way, as a full
        // disk would.
        FailureCase{"WriteFailsPartWay",
                    [](const fs::path& dir) {
                        spit(dir / "k.INI", "old");
                        return dir / "k.INI";
                    },
                    [] {
                        ::signal(SIGXFSZ, SIG_IGN);
                        ::getrlimit(RLIMIT_FSIZE, &savedFileSizeLimit);
                        rlimit small = savedFileSizeLimit;
                        small.rlim_cur = 1024;
                        ::setrlimit(RLIMIT_FSIZE, &small);
                    },
                    [] {
                        ::setrlimit(RLIMIT_FSIZE, &savedFileSizeLimit);
                        ::signal(SIGXFSZ, SIG_DFL);
                    },
                    {"k.INI"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FileNameCase {
    const char* executable;
    const char* expected;
};

class ProfileFileNameTest : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(ProfileFileNameTest, DropsDirectoryAndExtension) {
    EXPECT_EQ(profileFileNameFor(GetParam().executable), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Executables, ProfileFileNameTest,
                         ::testing::Values(FileNameCase{"/usr/bin/kestrova", "kestrova.INI"},
                                           FileNameCase{"a/Kestrova.exe", "Kestrova.INI"},
                                           FileNameCase{"/opt/k.v2/kestrova", "kestrova.INI"},
                                           FileNameCase{"kestrova.tar.gz", "kestrova.tar.INI"},
                                           FileNameCase{"/x/.kestrova", ".kestrova.INI"},
                                           FileNameCase{"/x/..kestrova", "..INI"},
                                           FileNameCase{"/usr/bin/", "kestrova.INI"},
                                           FileNameCase{"..", "kestrova.INI"}));

struct ConfigDirCase {
    const char* name;
    std::optional<std::string> xdg;
    std::optional<std::string> home;
    std::optional<std::string> passwd;
    std::string expected;
};

class ConfigDirTest : public ::testing::TestWithParam<ConfigDirCase> {};

TEST_P(ConfigDirTest, PicksFirstUsableSource) {
    const ConfigDirCase& c = GetParam();
    EXPECT_EQ(configDirFrom(c.xdg, c.home, c.passwd), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, ConfigDirTest,
    ::testing::Values(ConfigDirCase{"Xdg", "/xdg", "/home/u", "/pw", "/xdg"},
                      ConfigDirCase{"XdgRelativeIgnored", "rel", "/home/u", "/pw", "/home/u/.config"},
                      ConfigDirCase{"HomeIsRoot", std::nullopt, "/", std::nullopt, "/.config"},
                      ConfigDirCase{"EmptyHomeFallsToPasswd", std::nullopt, "", "/pw", "/pw/.config"},
                      ConfigDirCase{"Passwd", std::nullopt, std::nullopt, "/pw", "/pw/.config"},
                      ConfigDirCase{"Nothing", std::nullopt, std::nullopt, std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfilePathFor, PrefersXdgConfigHome) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(profilePathFor("/usr/bin/kestrova"), "/cfg/kestrova.INI");
    if (saved) {
        ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

// The whole chain on a real file: a profile written by the older program in
// its code page, then saved over by this one.
TEST(ProfileOnDisk, LegacyProfileLoadsAndSavesInPlace) {
    TempDir dir;
    const fs::path target = dir.path() / "kestrova.INI";
    const std::string before =
        "[other]\r\nx=1\r\n\r\n[1040315]\r\nalpha=200\r\nalwaysOnTop=36\r\nactiveMark=\x81\xA5\r\n; keep me\r\n";
    spit(target, before);
    LinuxProfileFile file(target.string(), dir.path().string());
    ProfileStore store(file, cp932ToUtf8);

    Settings loaded = loadSettings(store);
    EXPECT_EQ(loaded.alpha, 200);
    EXPECT_FALSE(loaded.alwaysOnTop);
    EXPECT_EQ(loaded.activeMark, "▼");

    loaded.netstatInterval = 500;
    saveSettings(store, loaded);
    EXPECT_EQ(slurp(target),
              "[other]\r\nx=1\r\n\r\n[1040315]\r\nalpha=200\r\nalwaysOnTop=36\r\nactiveMark=▼\r\n"
              "showHostname=36\r\ncheckPacket=36\r\nnetstatInterval=500\r\n; keep me\r\n");
    EXPECT_EQ(loadSettings(store), loaded);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"kestrova.INI"});
}

}  // namespace
}  // namespace kestrova
