#include "monitor/LogEvent.h"

namespace kestrova {

std::string_view logKindWord(LogKind kind) {
    switch (kind) {
    case LogKind::Added: return "added";
    case LogKind::Changed: return "changed";
    case LogKind::Removed: return "removed";
    case LogKind::Process: return "process";
    case LogKind::ResolveStart: return "resolveStart";
    case LogKind::ResolveEnd: return "resolveEnd";
    case LogKind::Name: return "name";
    case LogKind::Capture: return "capture";
    case LogKind::CaptureEnded: return "captureEnded";
    case LogKind::Permission: return "permission";
    case LogKind::Option: return "option";
    }
    return "option";
}

ConnectionFacts rowFacts(const ConnectionList& list, int row) {
    return {list.cellText(row, colSource),   list.cellText(row, colDestination), list.cellText(row, colLocalIp),
            list.cellText(row, colLocalPort), list.cellText(row, colRemoteIp),    list.cellText(row, colRemotePort),
            list.cellText(row, colState),     list.cellText(row, colPid),         list.cellText(row, colProcess),
            list.cellText(row, colTotalBytes)};
}

}  // namespace kestrova
