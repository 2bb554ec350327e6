#include "json/JsonLines.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "text/Utf8.h"
#include "ui/EventLog.h"

namespace kestrova {

namespace {

// The writer escapes what JSON must escape; what is not UTF-8 it would pass
// on as it is, so every string goes through validUtf8 first.
using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// `text` itself when it is valid UTF-8; otherwise a copy in `scratch` in which
// each ill-formed sequence stands as one U+FFFD, as decoders replace them.
std::string_view validUtf8(std::string_view text, std::string& scratch) {
    std::size_t at = 0;
    while (at < text.size()) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
        } else if (const std::size_t length = utf8CharLength(text, at)) {
            at += length;
        } else {
            break;
        }
    }
    if (at == text.size()) return text;
    scratch.assign(text.substr(0, at));
    while (at < text.size()) {
        if (const std::size_t length = utf8CharLength(text, at)) {
            scratch.append(text.substr(at, length));
            at += length;
        } else {
            scratch.append(kReplacement);
            at += utf8IllFormedLength(text, at);
        }
    }
    return scratch;
}

class Object {
public:
    explicit Object(rapidjson::StringBuffer& buffer) : writer_(buffer) { writer_.StartObject(); }
    ~Object() { writer_.EndObject(); }

    void string(const char* key, std::string_view text) {
        writer_.Key(key);
        const std::string_view valid = validUtf8(text, scratch_);
        writer_.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
    }
    // A number when the text is one; nothing when it is empty (an unknown
    // process id) or not a number.
    void number(const char* key, std::string_view text) {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return;
        writer_.Key(key);
        writer_.Uint64(value);
    }
    void connection(const ConnectionFacts& facts, bool withBytes) {
        string("local", facts.local);
        string("remote", facts.remote);
        string("localIp", facts.localIp);
        number("localPort", facts.localPort);
        string("remoteIp", facts.remoteIp);
        number("remotePort", facts.remotePort);
        string("state", facts.state);
        number("pid", facts.pid);
        string("process", facts.process);
        if (withBytes) number("bytes", facts.bytes);
    }

private:
    Writer writer_;
    std::string scratch_;
};

// Lines come in bursts within one millisecond: their time is written once.
const std::string& rfc3339(const LocalTime& time) {
    thread_local LocalTime last{};
    thread_local std::string text;
    if (text.empty() || !(time == last)) {
        text = formatRfc3339(time);
        last = time;
    }
    return text;
}

}  // namespace

std::string jsonLogLine(const LocalTime& time, const LogEvent& event, std::string_view shownText) {
    rapidjson::StringBuffer buffer;
    {
        Object object(buffer);
        object.string("time", rfc3339(time));
        object.string("event", logKindWord(event.kind));
        object.string("text", shownText);
        if (event.connection) {
            object.connection(*event.connection, !event.connection->bytes.empty());
        } else if (event.kind == LogKind::Process) {
            object.number("pid", event.pid);
            object.string("process", event.process);
        } else if (event.kind == LogKind::Name) {
            object.string("ip", event.address);
            object.string("name", event.name);
        } else if (event.kind == LogKind::Capture && !event.count.empty()) {
            object.string("ip", event.address);
            object.number("dropped", event.count);
        }
    }
    std::string line(buffer.GetString(), buffer.GetSize());
    line += '\n';
    return line;
}

std::string jsonConnectionList(const ConnectionList& list, bool withBytes) {
    std::string out;
    writeJsonConnectionList(
        list, withBytes,
        [&out](std::string_view piece) {
            out.append(piece);
            return true;
        },
        SIZE_MAX);
    return out;
}

bool writeJsonConnectionList(const ConnectionList& list, bool withBytes,
                             const std::function<bool(std::string_view)>& write, std::size_t pieceSize) {
    std::string out = "[";
    rapidjson::StringBuffer buffer;
    for (int row = 0; row < list.rowCount(); ++row) {
        buffer.Clear();
        {
            Object object(buffer);
            object.connection(rowFacts(list, row), withBytes);
        }
        out += row == 0 ? "\n" : ",\n";
        out.append(buffer.GetString(), buffer.GetSize());
        if (out.size() >= pieceSize) {
            if (!write(out)) return false;
            out.clear();
        }
    }
    out += "\n]\n";
    return write(out);
}

}  // namespace kestrova
