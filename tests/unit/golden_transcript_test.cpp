// One scripted session of the monitor over fakes, written out as every text a
// user can see after each step: the window's title, the 16 cells of every
// row, the new lines of the log pane, of --log and of --log --json, and the
// --list table in text and JSON. The transcript is compared byte for byte
// with tests/unit/golden/transcript.txt, so a change to how rows are kept
// that changes any shown byte fails here. Run the test with
// KESTROVA_REGENERATE_GOLDEN=1 to write the file anew when a text is meant
// to change.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "FakeResolver.h"
#include "Fakes.h"
#include "../support/Patience.h"
#include "../support/WindowPump.h"
#include "json/JsonLines.h"
#include "monitor/SendQueue.h"
#include "terminal/ConnectionListing.h"
#include "ui/MainDialog.h"
#include "terminal/TerminalLog.h"

#ifndef KESTROVA_GOLDEN_DIR
#error "KESTROVA_GOLDEN_DIR names the folder of the golden files"
#endif

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;

// Control bytes and the backslash written so that every line of the
// transcript stays one line; everything else as it is.
std::string visible(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// Every line of `text`, each after `indent`, control bytes inside a line
// made visible.
void appendLines(std::string& out, std::string_view indent, std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        out.append(indent).append(visible(text.substr(0, end))).append("\n");
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// The log as --log and --log --json write it, one line after the other.
class Streams : public LogListener {
public:
    std::string text, json;
    void logged(const LocalTime& time, const LogEvent& event) override {
        textLog_.logged(time, event);
        jsonLog_.logged(time, event);
    }

private:
    TerminalLog textLog_{[this](std::string_view line) { return text.append(line), true; }, [] {}};
    TerminalLog jsonLog_{[this](std::string_view line) { return json.append(line), true; }, [] {},
                         TerminalLog::Format(jsonLogLine)};
};

using Pump = testing::WindowPump;

class Session {
public:
    Session() {
        table.interfaces[2] = "eth0";
        table.interfaces[3] = "wl\tan";  // a name with a control byte in it
        processes.paths[1200] = "/usr/sbin/sshd";
        processes.paths[3100] = "/usr/bin/curl";
        processes.paths[4444] = "/opt/odd dir/na\tme\n\x1b[31m\"q\\\xff\xfe";  // not UTF-8, control bytes
        processes.paths[5000] = "";                                          // no path: a system process
        processes.groups[77] = "/system.slice/postgresql.service";
        processes.users[117] = "postgres";
        resolver->answer("127.0.0.1", "localhost");
        resolver->answer("10.0.0.5", "db.internal");
        resolver->answer("192.0.2.9", "evil\nname\x7f.example");
        resolver->answer("2001:db8::20", "v6.example");
        resolver->answer("fe80::1%eth0", "router.local");
    }

    Pump pump;
    FakeHost host;
    ConnectionList connections;
    EventLog log;
    ManualClock clock;
    FakeConnectionTable table;
    FakeProcessInfo processes;
    FakeVersionInfo version;
    MemoryProfileFile profileFile;
    ProfileStore profile{profileFile, [](std::string_view bytes) { return std::string(bytes); }};
    std::shared_ptr<FakeResolver> resolver = std::make_shared<FakeResolver>();
    Streams streams;
    std::string errors;
    MainDialog dialog{{host, connections, log, clock, table, processes, version, profile,
                       [this](std::string_view text) { errors.append(text); }, pump.queue.get(), resolver,
                       nullptr, nullptr, LOOKUP_DEADLINE, &streams}};

    // The table the next refresh reads, in the order the kernel hands it over.
    void setRows(std::vector<TcpRow> rows) {
        std::stable_sort(rows.begin(), rows.end(), inSnapshotOrder);
        table.rows = std::move(rows);
    }
    void tick() { dialog.onTimer(TIMER_REFRESH); }
    void lookUpNames() {
        dialog.onTimer(TIMER_RESOLVE);
        ASSERT_TRUE(pump.until([&] { return !dialog.resolveRunning(); }));
        pump.queue->runPending();
    }
    void packets(std::vector<PacketReport> reports) { dialog.accountPackets(reports); }
    void later(int seconds) {
        clock.time.second += seconds;
        while (clock.time.second >= 60) {
            clock.time.second -= 60;
            ++clock.time.minute;
        }
    }

    // Everything shown after the step `what`.
    void record(std::string_view what) {
        out_ += "=== " + std::to_string(++step_) + ": " + std::string(what) + "\n";
        out_ += "title: " + visible(host.title) + "\n";
        for (int row = 0; row < connections.rowCount(); ++row) {
            out_ += "row " + std::to_string(row) + ":";
            for (int column = 0; column < kConnectionColumns; ++column)
                out_ += " |" + visible(cellText(connections, row, column));
            out_ += "|\n";
        }
        // The pane is newest first; its new lines are at the top.
        const int newLines = std::min(log.rowCount(), paneLines_ < 0 ? log.rowCount() : paneLines_);
        out_ += "pane (" + std::to_string(log.rowCount()) + " lines):\n";
        for (int row = newLines - 1; row >= 0; --row)
            out_ += "  " + visible(log.cellText(row, 0)) + " " + visible(log.cellText(row, 1)) + "\n";
        paneLines_ = 0;
        out_ += "--log:\n";
        appendLines(out_, "  ", streams.text);
        streams.text.clear();
        out_ += "--log --json:\n";
        appendLines(out_, "  ", streams.json);
        streams.json.clear();
        if (!errors.empty()) {
            out_ += "errors:\n";
            appendLines(out_, "  ", errors);
            errors.clear();
        }
        const std::string listing = connectionListing(connections);
        const std::string json = jsonConnectionList(connections, dialog.settings().checkPacket);
        if (listing == lastListing_ && json == lastJson_) {
            out_ += "--list: as before\n";
            return;
        }
        out_ += "--list:\n";
        appendLines(out_, "  ", listing);
        out_ += "--list --json:\n";
        appendLines(out_, "  ", json);
        lastListing_ = listing;
        lastJson_ = json;
    }
    // Lines appended to the pane since the last record; the pane keeps
    // the newest EventLog::kMaxLines.
    void countPaneLine() { ++paneLines_; }
    const std::string& transcript() const { return out_; }

private:
    std::string out_;
    int step_ = 0;
    int paneLines_ = -1;
    std::string lastListing_, lastJson_;
};

// Counts the lines the pane receives, whichever way they come.
class PaneCounter : public TableObserver {
public:
    explicit PaneCounter(Session& session) : session_(session) {}
    void rowInserted() override { session_.countPaneLine(); }
    void rowDeleted(int) override {}
    void cellChanged(int, int) override {}

private:
    Session& session_;
};

PacketReport report(IpAddress from, std::uint16_t fromPort, IpAddress to, std::uint16_t toPort, std::uint32_t size,
                    std::string_view zone = {}) {
    return buildReport({from, zone, fromPort}, {to, zone, toPort}, size);
}

std::string scriptedTranscript() {
    Session s;
    PaneCounter counter(s);
    s.log.setObserver(&counter);

    const IpAddress lo{127, 0, 0, 1}, host{10, 0, 0, 2}, db{10, 0, 0, 5}, web{192, 0, 2, 9}, any{0, 0, 0, 0};
    const IpAddress v6 = ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x10});
    const IpAddress v6peer = ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x20});
    const IpAddress linkLocal = ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 0x2});
    const IpAddress router = ipv6({0xfe80, 0, 0, 0, 0, 0, 0, 0x1});
    const IpAddress mapped = ipv6({0, 0, 0, 0, 0, 0xffff, 0x0a00, 0x0007});
    TcpRow serviceRow = tcp(1, db, 5432, host, 40000, kPidNotVisible);
    serviceRow.uid = 117;
    serviceRow.controlGroup = 77;
    TcpRow strangerRow = tcp(1, host, 6000, web, 443, kPidNotVisible);
    strangerRow.uid = 4000;

    s.dialog.initialise();
    s.record("started");

    std::vector<TcpRow> rows = {
        tcp(2, any, 22, any, 0, 1200),
        tcp(5, host, 51000, web, 443, 3100),
        tcp(5, lo, 8080, lo, 51100, 4444),
        tcp(5, lo, 51100, lo, 8080, 3100),
        tcp(11, host, 51001, web, 80, 0),
        tcp(5, host, 51002, db, 5432, 5000),
        serviceRow,
        strangerRow,
        tcp(13, host, 51003, web, 25, 3100),
        tcp(5, v6, 443, v6peer, 60000, 1200),
        tcp(5, linkLocal, 22, router, 50000, 1200, 2),
        tcp(5, linkLocal, 23, router, 50001, 1200, 3),
        tcp(5, mapped, 8443, mapped, 50002, 3100),
    };
    s.setRows(rows);
    s.tick();
    s.record("first refresh: IPv4, IPv6, zones, pid 0, hidden owners, a hostile path, UNKNOWN(13)");

    s.later(1);
    s.tick();
    s.record("a refresh that finds nothing new");

    s.later(1);
    rows[1].state = 8;                            // ESTABLISHED -> CLOSE_WAIT
    rows.erase(rows.begin() + 4);                 // the TIME_WAIT row goes
    rows.push_back(tcp(3, host, 51004, db, 5432, 3100));
    s.setRows(rows);
    s.tick();
    s.record("a state change, a removal and a new row");

    s.later(1);
    s.dialog.runMenuCommand(CMD_CHECK_PACKET);
    s.record("packet checking on");

    s.later(1);
    s.packets({report(host, 51000, web, 443, 60), report(web, 443, host, 51000, 1500),
               report(lo, 51100, lo, 8080, 100)});
    s.record("a batch in both directions; the loopback pair");

    s.later(1);
    s.packets({report(v6, 443, v6peer, 60000, 1280), report(router, 50000, linkLocal, 22, 90, "eth0"),
               report(linkLocal, 23, router, 50001, 77, "wl\tan")});
    s.record("IPv6 and zoned reports");

    s.later(1);
    s.packets({report(linkLocal, 22, router, 50000, 5, "eth1"), report(host, 7, web, 7, 10)});
    s.record("a report for an unknown zone and one for no connection");

    s.later(1);
    s.packets({report(host, 51005, db, 5432, 400), report(db, 5432, host, 51005, 4000)});
    s.record("a new connection's first datagrams, before its row");

    s.later(1);
    rows.push_back(tcp(5, host, 51005, db, 5432, 3100));
    s.setRows(rows);
    s.tick();
    s.record("the refresh that makes its row takes the held bytes");

    s.later(1);
    s.packets({report(host, 51005, db, 5432, 1)});
    s.record("the next batch for it");

    s.later(1);
    for (int i = 0; i < 3; ++i) s.packets({report(web, 443, host, 51000, 0xFFFFFFFFu)});
    s.record("totals past 4 GiB");

    s.later(1);
    s.dialog.runMenuCommand(CMD_CYCLE_MARK);
    s.record("the next mark, before any batch");

    s.later(1);
    s.packets({report(lo, 8080, lo, 51100, 3)});
    s.record("a batch under the new mark");

    s.later(1);
    for (int i = 0; i < 7; ++i) s.dialog.runMenuCommand(CMD_CYCLE_MARK);
    s.packets({report(db, 5432, host, 51002, 11), report(host, 51002, db, 5432, 12)});
    s.record("round the marks");

    s.later(1);
    s.table.fail = true;
    s.tick();
    s.record("a failed snapshot");

    s.later(1);
    s.table.fail = false;
    s.tick();
    s.record("the table again");

    s.later(1);
    rows.push_back(tcp(1, host, 6001, web, 443, 3100));
    rows.push_back(tcp(10, host, 6001, web, 443, 3100));
    s.setRows(rows);
    s.tick();
    s.record("two kernel rows on one row");

    s.later(1);
    rows.pop_back();
    s.setRows(rows);
    s.tick();
    s.record("one of them goes");

    s.later(1);
    s.dialog.runMenuCommand(CMD_SHOW_HOSTNAME);
    s.record("host names on");

    s.later(1);
    s.lookUpNames();
    s.record("a host name pass");

    s.later(1);
    s.tick();
    s.record("the refresh after it shows names in the endpoints");

    s.later(1);
    rows.push_back(tcp(5, lo, 51200, lo, 8080, 3100));
    s.setRows(rows);
    s.tick();
    s.record("a new row of a named address");

    s.later(1);
    s.packets({report(lo, 51200, lo, 8080, 42)});
    s.record("a batch while names show");

    s.later(1);
    s.lookUpNames();
    s.tick();
    s.record("a second pass, and a refresh");

    s.later(1);
    s.dialog.runMenuCommand(CMD_SHOW_HOSTNAME);
    s.tick();
    s.record("host names off");

    s.later(1);
    s.dialog.runMenuCommand(CMD_CYCLE_INTERVAL);
    s.dialog.runMenuCommand(CMD_LESS_TRANSPARENT);
    s.dialog.runMenuCommand(CMD_ALWAYS_ON_TOP);
    s.tick();
    s.record("the interval, transparency and topmost");

    s.later(1);
    rows[0].state = 99;
    rows[2].pid = 1200;  // the same ends under another process: a new row
    s.setRows(rows);
    s.tick();
    s.record("a state far out of range; a pid change");

    s.later(1);
    s.dialog.runMenuCommand(CMD_CHECK_PACKET);
    s.packets({report(host, 51000, web, 443, 9)});
    s.tick();
    s.record("packet checking off; a late batch");

    s.later(1);
    s.setRows({});
    s.tick();
    s.record("every connection gone");

    s.later(1);
    std::vector<TcpRow> many;
    for (std::uint16_t i = 0; i < 60; ++i)
        many.push_back(tcp(5, host, static_cast<std::uint16_t>(52000 + i), web, 443, 3100));
    s.setRows(many);
    s.tick();
    s.record("60 new rows: the pane keeps 100 lines");

    s.log.setObserver(nullptr);
    return s.transcript();
}

