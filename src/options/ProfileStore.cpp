#include "options/ProfileStore.h"

#include <utility>

#include "monitor/HostNameText.h"
#include "text/Utf8.h"

namespace kestrova {
namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view trim(std::string_view s) {
    s = trimLeft(s);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    }
    return true;
}

std::size_t bodyStart(std::string_view text) {
    return text.starts_with(BYTE_ORDER_MARK) ? BYTE_ORDER_MARK.size() : 0;
}

// Where a key is, or where it would go.
struct Lookup {
    bool sectionFound = false;
    bool keyFound = false;
    // The bytes after '=' up to the line's end, without its line ending.
    std::size_t valueBegin = 0;
    std::size_t valueEnd = 0;
    // Just past the section's last key line, or past its header when it has
    // no keys, so that a new key lands before any blank lines and comments
    // that separate it from the next section.
    std::size_t insertAt = 0;
};

// Both names are expected trimmed.
Lookup locate(std::string_view text, std::string_view section, std::string_view key) {
    Lookup found;
    bool inSection = false;
    std::size_t pos = bodyStart(text);
    while (pos < text.size()) {
        const std::size_t newline = text.find('\n', pos);
        const std::size_t lineEnd = newline == std::string_view::npos ? text.size() : newline;
        const std::size_t next = newline == std::string_view::npos ? text.size() : newline + 1;
        std::size_t contentEnd = lineEnd;
        if (contentEnd > pos && text[contentEnd - 1] == '\r') --contentEnd;
        const std::string_view content = text.substr(pos, contentEnd - pos);
        const std::size_t lineBegin = pos;
        pos = next;

        const std::string_view head = trimLeft(content);
        if (head.empty() || head.front() == ';') continue;
        if (head.front() == '[') {
            const std::size_t close = head.find(']');
            // Without ']' the line is neither a header nor a key: ignored.
            if (close == std::string_view::npos) continue;
            // The first section of that name wins, so its end ends the search.
            if (inSection) break;
            if (equalsIgnoreAsciiCase(trim(head.substr(1, close - 1)), section)) {
                inSection = true;
                found.sectionFound = true;
                found.insertAt = next;
            }
            continue;
        }
        if (!inSection) continue;
        const std::size_t equals = content.find('=');
        if (equals == std::string_view::npos) continue;
        found.insertAt = next;
        if (equalsIgnoreAsciiCase(trim(content.substr(0, equals)), key)) {
            found.keyFound = true;
            found.valueBegin = lineBegin + equals + 1;
            found.valueEnd = contentEnd;
            break;
        }
    }
    return found;
}

// The raw value with the surrounding white space and one pair of enclosing
// double quotes taken off.
std::string_view unwrapValue(std::string_view raw) {
    raw = trim(raw);
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        raw = raw.substr(1, raw.size() - 2);
    }
    return raw;
}

bool startsWithNumber(std::string_view s) {
    s = trimLeft(s);
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
    return !s.empty() && s.front() >= '0' && s.front() <= '9';
}

std::int32_t parseLeadingInt(std::string_view s) {
    s = trimLeft(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    // Unsigned arithmetic wraps instead of overflowing, which gives the
    // modulo-2^32 result of a C int parse without undefined behaviour.
    std::uint32_t magnitude = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        magnitude = magnitude * 10u + static_cast<std::uint32_t>(c - '0');
    }
    if (negative) magnitude = 0u - magnitude;
    return static_cast<std::int32_t>(magnitude);
}

std::string_view lineEndingOf(std::string_view text) {
    const std::size_t newline = text.find('\n');
    if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r') return "\r\n";
    return "\n";
}

bool hasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

bool writableSection(std::string_view section) {
    return !section.empty() && !hasLineBreak(section) && section.find(']') == std::string_view::npos;
}

bool writableKey(std::string_view key) {
    return !key.empty() && !hasLineBreak(key) && key.find('=') == std::string_view::npos &&
           key.front() != ';' && key.front() != '[';
}

}  // namespace

ProfileStore::ProfileStore(ProfileFile& file, LegacyDecoder legacyDecoder, Notices notices)
    : file_(file), legacyDecoder_(std::move(legacyDecoder)), notices_(std::move(notices)) {}

