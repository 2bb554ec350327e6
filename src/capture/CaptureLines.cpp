#include "capture/CaptureLines.h"

#include "monitor/AddressText.h"
#include "text/UiTexts.h"

namespace kestrova {

namespace {

std::string statusText(HelperStatus status) {
    switch (status) {
    case HelperStatus::Ready:
        return std::string(shownText(UiText::StatusReady));
    case HelperStatus::BadArguments:
        return std::string(shownText(UiText::StatusBadArguments));
    case HelperStatus::NoSuchAddress:
        return std::string(shownText(UiText::StatusNoSuchAddress));
    case HelperStatus::PermissionDenied:
        return std::string(shownText(UiText::StatusPermissionDenied));
    case HelperStatus::OpenFailed:
        return std::string(shownText(UiText::StatusOpenFailed));
    case HelperStatus::PrivilegeDropFailed:
        return std::string(shownText(UiText::StatusPrivilegeDropFailed));
    case HelperStatus::FilterFailed:
        return std::string(shownText(UiText::StatusFilterFailed));
    case HelperStatus::ReadFailed:
        return std::string(shownText(UiText::StatusReadFailed));
    case HelperStatus::TooManyCaptures:
        return std::string(shownText(UiText::StatusTooManyCaptures));
    }
    return formatText(UiText::StatusUnknown, {std::to_string(static_cast<int>(status))});
}

std::string endingText(const CaptureEnding& ending) {
    switch (ending.kind) {
    case CaptureEnding::Kind::NotStarted:
        return formatText(UiText::HelperNotStarted, {std::to_string(ending.error)});
    case CaptureEnding::Kind::Status:
        return statusText(ending.status);
    case CaptureEnding::Kind::Garbled:
        return std::string(shownText(UiText::HelperGarbled));
    case CaptureEnding::Kind::Ended:
        break;
    }
    switch (ending.end.kind) {
    case SourceEnd::Kind::Exited:
        return formatText(UiText::HelperExited, {std::to_string(ending.end.value)});
    case SourceEnd::Kind::Killed:
        return formatText(UiText::HelperKilled, {std::to_string(ending.end.value)});
    case SourceEnd::Kind::Unknown:
        break;
    }
    return std::string(shownText(UiText::HelperEnded));
}

}  // namespace

std::string captureOpenedLine(const IpAddress& address, std::string_view zone) {
    return formatText(UiText::CaptureOpened, {addressText(address, zone)});
}

std::string permissionDeniedLine(std::string_view command) {
    return formatText(UiText::PermissionDenied, {command});
}

std::string cannotGainPrivilegeLine() { return std::string(shownText(UiText::CannotGainPrivilege)); }

std::string notInGroupLine(std::string_view group, std::string_view user) {
    return formatText(UiText::NotInGroup, {group, user});
}

std::string cannotRunLine(std::string_view path) { return formatText(UiText::CannotRun, {path}); }

std::string packetsDroppedLine(const IpAddress& address, std::string_view zone, std::uint64_t count) {
    return formatText(UiText::PacketsDropped, {addressText(address, zone), std::to_string(count)});
}

std::string captureEndedLine(const IpAddress& address, std::string_view zone, const CaptureEnding& ending) {
    return formatText(UiText::CaptureStopped, {addressText(address, zone), endingText(ending)});
}

}  // namespace kestrova
