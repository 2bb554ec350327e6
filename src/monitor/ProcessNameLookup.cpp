#include "monitor/ProcessNameLookup.h"

#include "monitor/HostNameText.h"
#include "text/UiTexts.h"

namespace kestrova {

std::string ownerDisplayName(const std::string& imagePath, std::int64_t pid) {
    if (!imagePath.empty()) return imagePath;
    return std::string(pid == 0 ? IDLE_PROCESS_NAME : SYSTEM_PROCESS_NAME);
}

std::string_view controlGroupName(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string socketOwnerName(const std::optional<std::string>& groupPath, const std::optional<std::string>& user,
                            std::uint32_t uid) {
    const std::string_view group = groupPath ? controlGroupName(*groupPath) : std::string_view();
    std::string text = group.empty() ? std::string(SYSTEM_PROCESS_NAME) : displayableText(group);
    text += " (";
    text += user && !user->empty() ? displayableText(*user) : std::to_string(uid);
    text += ")";
    return text;
}

std::string processLine(std::int64_t pid, std::string_view path) {
    return formatText(UiText::ProcessFound, {std::to_string(pid), path});
}

}  // namespace kestrova
