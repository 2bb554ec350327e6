#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

#include "text/TextCatalogue.h"

namespace kestrova {

// Every text the window and the terminal modes show, written in the
// program's own language. The ones with places (%1 to %9) are filled by
// formatText; a translation may put the places in another order.
enum class UiText : unsigned {
    // Headers of the connection list.
    HeaderProtocol,
    HeaderActive,
    HeaderSource,
    HeaderDestination,
    HeaderState,
    HeaderProcess,
    HeaderPid,
    HeaderSeen,
    HeaderLocalIp,
    HeaderLocalHost,
    HeaderLocalPort,
    HeaderRemoteIp,
    HeaderRemoteHost,
    HeaderRemotePort,
    HeaderTotalBytes,
    // Headers of the event log.
    LogHeaderTime,
    LogHeaderText,
    // The refresh: row marks and the lines of connections.
    MarkNew,
    MarkUpdated,
    ConnectionAdded,
    ConnectionChanged,
    ConnectionRemoved,
    ProcessFound,
    // The host name pass.
    ResolveStart,
    ResolveEnd,
    NameFound,
    // The window.
    WindowTitle,
    AboutEntry,
    AboutCaption,
    LessTransparent,
    MoreTransparent,
    UnsupportedNotice,
    CheckFailedNotice,
    // What the commands log.
    ShowHostNames,
    ShowAddresses,
    TopmostOn,
    TopmostOff,
    AlphaSet,
    CheckPacketOn,
    CheckPacketOff,
    IntervalSet,
    // Packet checking.
    CaptureOpened,
    CaptureStopped,
    PacketsDropped,
    PermissionDenied,
    CannotGainPrivilege,
    NotInGroup,
    CannotRun,
    StatusReady,
    StatusBadArguments,
    StatusNoSuchAddress,
    StatusPermissionDenied,
    StatusOpenFailed,
    StatusPrivilegeDropFailed,
    StatusFilterFailed,
    StatusReadFailed,
    StatusTooManyCaptures,
    StatusUnknown,
    HelperNotStarted,
    HelperGarbled,
    HelperExited,
    HelperKilled,
    HelperEnded,
    Count
};

inline constexpr std::size_t kUiTextCount = static_cast<std::size_t>(UiText::Count);

struct UiTextEntry {
    UiText id;
    SourceText source;
};

inline constexpr std::array<UiTextEntry, kUiTextCount> kUiTexts = {{
    {UiText::HeaderProtocol, sourceText("ConnectionList", "ぷろとこる")},
    {UiText::HeaderActive, sourceText("ConnectionList", "あくちぶ")},
    {UiText::HeaderSource, sourceText("ConnectionList", "せつぞくもと")},
    {UiText::HeaderDestination, sourceText("ConnectionList", "せつぞくさき")},
    {UiText::HeaderState, sourceText("ConnectionList", "じょうたい")},
    {UiText::HeaderProcess, sourceText("ConnectionList", "つないでるひと")},
    {UiText::HeaderPid, sourceText("ConnectionList", "あいでぃ")},
    {UiText::HeaderSeen, sourceText("ConnectionList", "（゜Д゜）")},
    {UiText::HeaderLocalIp, sourceText("ConnectionList", "元IP")},
    {UiText::HeaderLocalHost, sourceText("ConnectionList", "元ホスト名")},
    {UiText::HeaderLocalPort, sourceText("ConnectionList", "元ポート")},
    {UiText::HeaderRemoteIp, sourceText("ConnectionList", "先IP")},
    {UiText::HeaderRemoteHost, sourceText("ConnectionList", "先ホスト名")},
    {UiText::HeaderRemotePort, sourceText("ConnectionList", "先ポート")},
    {UiText::HeaderTotalBytes, sourceText("ConnectionList", "通信総データサイズ")},
    {UiText::LogHeaderTime, sourceText("EventLog", "じかん")},
    {UiText::LogHeaderText, sourceText("EventLog", "じょうたい")},
    {UiText::MarkNew, sourceText("RefreshCycle", "新規")},
    {UiText::MarkUpdated, sourceText("RefreshCycle", "更新")},
    //: %1 the owner, %2 the remote endpoint, %3 the state.
    {UiText::ConnectionAdded, sourceText("RefreshCycle", "(%1)の(%2)との接続状態を(%3)で新規追加しました。")},
    {UiText::ConnectionChanged, sourceText("RefreshCycle", "(%1)の(%2)との接続状態を(%3)に更新しました。")},
    {UiText::ConnectionRemoved, sourceText("RefreshCycle", "(%1)の(%2)との接続状態を破棄しました。")},
    //: %1 the process id, %2 the program's path.
    {UiText::ProcessFound, sourceText("ProcessNameLookup", "プロセスID:(%1)→プログラム名:(%2)")},
    {UiText::ResolveStart, sourceText("HostNamePass", "ホスト名逆引き処理開始")},
    {UiText::ResolveEnd, sourceText("HostNamePass", "ホスト名逆引き処理終了")},
    //: %1 the address, %2 its name.
    {UiText::NameFound, sourceText("HostNamePass", "IP:(%1)→ホスト名:(%2)")},
    //: %1 the version, %2 the number of connections, %3 the interval.
    {UiText::WindowTitle, sourceText("MainWindow", "%1 -- 接続数:%2 -- 更新間隔:%3ms --")},
    {UiText::AboutEntry, sourceText("MainWindow", "Kestrova のﾊﾞｰｼﾞｮﾝ情報(&A)...")},
    {UiText::AboutCaption, sourceText("MainWindow", "Kestrovaのﾊﾞｰｼﾞｮﾝ情報")},
    {UiText::LessTransparent, sourceText("CommandMenu", "透明じゃなくする...")},
    {UiText::MoreTransparent, sourceText("CommandMenu", "透明にする...")},
    {UiText::UnsupportedNotice,
     sourceText("PlatformGate", "\n上記OSはサポート外です。Kestrovaを起動することができません。\nプログラムを終了します。")},
    //: %1 what could not be checked, and why.
    {UiText::CheckFailedNotice,
     sourceText("PlatformGate",
                "\n上記OSで必要な機能を確かめられませんでした (%1)。Kestrovaを起動することができません。\nプログラムを終了します。")},
    {UiText::ShowHostNames, sourceText("MainDialog", "ホスト名で表示します。")},
    {UiText::ShowAddresses, sourceText("MainDialog", "IPアドレスで表示します。")},
    {UiText::TopmostOn, sourceText("MainDialog", "常に最上位に表示します。")},
    {UiText::TopmostOff, sourceText("MainDialog", "常に最上位に表示を解除します。")},
    {UiText::AlphaSet, sourceText("MainDialog", "透過度を(%1)に設定しました。")},
    {UiText::CheckPacketOn, sourceText("MainDialog", "パケットのチェックを開始します。")},
    {UiText::CheckPacketOff, sourceText("MainDialog", "パケットのチェックを終了します。")},
    {UiText::IntervalSet, sourceText("MainDialog", "表示更新間隔を(%1)msに設定しました。")},
    //: %1 the interface address.
    {UiText::CaptureOpened, sourceText("CaptureLines", "%1を通るパケットをチェックします。")},
    //: %1 the interface address, %2 why.
    {UiText::CaptureStopped, sourceText("CaptureLines", "%1を通るパケットのチェックが止まりました: %2")},
    //: %1 the interface address, %2 how many datagrams.
    {UiText::PacketsDropped,
     sourceText("CaptureLines", "%1を通るパケットのうち%2個を数えられませんでした (カーネルが破棄しました)。合計はその分少なくなります。")},
    //: %1 the command that grants the right.
    {UiText::PermissionDenied, sourceText("CaptureLines", "パケットをチェックできません: 権限がありません (%1)")},
    {UiText::CannotGainPrivilege,
     sourceText("CaptureLines", "パケットをチェックできません: このプロセスは特権を得られません (no_new_privs)")},
    //: %1 the group, %2 the user.
    {UiText::NotInGroup,
     sourceText("CaptureLines", "パケットをチェックできません: %1グループに属していません (sudo usermod -aG %1 %2)")},
    //: %1 the helper's path.
    {UiText::CannotRun, sourceText("CaptureLines", "パケットをチェックできません: %1を実行できません")},
    {UiText::StatusReady, sourceText("CaptureLines", "準備ができました")},
    {UiText::StatusBadArguments, sourceText("CaptureLines", "ヘルパーが引数を受け付けません")},
    {UiText::StatusNoSuchAddress, sourceText("CaptureLines", "アドレスがインターフェースにありません")},
    {UiText::StatusPermissionDenied, sourceText("CaptureLines", "権限がありません")},
    {UiText::StatusOpenFailed, sourceText("CaptureLines", "キャプチャを開けません")},
    {UiText::StatusPrivilegeDropFailed, sourceText("CaptureLines", "ヘルパーが権限を手放せません")},
    {UiText::StatusFilterFailed, sourceText("CaptureLines", "カーネルがフィルタを受け付けません")},
    {UiText::StatusReadFailed, sourceText("CaptureLines", "キャプチャを読めません")},
    {UiText::StatusTooManyCaptures, sourceText("CaptureLines", "ひとりの利用者が同時に開けるキャプチャの数を超えています")},
    //: %1 the status number.
    {UiText::StatusUnknown, sourceText("CaptureLines", "不明な状態 (%1)")},
    //: %1 the error number.
    {UiText::HelperNotStarted, sourceText("CaptureLines", "ヘルパーを起動できません (エラー %1)")},
    {UiText::HelperGarbled, sourceText("CaptureLines", "ヘルパーの出力が壊れています")},
    //: %1 the exit code.
    {UiText::HelperExited, sourceText("CaptureLines", "ヘルパーが終了しました (終了コード %1)")},
    //: %1 the signal number.
    {UiText::HelperKilled, sourceText("CaptureLines", "ヘルパーが強制終了されました (シグナル %1)")},
    {UiText::HelperEnded, sourceText("CaptureLines", "ヘルパーが終了しました")},
}};

constexpr bool inIdOrder(const std::array<UiTextEntry, kUiTextCount>& texts) {
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (static_cast<std::size_t>(texts[i].id) != i) return false;
    return true;
}
static_assert(inIdOrder(kUiTexts), "kUiTexts lists every text once, in the order of UiText");

// The text as the program writes it.
constexpr std::string_view sourceOf(UiText id) { return kUiTexts[static_cast<std::size_t>(id)].source.text; }

// The text as the user reads it: the catalogue's when one is in use.
std::string_view shownText(UiText id);

// The shown text with its places %1 to %9 filled by `parts` in their order;
// a place without a part stays as it is written.
std::string formatText(UiText id, std::initializer_list<std::string_view> parts);

// Shows every text from now on as `catalogue` gives it, or as written when
// it is null. Every text is looked up here, once, so call it at start-up,
// before any text is made; texts shown before stay valid.
void useTextCatalogue(const TextCatalogue* catalogue);

}  // namespace kestrova
