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

}  // namespace kestrova
