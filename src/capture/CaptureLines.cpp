#include "capture/CaptureLines.h"

#include "monitor/AddressText.h"

namespace kestrova {

namespace {

std::string statusText(HelperStatus status) {
    switch (status) {
    case HelperStatus::Ready:
        return "準備ができました";
    case HelperStatus::BadArguments:
        return "ヘルパーが引数を受け付けません";
    case HelperStatus::NoSuchAddress:
        return "アドレスがインターフェースにありません";
    case HelperStatus::PermissionDenied:
        return "権限がありません";
    case HelperStatus::OpenFailed:
        return "キャプチャを開けません";
    case HelperStatus::PrivilegeDropFailed:
        return "ヘルパーが権限を手放せません";
    case HelperStatus::FilterFailed:
        return "カーネルがフィルタを受け付けません";
    case HelperStatus::ReadFailed:
        return "キャプチャを読めません";
    }
    return "不明な状態 (" + std::to_string(static_cast<int>(status)) + ")";
}

std::string endingText(const CaptureEnding& ending) {
    switch (ending.kind) {
    case CaptureEnding::Kind::NotStarted:
        return "ヘルパーを起動できません (エラー " + std::to_string(ending.error) + ")";
    case CaptureEnding::Kind::Status:
        return statusText(ending.status);
    case CaptureEnding::Kind::Garbled:
        return "ヘルパーの出力が壊れています";
    case CaptureEnding::Kind::Ended:
        break;
    }
    switch (ending.end.kind) {
    case SourceEnd::Kind::Exited:
        return "ヘルパーが終了しました (終了コード " + std::to_string(ending.end.value) + ")";
    case SourceEnd::Kind::Killed:
        return "ヘルパーが強制終了されました (シグナル " + std::to_string(ending.end.value) + ")";
    case SourceEnd::Kind::Unknown:
        break;
    }
    return "ヘルパーが終了しました";
}

}  // namespace

std::string captureOpenedLine(const IpAddress& address, std::string_view zone) {
    return addressText(address, zone) + "を通るパケットをチェックします。";
}

std::string permissionDeniedLine(std::string_view command) {
    std::string line = "パケットをチェックできません: 権限がありません (";
    line.append(command);
    line.push_back(')');
    return line;
}

std::string cannotGainPrivilegeLine() {
    return "パケットをチェックできません: このプロセスは特権を得られません (no_new_privs)";
}

std::string notInGroupLine(std::string_view group, std::string_view user) {
    std::string line = "パケットをチェックできません: ";
    line.append(group);
    line += "グループに属していません (sudo usermod -aG ";
    line.append(group);
    line.push_back(' ');
    line.append(user);
    line.push_back(')');
    return line;
}

std::string cannotRunLine(std::string_view path) {
    std::string line = "パケットをチェックできません: ";
    line.append(path);
    line += "を実行できません";
    return line;
}

std::string captureEndedLine(const IpAddress& address, std::string_view zone, const CaptureEnding& ending) {
    return addressText(address, zone) + "を通るパケットのチェックが止まりました: " + endingText(ending);
}

}  // namespace kestrova