TEST(GoldenTranscript, EveryShownTextIsAsRecorded) {
    const std::string path = std::string(KESTROVA_GOLDEN_DIR) + "/transcript.txt";
    const std::string transcript = scriptedTranscript();
    const char* regenerate = std::getenv("KESTROVA_REGENERATE_GOLDEN");
    if (regenerate && std::string(regenerate) == "1") {
        std::ofstream(path, std::ios::binary) << transcript;
        GTEST_SKIP() << "wrote " << path;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "missing " << path << "; run once with KESTROVA_REGENERATE_GOLDEN=1";
    std::stringstream expected;
    expected << in.rdbuf();
    if (transcript == expected.str()) return;
    // Name the first line that differs rather than printing both whole.
    std::istringstream want(expected.str()), got(transcript);
    std::string wantLine, gotLine;
    for (int line = 1;; ++line) {
        const bool moreWant = static_cast<bool>(std::getline(want, wantLine));
        const bool moreGot = static_cast<bool>(std::getline(got, gotLine));
        if (!moreWant && !moreGot) break;
        if (wantLine != gotLine || moreWant != moreGot) {
            FAIL() << "transcript differs at line " << line << "\n  recorded: " << wantLine
                   << "\n  now:      " << gotLine;
        }
    }
    FAIL() << "transcript differs";
}

// The script itself gives the same transcript twice: nothing in it depends
// on timing or on the machine.
TEST(GoldenTranscript, IsDeterministic) { EXPECT_EQ(scriptedTranscript(), scriptedTranscript()); }

}  // namespace
}  // namespace kestrova
