<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>CaptureLines</name>
    <message>
        <source>%1を通るパケットをチェックします。</source>
        <extracomment>%1 the interface address.</extracomment>
        <translation>Checking packets through %1.</translation>
    </message>
    <message>
        <source>%1を通るパケットのチェックが止まりました: %2</source>
        <extracomment>%1 the interface address, %2 why.</extracomment>
        <translation>Packet checking through %1 stopped: %2</translation>
    </message>
    <message>
        <source>パケットをチェックできません: 権限がありません (%1)</source>
        <extracomment>%1 the command that grants the right.</extracomment>
        <translation>Cannot check packets: permission denied (%1)</translation>
    </message>
    <message>
        <source>パケットをチェックできません: このプロセスは特権を得られません (no_new_privs)</source>
        <translation>Cannot check packets: this process may gain no privileges (no_new_privs)</translation>
    </message>
    <message>
        <source>パケットをチェックできません: %1グループに属していません (sudo usermod -aG %1 %2)</source>
        <extracomment>%1 the group, %2 the user.</extracomment>
        <translation>Cannot check packets: not a member of the %1 group (sudo usermod -aG %1 %2)</translation>
    </message>
    <message>
        <source>パケットをチェックできません: %1を実行できません</source>
        <extracomment>%1 the helper&apos;s path.</extracomment>
        <translation>Cannot check packets: cannot run %1</translation>
    </message>
    <message>
        <source>準備ができました</source>
        <translation>ready</translation>
    </message>
    <message>
        <source>ヘルパーが引数を受け付けません</source>
        <translation>the helper does not accept its arguments</translation>
    </message>
    <message>
        <source>アドレスがインターフェースにありません</source>
        <translation>the address is on no interface</translation>
    </message>
    <message>
        <source>権限がありません</source>
        <translation>permission denied</translation>
    </message>
    <message>
        <source>キャプチャを開けません</source>
        <translation>cannot open the capture</translation>
    </message>
    <message>
        <source>ヘルパーが権限を手放せません</source>
        <translation>the helper cannot drop its privileges</translation>
    </message>
    <message>
        <source>カーネルがフィルタを受け付けません</source>
        <translation>the kernel does not accept the filter</translation>
    </message>
    <message>
        <source>キャプチャを読めません</source>
        <translation>cannot read the capture</translation>
    </message>
    <message>
        <source>不明な状態 (%1)</source>
        <extracomment>%1 the status number.</extracomment>
        <translation>unknown status (%1)</translation>
    </message>
    <message>
        <source>ヘルパーを起動できません (エラー %1)</source>
        <extracomment>%1 the error number.</extracomment>
        <translation>cannot start the helper (error %1)</translation>
    </message>
    <message>
        <source>ヘルパーの出力が壊れています</source>
        <translation>the helper&apos;s output is garbled</translation>
    </message>
    <message>
        <source>ヘルパーが終了しました (終了コード %1)</source>
        <extracomment>%1 the exit code.</extracomment>
        <translation>the helper ended (exit code %1)</translation>
    </message>
    <message>
        <source>ヘルパーが強制終了されました (シグナル %1)</source>
        <extracomment>%1 the signal number.</extracomment>
        <translation>the helper was killed (signal %1)</translation>
    </message>
    <message>
        <source>ヘルパーが終了しました</source>
        <translation>the helper ended</translation>
    </message>
    <message>
        <source>ひとりの利用者が同時に開けるキャプチャの数を超えています</source>
        <translation>more captures than one user may run at once</translation>
    </message>
    <message>
        <source>%1を通るパケットのうち%2個を数えられませんでした (カーネルが破棄しました)。合計はその分少なくなります。</source>
        <extracomment>%1 the interface address, %2 how many datagrams.</extracomment>
        <translation>%2 packets through %1 could not be counted (the kernel dropped them). The totals are short by as much.</translation>
    </message>
</context>
<context>
    <name>CommandMenu</name>
    <message>
        <source>透明じゃなくする...</source>
        <translation>less Transparent...</translation>
    </message>
    <message>
        <source>透明にする...</source>
        <translation>more Transparent...</translation>
    </message>
