#!/usr/bin/env bash
# Measures frandle on loopback against reference senders measured in the same run, and
# prints one table. Run from anywhere: bash bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
chunks=71633       # 1396-byte datagrams in the 100 MB file
listenChunks=7163  # and in the 10 MB one
sinkPort=45101 receivePort=45102 iperfPort=45103

work=$(mktemp -d /tmp/frandle-bench.XXXXXX)
chmod 755 "$work"  # readable by the unprivileged runs
started=()
cleanup() {
    for pid in "${started[@]}"; do { kill -9 "$pid" && wait "$pid"; } 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFRANDLE_BENCH=ON >/dev/null
cmake --build build-bench >/dev/null
tool=build-bench/frandle

# Text in numbered 1396-byte chunks without line ends: every datagram prints as one line
# that can be checked on its own.
filler=$(awk 'BEGIN { f = "abcdefghijklmnopqrstuvwxyz"; while (length(f) < 1383) f = f f; print substr(f, 1, 1383) }')
makeText() { awk -v n="$2" -v f="$filler" 'BEGIN { for (i = 0; i < n; i++) printf "%012d %s", i, f }' >"$1"; }
makeText "$work/text" "$chunks"
makeText "$work/text10" "$listenChunks"
chmod a+r "$work/text" "$work/text10"

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# Datagrams a second of one sending run, from the count it prints and the time it took.
rate() {
    local t0 t1 out
    t0=$(now)
    out=$("$@")
    t1=$(now)
    echo $((${out##* } * 1000000000 / (t1 - t0)))
}

iperfRate() {
    iperf3 -s -1 -p "$iperfPort" >/dev/null 2>&1 &
    local server=$!
    started+=("$server")
    sleep 0.3
    iperf3 -c 127.0.0.1 -p "$iperfPort" -u -b 0 -l 1396 -t 2 -J |
        python3 -c 'import json, sys; s = json.load(sys.stdin)["end"]["sum"]; print(int(s["packets"] / s["seconds"]))'
    wait "$server" || true
}

# Waits until a growing output file has stayed the same size for 0.3 s (at most 30 s).
settle() {
    local last=-1 size stable=0
    for ((i = 0; i < 300 && stable < 3; i++)); do
        size=$(stat -c %s "$1")
        if [ "$size" = "$last" ]; then stable=$((stable + 1)); else stable=0; fi
        last=$size
        sleep 0.1
    done
}

# Percent of the file's chunks printed as intact lines, in order.
share() {
    awk -v n="$2" -v f="$filler" '
        /^rcvd / {
            k = substr($0, 6, 12) + 0
            if (k >= next_k && $0 == sprintf("rcvd %012d %s", k, f)) { ok++; next_k = k + 1 }
        }
        END { printf "%.3f", 100 * ok / n }' "$1"
}

# Waits until a file holds a text (at most 10 s).
waitFor() {
    for ((i = 0; i < 1000; i++)); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.01
    done
    echo "no \"$2\" in $1" >&2
}

# R mode (run as "$@") receiving an S-mode transfer of the 100 MB file.
receiveShare() {
    "$@" R - "$receivePort" >"$work/r.out" 2>>"$work/errors" &
    local receiver=$!
    started+=("$receiver")
    waitFor "$work/r.out" "Receiving"
    "$tool" S "$work/text" "$receivePort" 127.0.0.1 >/dev/null 2>>"$work/errors"
    settle "$work/r.out"
    kill -TERM "$receiver"
    wait "$receiver" || true
    share "$work/r.out" "$chunks"
}

# L mode (run as "$@") sending the 10 MB file to itself.
listenShare() {
    "$@" L "$work/text10" 30000 127.0.0.1 >"$work/l.out" 2>>"$work/errors" &
    local run=$!
    started+=("$run")
    settle "$work/l.out"
    kill -TERM "$run"
    wait "$run" || true
    share "$work/l.out" "$listenChunks"
}

build-bench/bench/sink "$sinkPort" &
started+=("$!")
sleep 0.2
plain=() segment=() sendMode=() iperf=() received=() listened=() unprivileged=() listenedUnprivileged=()
haveIperf=$(command -v iperf3 >/dev/null && command -v python3 >/dev/null && echo yes || echo no)
# As root, the receivers also run without privilege, as most users would run them.
canDrop=$([ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && echo yes || echo no)
nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
for ((run = 1; run <= runs; run++)); do
    echo "run $run of $runs" >&2
    plain+=("$(rate build-bench/bench/plain_floor "$work/text" "$sinkPort")")
    segment+=("$(rate build-bench/bench/segment_floor "$work/text" "$sinkPort")")
    sendMode+=("$(rate "$tool" S "$work/text" "$sinkPort" 127.0.0.1)")
    [ "$haveIperf" = yes ] && iperf+=("$(iperfRate)")
    received+=("$(receiveShare "$tool")")
    [ "$canDrop" = yes ] && unprivileged+=("$(receiveShare $nobody "$tool")")
    listened+=("$(listenShare "$tool")")
    [ "$canDrop" = yes ] && listenedUnprivileged+=("$(listenShare $nobody "$tool")")
done

p=$(median "${plain[@]}") g=$(median "${segment[@]}") s=$(median "${sendMode[@]}")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
lowest() { printf '%s\n' "$@" | sort -n | head -1; }

echo
echo "$(date +%F), machine: $(nproc) cores, $(uname -sr), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "net.core.rmem_max: $(cat /proc/sys/net/core/rmem_max); median of $runs runs; 100 MB = $chunks datagrams of 1396 bytes"
echo
echo "| Sender to a bound loopback socket | datagrams/s | S mode's rate over it |"
echo "|---|---:|---:|"
echo "| one read and one send a datagram (floor) | $p | $(ratio "$s" "$p") |"
echo "| kernel-cut blocks of 46 (batched floor) | $g | $(ratio "$s" "$g") |"
if [ "$haveIperf" = yes ]; then
    i=$(median "${iperf[@]}")
    echo "| iperf3 -u -b 0 -l 1396 | $i | $(ratio "$s" "$i") |"
fi
echo "| frandle S | $s | 1.00 |"
echo
echo "| Received | intact lines, lowest of $runs runs | all runs |"
echo "|---|---:|---|"
echo "| R mode, 100 MB from S mode | $(lowest "${received[@]}") % | ${received[*]} |"
if [ "$canDrop" = yes ]; then
    echo "| R mode unprivileged (buffer capped by rmem_max) | $(lowest "${unprivileged[@]}") % | ${unprivileged[*]} |"
fi
echo "| L mode, 10 MB to itself | $(lowest "${listened[@]}") % | ${listened[*]} |"
if [ "$canDrop" = yes ]; then
    echo "| L mode unprivileged | $(lowest "${listenedUnprivileged[@]}") % | ${listenedUnprivileged[*]} |"
fi
echo
echo "S mode takes $(ratio "$g" "$s") times the batched floor's time (goal: at most 2)."
[ "$haveIperf" = yes ] && echo "S mode sends $(ratio "$s" "$i") times iperf3's datagram rate (goal: 5 or more)."
if [ -s "$work/errors" ]; then
    echo
    echo "Reported on standard error during the runs:"
    sort "$work/errors" | uniq -c
fi
exit 0
