#include "monitor/ConnectionCells.h"

#include "monitor/ConnectionList.h"

namespace kestrova {

const std::array<ColumnSpec, kConnectionColumns> kConnectionColumnSpecs = {{
    {UiText::HeaderProtocol, Align::Left, 0},
    {UiText::HeaderActive, Align::Right, 55},
    {UiText::HeaderSource, Align::Left, 120},
    {"", Align::Centre, 25},
    {UiText::HeaderDestination, Align::Left, 120},
    {UiText::HeaderState, Align::Left, 100},
    {UiText::HeaderProcess, Align::Left, 270},
    {UiText::HeaderPid, Align::Left, 60},
    {UiText::HeaderSeen, Align::Centre, 0},
    {UiText::HeaderLocalIp, Align::Left, 0},
    {UiText::HeaderLocalHost, Align::Left, 0},
    {UiText::HeaderLocalPort, Align::Left, 0},
    {UiText::HeaderRemoteIp, Align::Left, 0},
    {UiText::HeaderRemoteHost, Align::Left, 0},
    {UiText::HeaderRemotePort, Align::Left, 0},
    {UiText::HeaderTotalBytes, Align::Left, 0},
}};

const std::array<std::string_view, 13> StateNames = {
    "",           "CLOSED",    "LISTEN",     "SYN_SENT", "SYN_RCVD", "ESTABLISHED", "FIN_WAIT1",
    "FIN_WAIT2",  "CLOSE_WAIT", "CLOSING",   "LAST_ACK", "TIME_WAIT", "DELETE_TCB",
};

std::string stateText(std::uint32_t state) {
    if (state < StateNames.size()) return std::string(StateNames[state]);
    return "UNKNOWN(" + std::to_string(state) + ")";
}

void appendCell(std::string& out, const ConnectionList& list, int row, int column) {
    out.append(list.storedText(row, column));
}

std::string cellText(const ConnectionList& list, int row, int column) {
    return std::string(list.storedText(row, column));
}

ConnectionFacts rowFacts(const ConnectionList& list, int row) {
    auto cell = [&](int column) { return list.storedText(row, column); };
    return {cell(colSource),     cell(colDestination), cell(colLocalIp), cell(colLocalPort),
            cell(colRemoteIp),   cell(colRemotePort),  cell(colState),   cell(colPid),
            cell(colProcess),    cell(colTotalBytes)};
}

}  // namespace kestrova