</context>
<context>
    <name>ConnectionList</name>
    <message>
        <source>ぷろとこる</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>あくちぶ</source>
        <translation>Active</translation>
    </message>
    <message>
        <source>せつぞくもと</source>
        <translation>Local</translation>
    </message>
    <message>
        <source>せつぞくさき</source>
        <translation>Remote</translation>
    </message>
    <message>
        <source>じょうたい</source>
        <translation>State</translation>
    </message>
    <message>
        <source>つないでるひと</source>
        <translation>Process</translation>
    </message>
    <message>
        <source>あいでぃ</source>
        <translation>PID</translation>
    </message>
    <message>
        <source>（゜Д゜）</source>
        <translation>Seen</translation>
    </message>
    <message>
        <source>元IP</source>
        <translation>Local IP</translation>
    </message>
    <message>
        <source>元ホスト名</source>
        <translation>Local Host</translation>
    </message>
    <message>
        <source>元ポート</source>
        <translation>Local Port</translation>
    </message>
    <message>
        <source>先IP</source>
        <translation>Remote IP</translation>
    </message>
    <message>
        <source>先ホスト名</source>
        <translation>Remote Host</translation>
    </message>
    <message>
        <source>先ポート</source>
        <translation>Remote Port</translation>
    </message>
    <message>
        <source>通信総データサイズ</source>
        <translation>Total Bytes</translation>
    </message>
</context>
<context>
    <name>EventLog</name>
    <message>
        <source>じかん</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>じょうたい</source>
        <translation>Event</translation>
    </message>
</context>
<context>
    <name>HostNamePass</name>
    <message>
        <source>ホスト名逆引き処理開始</source>
        <translation>Host name lookup started</translation>
    </message>
    <message>
        <source>ホスト名逆引き処理終了</source>
        <translation>Host name lookup finished</translation>
    </message>
    <message>
        <source>IP:(%1)→ホスト名:(%2)</source>
        <extracomment>%1 the address, %2 its name.</extracomment>
        <translation>IP:(%1)→Host name:(%2)</translation>
    </message>
</context>
<context>
    <name>MainDialog</name>
    <message>
        <source>ホスト名で表示します。</source>
        <translation>Showing host names.</translation>
    </message>
    <message>
        <source>IPアドレスで表示します。</source>
        <translation>Showing IP addresses.</translation>
    </message>
    <message>
        <source>常に最上位に表示します。</source>
        <translation>Always on top.</translation>
    </message>
    <message>
        <source>常に最上位に表示を解除します。</source>
        <translation>No longer always on top.</translation>
    </message>
    <message>
        <source>透過度を(%1)に設定しました。</source>
        <translation>Opacity set to (%1).</translation>
    </message>
    <message>
        <source>パケットのチェックを開始します。</source>
        <translation>Packet checking started.</translation>
    </message>
    <message>
        <source>パケットのチェックを終了します。</source>
        <translation>Packet checking stopped.</translation>
    </message>
    <message>
        <source>表示更新間隔を(%1)msに設定しました。</source>
        <translation>Refresh interval set to (%1)ms.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>%1 -- 接続数:%2 -- 更新間隔:%3ms --</source>
        <extracomment>%1 the version, %2 the number of connections, %3 the interval.</extracomment>
        <translation>%1 -- Connections:%2 -- Interval:%3ms --</translation>
    </message>
    <message>
        <source>Kestrova のﾊﾞｰｼﾞｮﾝ情報(&amp;A)...</source>
        <translation>&amp;About Kestrova...</translation>
    </message>
    <message>
        <source>Kestrovaのﾊﾞｰｼﾞｮﾝ情報</source>
        <translation>About Kestrova</translation>
    </message>
</context>
<context>
    <name>PlatformGate</name>
    <message>
        <source>
上記OSはサポート外です。Kestrovaを起動することができません。
プログラムを終了します。</source>
        <translation>
The system above is not supported. Kestrova cannot start.
The program ends.</translation>
    </message>
    <message>
        <source>
上記OSで必要な機能を確かめられませんでした (%1)。Kestrovaを起動することができません。
プログラムを終了します。</source>
        <extracomment>%1 what could not be checked, and why.</extracomment>
        <translation>
Kestrova could not check what it needs on the system above (%1). Kestrova cannot start.
The program ends.</translation>
    </message>
</context>
<context>
    <name>ProcessNameLookup</name>
    <message>
        <source>プロセスID:(%1)→プログラム名:(%2)</source>
        <extracomment>%1 the process id, %2 the program&apos;s path.</extracomment>
        <translation>Process ID:(%1)→Program:(%2)</translation>
    </message>
</context>
<context>
    <name>RefreshCycle</name>
    <message>
        <source>新規</source>
        <translation>New</translation>
    </message>
    <message>
        <source>更新</source>
        <translation>Updated</translation>
    </message>
    <message>
        <source>(%1)の(%2)との接続状態を(%3)で新規追加しました。</source>
        <extracomment>%1 the owner, %2 the remote endpoint, %3 the state.</extracomment>
        <translation>(%1): connection with (%2) added as (%3).</translation>
    </message>
    <message>
        <source>(%1)の(%2)との接続状態を(%3)に更新しました。</source>
        <translation>(%1): connection with (%2) changed to (%3).</translation>
    </message>
    <message>
        <source>(%1)の(%2)との接続状態を破棄しました。</source>
        <translation>(%1): connection with (%2) removed.</translation>
    </message>
</context>
</TS>
