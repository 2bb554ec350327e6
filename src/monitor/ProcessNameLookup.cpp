#include "monitor/ProcessNameLookup.h"

namespace kestrova {

std::string ownerDisplayName(const std::string& imagePath, std::int64_t pid) {
    if (!imagePath.empty()) return imagePath;
    return std::string(pid == 0 ? IDLE_PROCESS_NAME : SYSTEM_PROCESS_NAME);
}

std::string processLine(std::int64_t pid, std::string_view path) {
    std::string line = "プロセスID:(" + std::to_string(pid) + ")→プログラム名:(";
    line.append(path);
    line += ")";
    return line;
}

}  // namespace kestrova
