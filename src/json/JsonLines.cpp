#include "json/JsonLines.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdint>
#include <optional>

#include "ui/EventLog.h"

namespace kestrova {

namespace {

// Keys stay in the order they are written, so every line reads alike.
using Json = nlohmann::ordered_json;

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A number field when its text is one, nothing when the text is empty (an
// unknown process id) or not a number.
void putNumber(Json& object, const char* key, std::string_view text) {
    if (const auto value = number(text)) object[key] = *value;
}

void putConnection(Json& object, const ConnectionFacts& facts, bool withBytes) {
    object["local"] = facts.local;
    object["remote"] = facts.remote;
    object["localIp"] = facts.localIp;
    putNumber(object, "localPort", facts.localPort);
    object["remoteIp"] = facts.remoteIp;
    putNumber(object, "remotePort", facts.remotePort);
    object["state"] = facts.state;
    putNumber(object, "pid", facts.pid);
    object["process"] = facts.process;
    if (withBytes) putNumber(object, "bytes", facts.bytes);
}

void appendDump(std::string& out, const Json& value) {
    out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string jsonLogLine(const LocalTime& time, const LogEvent& event, std::string_view shownText) {
    Json object;
    object["time"] = formatRfc3339(time);
    object["event"] = logKindWord(event.kind);
    object["text"] = shownText;
    if (event.connection) {
        putConnection(object, *event.connection, !event.connection->bytes.empty());
    } else if (event.kind == LogKind::Process) {
        putNumber(object, "pid", event.pid);
        object["process"] = event.process;
    } else if (event.kind == LogKind::Name) {
        object["ip"] = event.address;
        object["name"] = event.name;
    }
    std::string line;
    appendDump(line, object);
    line += '\n';
    return line;
}

std::string jsonConnectionList(const ConnectionList& list, bool withBytes) {
    std::string out = "[";
    for (int row = 0; row < list.rowCount(); ++row) {
        Json object;
        putConnection(object, rowFacts(list, row), withBytes);
        out += row == 0 ? "\n" : ",\n";
        appendDump(out, object);
    }
    out += "\n]\n";
    return out;
}

}  // namespace kestrova
