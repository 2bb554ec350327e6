#pragma once
#include <functional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kestrova {

// What a line of the event log tells: one kind for each sort of line the
// program writes. The log shows only the text; front ends that write the log
// for machines (kestrova --log --json) name the kind and carry the details.
enum class LogKind {
    Added,         // a connection was found
    Changed,       // a connection's state changed
    Removed,       // a connection has gone
    Process,       // the program behind a new connection's process id
    ResolveStart,  // a host name pass begins
    ResolveEnd,    // a host name pass has ended
    Name,          // an address got a host name
    Capture,       // packet checking opened the capture of an address
    CaptureEnded,  // the capture of an address ended by itself
    Permission,    // packet checking may not capture
    Option,        // an option was changed from the menu
};

// The word that names `kind` in machine-readable output; English whatever
// the language of the texts.
std::string_view logKindWord(LogKind kind);

// What a connection line says about its connection: the row's texts as they
// stand once the line is written (a changed row already in its new state).
struct ConnectionFacts {
    std::string_view local, remote;  // the endpoints as shown, "address-or-name:port"
    std::string_view localIp, localPort, remoteIp, remotePort;
    std::string_view state;
    std::string_view pid;      // empty when the process cannot be known
    std::string_view process;  // the owner as shown
    std::string_view bytes;    // the bytes counted for the connection
};

// One line for the event log. The views need only live as long as the call
// that hands the event over.
struct LogEvent {
    LogKind kind = LogKind::Option;
    std::string_view text{};
    // Added, Changed and Removed: the connection.
    const ConnectionFacts* connection = nullptr;
    // Process: the process id and its program; Name: the address and the
    // name found; Capture, for datagrams the kernel dropped: the address and
    // how many.
    std::string_view pid{}, process{}, address{}, name{}, count{};
};

// Where a part of the monitor writes its log lines. A plain text sink (one
// that takes a string_view) may stand in for it and gets each line's text.
class LogSink {
public:
    LogSink() = default;
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, LogSink> && std::is_invocable_v<F&, const LogEvent&>)
    LogSink(F f) : sink_(std::move(f)) {}
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, LogSink> && !std::is_invocable_v<F&, const LogEvent&> &&
                 std::is_invocable_v<F&, std::string_view>)
    LogSink(F f) : sink_([f = std::move(f)](const LogEvent& event) mutable { f(event.text); }) {}

    void operator()(const LogEvent& event) const {
        if (sink_) sink_(event);
    }
    explicit operator bool() const { return static_cast<bool>(sink_); }

private:
    std::function<void(const LogEvent&)> sink_;
};

}  // namespace kestrova
