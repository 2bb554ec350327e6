#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include "platform/linux/Cp932.h"
#include "platform/linux/LinuxProfileFile.h"

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

TEST(LinuxProfileFile, MissingFileReadsAsNothing) {
    TempDir dir;
    LinuxProfileFile file((dir.path() / "absent.INI").string());
    EXPECT_EQ(file.read(), std::nullopt);
}

TEST(LinuxProfileFile, ReplaceCreatesDirectoriesAndPrivateFile) {
    TempDir dir;
    const fs::path target = dir.path() / "a" / "b" / "k.INI";
    LinuxProfileFile file(target.string());
    ASSERT_TRUE(file.replace("[s]\nk=v\n"));
    EXPECT_EQ(slurp(target), "[s]\nk=v\n");
    EXPECT_EQ(file.read(), "[s]\nk=v\n");
    EXPECT_EQ(permissionsOf(target), 0600u);
    EXPECT_EQ(entriesOf(target.parent_path()), std::vector<std::string>{"k.INI"});
}

TEST(LinuxProfileFile, ReplaceKeepsPermissionBitsAndBinaryContents) {
    TempDir dir;
    const fs::path target = dir.path() / "k.INI";
    spit(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    LinuxProfileFile file(target.string());
    const std::string binary("a\0b\r\n\xFF", 6);
    ASSERT_TRUE(file.replace(binary));
    EXPECT_EQ(file.read(), binary);
    EXPECT_EQ(permissionsOf(target), 0640u);
}

TEST(LinuxProfileFile, ReplaceThroughSymlinkKeepsTheLink) {
    TempDir dir;
    const fs::path real = dir.path() / "real.INI";
    const fs::path link = dir.path() / "link.INI";
    spit(real, "old");
    fs::create_symlink(real, link);
    LinuxProfileFile file(link.string());
    ASSERT_TRUE(file.replace("new"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(real), "new");
}

TEST(LinuxProfileFile, FifoIsNotReadAndDoesNotBlock) {
    TempDir dir;
    const fs::path fifo = dir.path() / "k.INI";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    LinuxProfileFile file(fifo.string());
    EXPECT_EQ(file.read(), std::nullopt);
}

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
    LinuxProfileFile file(target.string());
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
    LinuxProfileFile file(target.string());
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
