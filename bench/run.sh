#!/usr/bin/env bash
# Measures frandle on loopback against reference programs measured in the same run, and
# prints the tables. Receivers run without privilege. Run from anywhere: bash bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5} blasts=${BLASTS:-10}
chunks=71633       # 1396-byte datagrams in the 100 MB file
listenChunks=7163  # and in the 10 MB one
sinkPort=45101 receivePort=45102 iperfPort=45103

work=$(mktemp -d /tmp/frandle-bench.XXXXXX)
chmod 777 "$work"  # the unprivileged receivers write here
# Every process started in the background is signalled only by the pid it was started
# with, and only while it is still this shell's child: bash reaps a child soon after it
# ends, and its pid may then be another process's.
started=()
track() { pid=$!; started+=("$pid"); }
ours() {
    local stat ppid
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    read -r _ ppid _ <<<"${stat##*) }"  # past the name, which may hold spaces
    [ "$ppid" = "$$" ]
}
forget() {
    local left=() p
    for p in "${started[@]}"; do [ "$p" = "$1" ] || left+=("$p"); done
    started=("${left[@]}")
}
# Waits up to $2 tenths of a second for a process to end by itself, then asks it to stop
# (TERM), then after 5 s more makes it (KILL); reaps it either way.
reap() {
    local pid=$1 i
    for ((i = 0; i < $2; i++)); do ours "$pid" || break; sleep 0.1; done
    if ours "$pid"; then kill -TERM "$pid" 2>/dev/null || true; fi
    for ((i = 0; i < 50; i++)); do ours "$pid" || break; sleep 0.1; done
    if ours "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
    forget "$pid"
}
stop() { reap "$1" 0; }
# shellcheck disable=SC2317  # it runs from the trap
cleanup() {
    local p
    for p in "${started[@]}"; do
        if ours "$p"; then kill -KILL "$p" 2>/dev/null || true; fi
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Without -Werror: a compiler's false alarm must not keep the bench from running.
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFRANDLE_BENCH=ON -DFRANDLE_WERROR=OFF >/dev/null
cmake --build build-bench >/dev/null
tool=build-bench/frandle bench=build-bench/bench
# Receivers run as an ordinary user would run them: as root, as nobody. setpriv execs the
# program, so the pid started is the program's own.
user=()
[ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && user=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# Text in numbered 1396-byte chunks without line ends: every datagram prints as one line
# that can be checked on its own.
filler=$(awk 'BEGIN { f = "abcdefghijklmnopqrstuvwxyz"; while (length(f) < 1383) f = f f; print substr(f, 1, 1383) }')
makeText() { awk -v n="$2" -v f="$filler" 'BEGIN { for (i = 0; i < n; i++) printf "%012d %s", i, f }' >"$1"; }
makeText "$work/text" "$chunks"
makeText "$work/text10" "$listenChunks"
chmod a+r "$work/text" "$work/text10"
mkfifo -m 666 "$work/pipe"

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", 100 * a / b }'; }

# Nanoseconds that one sending run takes, start to end of the process.
elapsed() {
    local t0
    t0=$(now)
    "$@" >/dev/null
    echo $(($(now) - t0))
}

# Datagrams a second that iperf3 sends to its own server on loopback; sets iperfResult.
iperfRate() {
    iperf3 -s -1 -p "$iperfPort" >/dev/null 2>&1 & track
    local server=$pid
    sleep 0.3
    iperfResult=$(iperf3 -c 127.0.0.1 -p "$iperfPort" -u -b 0 -l 1396 -t 2 -J |
        python3 -c 'import json, sys; s = json.load(sys.stdin)["end"]["sum"]; print(int(s["packets"] / s["seconds"]))') || iperfResult=0
    reap "$server" 20
}

# Waits until a growing output file has stayed the same size for 0.3 s (at most 30 s).
settle() {
    local last=-1 size stable=0 i
    for ((i = 0; i < 300 && stable < 3; i++)); do
        size=$(stat -c %s "$1")
        if [ "$size" = "$last" ]; then stable=$((stable + 1)); else stable=0; fi
        last=$size
        sleep 0.1
    done
}

# Intact lines of numbered chunks, in order.
intact() {
    awk -v f="$filler" '
        /^rcvd / {
            k = substr($0, 6, 12) + 0
            if (k >= next_k && substr($0, 19) == f) { ok++; next_k = k + 1 }
        }
        END { print ok + 0 }' "$1"
}

# Waits until a file holds a text (at most 10 s).
waitFor() {
    local i
    for ((i = 0; i < 1000; i++)); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.01
    done
    echo "no \"$2\" in $1" >&2
}

# CPU time in nanoseconds of a process, all its threads.
cpuTime() { cat /proc/"$1"/task/*/schedstat | awk '{ t += $1 } END { print t }'; }

# Datagrams the kernel dropped at a full socket bound to a port.
drops() { awk -v p="$(printf ':%04X' "$1")" '$2 ~ p { print $NF }' /proc/net/udp; }

# R mode receiving the 100 MB file from S mode, into a file or (with "pipe") through cat;
# sets share (of intact lines) and ns (R's CPU time per datagram).
blast() {
    local receiver reader="" cpu
    rm -f "$work/r.out"
    if [ "$1" = pipe ]; then
        "${user[@]}" cat <"$work/pipe" >"$work/r.out" & track
        reader=$pid
        "${user[@]}" "$tool" R - "$receivePort" >"$work/pipe" 2>>"$work/errors" & track
    else
        "${user[@]}" "$tool" R - "$receivePort" >"$work/r.out" 2>>"$work/errors" & track
    fi
    receiver=$pid
    waitFor "$work/r.out" "Receiving"
    "$tool" S "$work/text" "$receivePort" 127.0.0.1 >/dev/null 2>>"$work/errors"
    settle "$work/r.out"
    cpu=$(cpuTime "$receiver")
    stop "$receiver"
    [ -z "$reader" ] || reap "$reader" 50  # cat ends at the end of R's output
    share=$(percent "$(intact "$work/r.out")" "$chunks") ns=$((cpu / chunks))
}

# A steady stream at a rate for 2 s into a receiver (R mode, or the floor receiver);
# sets kept (the share kept).
steady() {
    local rate=$1 out=$2 receiver count sent
    shift 2
    "${user[@]}" "$@" >"$out" 2>>"$work/errors" & track
    receiver=$pid
    sleep 0.3
    sent=$("$bench"/paced_sender -O "$receivePort" "$rate" 2 | cut -d" " -f1)
    if [ "$out" = /dev/null ]; then
        sleep 0.5
        count=$((sent - $(drops "$receivePort")))
    else
        settle "$out"
    fi
    stop "$receiver"
    case $1 in
        "$tool") [ "$out" = /dev/null ] || count=$(intact "$out") ;;
        *) count=$(($(stat -c %s "$out") / 1396)) ;;
    esac
    kept=$(percent "$count" "$sent")
}

# L mode sending the 10 MB file to itself; sets share (of intact lines).
listenShare() {
    local run
    "${user[@]}" "$tool" L "$work/text10" 30000 127.0.0.1 >"$work/l.out" 2>>"$work/errors" & track
    run=$pid
    waitFor "$work/l.out" "socket is"
    settle "$work/l.out"
    stop "$run"
    share=$(percent "$(intact "$work/l.out")" "$listenChunks")
}

"$bench"/sink -O "$sinkPort" & track
sleep 0.2
plain=() segment=() sendMode=() iperf=()
haveIperf=$(command -v iperf3 >/dev/null && command -v python3 >/dev/null && echo yes || echo no)
for ((run = 1; run <= runs; run++)); do
    echo "senders: run $run of $runs" >&2
    plain+=("$(elapsed "$bench"/plain_floor "$work/text" "$sinkPort")")
    segment+=("$(elapsed "$bench"/segment_floor "$work/text" "$sinkPort")")
    sendMode+=("$(elapsed "$tool" S "$work/text" "$sinkPort" 127.0.0.1)")
    if [ "$haveIperf" = yes ]; then
        iperfRate
        iperf+=("$iperfResult")
    fi
done

toFile=() toPipe=() cpu=()
for ((run = 1; run <= blasts; run++)); do
    echo "bursts: run $run of $blasts" >&2
    blast file
    toFile+=("$share") cpu+=("$ns")
    blast pipe
    toPipe+=("$share")
done

null=()
for ((run = 1; run <= runs; run++)); do
    echo "steady to /dev/null: run $run of $runs" >&2
    steady 1500000 /dev/null "$tool" R - "$receivePort"
    null+=("$kept")
done

declare -A fileR fileFloor
for rate in 400000 800000 1000000; do
    inR=() inFloor=()
    for ((run = 1; run <= 3; run++)); do
        echo "steady to a file at $rate/s: run $run of 3" >&2
        steady "$rate" "$work/steady.out" "$tool" R - "$receivePort"
        inR+=("$kept")
        steady "$rate" "$work/steady.out" "$bench"/receive_floor -O "$receivePort"
        inFloor+=("$kept")
    done
    fileR[$rate]=$(median "${inR[@]}") fileFloor[$rate]=$(median "${inFloor[@]}")
done

listened=()
for ((run = 1; run <= runs; run++)); do
    listenShare
    listened+=("$share")
done

# Paced sends longer than a second: the rate S mode reports, over the rate asked for.
paced() { "$tool" -v -b "$1" S "$2" "$sinkPort" 127.0.0.1 2>&1 >/dev/null | sed 's/.*: \([0-9.]*\) Mbit\/s/\1/'; }
pace10=() pace100=()
for ((run = 1; run <= 3; run++)); do
    echo "paced sends: run $run of 3" >&2
    pace10+=("$(paced 50M "$work/text10")")
    pace100+=("$(paced 500M "$work/text")")
done

# The check of a 100 MB probe's log against one CRC over the same bytes, from the page cache.
build-bench/frandle-probe make 100M | fold -b -w 1396 | sed 's/^/rcvd /' >"$work/probe.log"
cksum "$work/probe.log" >/dev/null
crc=() checked=()
for ((run = 1; run <= runs; run++)); do
    crc+=("$(elapsed cksum "$work/probe.log")")
    checked+=("$(elapsed build-bench/frandle-probe check "$work/probe.log")")
done

whole() { local n=0 s; for s in "$@"; do [ "$s" = 100.000 ] && n=$((n + 1)); done; echo "$n of $#"; }
p=$(median "${plain[@]}") g=$(median "${segment[@]}") s=$(median "${sendMode[@]}")
echo
echo "$(date +%F), machine: $(nproc) cores, $(uname -sr), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "net.core.rmem_max: $(cat /proc/sys/net/core/rmem_max); receivers unprivileged; 100 MB = $chunks datagrams of 1396 bytes"
echo
echo "| Sender of the 100 MB file to a loopback socket never read | ms, median of $runs | S mode's time over it |"
echo "|---|---:|---:|"
echo "| one read and one send a datagram (floor) | $((p / 1000000)) | $(ratio "$s" "$p") |"
echo "| read + kernel-cut blocks of 46 (batched floor) | $((g / 1000000)) | $(ratio "$s" "$g") (goal: at most 0.70) |"
if [ "$haveIperf" = yes ]; then
    echo "| iperf3 -u -b 0 -l 1396: datagrams/s | $(median "${iperf[@]}") | |"
fi
echo "| frandle S | $((s / 1000000)) | 1.00 |"
echo
echo "| Received by R mode | runs kept whole | share of intact lines, each run |"
echo "|---|---:|---|"
echo "| 100 MB from S mode, into a file | $(whole "${toFile[@]}") | ${toFile[*]} |"
echo "| 100 MB from S mode, through cat into a file | $(whole "${toPipe[@]}") | ${toPipe[*]} |"
echo "| 1 500 000/s for 2 s, to /dev/null | | ${null[*]} |"
echo "| L mode, 10 MB to itself | $(whole "${listened[@]}") | ${listened[*]} |"
echo
echo "| Steady stream for 2 s into a file | R mode kept, median of 3 | floor receiver kept | R over the floor |"
echo "|---|---:|---:|---:|"
for rate in 400000 800000 1000000; do
    echo "| $rate/s | ${fileR[$rate]} % | ${fileFloor[$rate]} % | $(ratio "${fileR[$rate]}" "${fileFloor[$rate]}") |"
done
echo
echo "R mode's CPU time (user and system) per datagram of the 100 MB transfer: $(median "${cpu[@]}") ns, median of $blasts."
echo "Paced sends: -b 50M of the 10 MB file gave $(median "${pace10[@]}") Mbit/s, -b 500M of the 100 MB file $(median "${pace100[@]}") Mbit/s (goal: within 1 %), median of 3."
c=$(median "${crc[@]}") k=$(median "${checked[@]}")
echo "frandle-probe check of a 100 MB probe's log: $((k / 1000000)) ms, $(ratio "$k" "$c") times cksum's $((c / 1000000)) ms (goal: at most 2), median of $runs."
if [ -s "$work/errors" ]; then
    echo
    echo "Reported on standard error during the runs:"
    sort "$work/errors" | uniq -c
fi
exit 0