void ProfileStore::tell(std::string_view line) {
    // The file's name and its values are anyone's choice when root reads a
    // user's profile: none of it may steer the terminal.
    if (notices_.tell) notices_.tell(displayableText(line));
}

void ProfileStore::noticeRead(const ProfileRead& file) {
    if (file.status != ProfileRead::Status::Unreadable) {
        toldUnreadable_ = false;
    } else if (!toldUnreadable_) {
        toldUnreadable_ = true;
        tell("cannot read the profile " + notices_.fileName + " (" + file.problem +
             "): the default options are used, and the file is left as it is");
    }
}

ProfileRead ProfileStore::readFile() {
    ProfileRead file = file_.read();
    noticeRead(file);
    return file;
}

std::int32_t ProfileStore::readInt(std::string_view section, std::string_view key, std::int32_t defaultValue,
                                   std::string* notANumber) {
    const ProfileRead file = readFile();
    if (file.status != ProfileRead::Status::Read) return defaultValue;
    const std::string_view text = file.text;
    const Lookup found = locate(text, trim(section), trim(key));
    if (!found.keyFound) return defaultValue;
    const std::string_view raw = text.substr(found.valueBegin, found.valueEnd - found.valueBegin);
    const std::string_view value = unwrapValue(raw);
    // An empty value counts as no value, as the Windows profile functions
    // have it: "netstatInterval=" keeps the 100 ms default instead of a
    // refresh every 10 ms.
    if (value.empty()) return defaultValue;
    if (notANumber && !startsWithNumber(value)) *notANumber = std::string(value);
    return parseLeadingInt(value);
}

std::string ProfileStore::readString(std::string_view section, std::string_view key, std::string_view defaultValue) {
    const ProfileRead file = readFile();
    if (file.status != ProfileRead::Status::Read) return std::string(defaultValue);
    const std::string_view text = file.text;
    const Lookup found = locate(text, trim(section), trim(key));
    if (!found.keyFound) return std::string(defaultValue);
    const std::string_view value = unwrapValue(text.substr(found.valueBegin, found.valueEnd - found.valueBegin));
    if (isValidUtf8(value) || !legacyDecoder_) return std::string(cutUtf8(value, MAX_VALUE_BYTES));
    // The cut comes after decoding because the limit is on what the caller
    // receives, and a legacy double-byte character must not be split.
    const std::string decoded = legacyDecoder_(value);
    return std::string(cutUtf8(decoded, MAX_VALUE_BYTES));
}

bool ProfileStore::writeString(std::string_view section, std::string_view key, std::string_view value) {
    section = trim(section);
    key = trim(key);
    if (!writableSection(section) || !writableKey(key) || hasLineBreak(value)) {
        writeProblem_ = "a name or value that cannot be stored";
        return false;
    }

    const ProfileRead file = readFile();
    // A profile that is there but cannot be read would be replaced by one
    // holding only this key, losing everything else in it.
    if (file.status == ProfileRead::Status::Unreadable) {
        writeProblem_ = "it cannot be read (" + file.problem + "), and saving would replace what it holds";
        return false;
    }
    const std::string& text = file.text;
    const std::string_view eol = lineEndingOf(text);
    const Lookup found = locate(text, section, key);

    std::string updated;
    updated.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (found.keyFound) {
        // Keep the key as the user spelled it, and any blanks after '='.
        std::size_t keep = found.valueBegin;
        while (keep < found.valueEnd && (text[keep] == ' ' || text[keep] == '\t')) ++keep;
        updated.append(text, 0, keep);
        updated.append(value);
        updated.append(text, found.valueEnd, std::string::npos);
    } else if (found.sectionFound) {
        updated.append(text, 0, found.insertAt);
        // The section may end in a last line without a line ending.
        if (found.insertAt == text.size() && !text.empty() && text.back() != '\n') updated.append(eol);
        updated.append(key).append("=").append(value).append(eol);
        updated.append(text, found.insertAt, std::string::npos);
    } else {
        updated = text;
        if (text.size() > bodyStart(text) && text.back() != '\n') updated.append(eol);
        updated.append("[").append(section).append("]").append(eol);
        updated.append(key).append("=").append(value).append(eol);
    }
    if (!file_.replace(updated)) {
        writeProblem_ = file_.replaceProblem();
        return false;
    }
    return true;
}

}  // namespace kestrova
