#include "app/Machine.h"

#include <cstdio>
#include <string_view>
#include <system_error>

namespace kestrova {

namespace {

std::filesystem::path executablePath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error);
}

}  // namespace

Machine::Machine(const char* argv0, const CommandLine& command)
    : executable(executablePath()),
      program(executable.empty() ? std::string(argv0) : executable.string()),
      table(LinuxConnectionTable::Reader::Automatic, familiesOf(command)),
      profileFile(profilePathFor(program)),
      addresses(familiesOf(command)),
      packetSources(locateCaptureHelper(program)) {}

QString Machine::applicationName() const {
    return QString::fromStdString(executable.empty() ? std::string("kestrova") : executable.stem().string());
}

ProfileStore::Notices Machine::profileNotices() const {
    return {profileFile.path(), [name = applicationName().toLocal8Bit()](std::string_view line) {
                std::fprintf(stderr, "%s: %.*s\n", name.constData(), static_cast<int>(line.size()), line.data());
            }};
}

}  // namespace kestrova
