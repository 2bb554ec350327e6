#!/usr/bin/env bash
# Usage: scripts/compare-outputs.sh OLD NEW
#
# Runs two kestrova binaries side by side on one loopback workload of this
# script's own and compares what they print: --list, --list --json, the same
# with -6, --list --host-names, and a few seconds of --log and --log --json
# (with -6), timestamps masked. Only lines about the workload's own
# connections are compared, since other programs' connections come and go
# between the runs. Exits 0 when every output matches, 1 otherwise; the
# outputs are kept in the folder it names.
#
# The logs watch a live table, each on its own tick: a tick of one that falls
# between two kernel changes of a connection that is ending (a reset reaching
# the other end) can log a line the other does not. Such a difference at a
# connection's end is timing, not text; run again to tell the two apart.
set -euo pipefail

if [[ $# -ne 2 || ! -x $1 || ! -x $2 ]]; then
    echo "usage: $0 OLD-BINARY NEW-BINARY" >&2
    exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
LOG_SECONDS=${LOG_SECONDS:-5}

out=$(mktemp -d /tmp/kestrova-compare.XXXXXX)
# Both read an empty profile of their own: the defaults, and nothing saved.
export HOME=$out/home XDG_CONFIG_HOME=$out/home/.config
mkdir -p "$XDG_CONFIG_HOME"
export LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen
unset LANGUAGE LC_ALL LC_MESSAGES

# The workload: listeners on 127.0.0.1 and ::1 with a few connections each
# that stay open, and while the logs run, short connections that come and go
# (a bounded number, so the workload ends by itself).
cat >"$out/workload.py" <<'EOF'
import socket, struct, sys, time
ports = []
held = []
listeners = []
for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.bind((host, 0))
    listener.listen(64)
    listeners.append((family, host, listener))
    ports.append(listener.getsockname()[1])
    for _ in range(3):
        client = socket.socket(family, socket.SOCK_STREAM)
        client.connect((host, listener.getsockname()[1]))
        accepted, _ = listener.accept()
        held += [client, accepted]
print(" ".join(map(str, ports)), flush=True)
sys.stdin.readline()  # go: the logs are running
for round in range(int(sys.argv[1])):
    for family, host, listener in listeners:
        client = socket.socket(family, socket.SOCK_STREAM)
        client.connect((host, listener.getsockname()[1]))
        accepted, _ = listener.accept()
        time.sleep(0.4)
        # Reset rather than close: the connection goes at once, with no
        # TIME_WAIT left behind and no moment without an owner.
        for end in (client, accepted):
            end.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
        accepted.close()
    time.sleep(0.4)
sys.stdin.readline()  # end
EOF
coproc WORKLOAD { exec python3 "$out/workload.py" $((LOG_SECONDS - 2 > 1 ? LOG_SECONDS - 2 : 1)); }
workload_pid=$WORKLOAD_PID
trap 'kill "$workload_pid" 2>/dev/null || true' EXIT
read -r port4 port6 <&"${WORKLOAD[0]}"
ours=":($port4|$port6)([^0-9]|\$)"

# The workload's lines, timestamps masked.
keep() { grep -aE "$ours" | sed -E -e 's/^[0-9]{4}\/[0-9]{2}\/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}/<time>/' \
    -e 's/"time":"[^"]*"/"time":"<time>"/' || true; }
# The JSON array, one object per line, keeping the workload's objects.
objects() { python3 -c '
import json, sys
for row in json.load(sys.stdin):
    print(json.dumps(row, ensure_ascii=False, sort_keys=False))' | keep; }

status=0
compare() {
    local name=$1
    if cmp -s "$out/old.$name" "$out/new.$name"; then
        echo "same: $name ($(wc -l <"$out/old.$name") lines)"
    else
        echo "DIFFERENT: $name"
        diff -u "$out/old.$name" "$out/new.$name" | head -40 || true
        status=1
    fi
}

for which in old new; do
    binary=${!which}
    "$binary" --list >"$out/$which.list-raw"
    head -1 "$out/$which.list-raw" >"$out/$which.header"
    keep <"$out/$which.list-raw" >"$out/$which.list"
    "$binary" --list --json | objects >"$out/$which.list-json"
    "$binary" --list -6 | keep >"$out/$which.list6"
    "$binary" --list -6 --json | objects >"$out/$which.list6-json"
    "$binary" --list -6 --host-names | keep >"$out/$which.list-names"
done

# Both logs at once, so they see the same changes.
pids=()
for which in old new; do
    timeout -s INT "$LOG_SECONDS" "${!which}" --log -6 >"$out/$which.log-raw" 2>"$out/$which.log-err" & pids+=($!)
    timeout -s INT "$LOG_SECONDS" "${!which}" --log -6 --json >"$out/$which.log-json-raw" 2>/dev/null & pids+=($!)
done
sleep 1
echo go >&"${WORKLOAD[1]}"
for pid in "${pids[@]}"; do wait "$pid" || true; done
echo end >&"${WORKLOAD[1]}"
for which in old new; do
    keep <"$out/$which.log-raw" >"$out/$which.log"
    keep <"$out/$which.log-json-raw" >"$out/$which.log-json"
done

for name in header list list-json list6 list6-json list-names log log-json; do compare "$name"; done
echo "outputs in $out"
exit "$status"
