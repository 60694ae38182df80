#!/usr/bin/env bash
# Measures frandle on loopback against reference programs measured in the same run, and
# prints the tables, for both ways datagrams can meet the kernel: one packet each (the
# default) and offloaded (-O). Receivers run without privilege. Run from anywhere:
# bash bench/run.sh; RUNS=1 BLASTS=1 for a quick look. ONLY=echo, ONLY=pingpong or
# ONLY=echo,pingpong runs only the reflector or the round-trip sections, ONLY=probe only the
# steady streams of probe chunks (ONLY=main only the others).
set -euo pipefail
cd "$(dirname "$0")/.."

# Whether a section runs: all of them without ONLY, else those it names.
want() { [ -z "${ONLY:-}" ] || [[ ",$ONLY," == *",$1,"* ]]; }

runs=${RUNS:-5} blasts=${BLASTS:-10}
# Into a file, one run differs from the next by up to a third of what it keeps: the steady
# rows there take a median of more.
fileRuns=$((2 * runs + 1))
three=$((runs < 3 ? runs : 3))  # the rows that take a median of three
chunks=71633       # 1396-byte datagrams in the 100 MB file
listenChunks=7163  # and in the 10 MB one
pingChunks=716     # and in the file of the round trips
blockSinkPort=45101 receivePort=45102 iperfPort=45103 packetSinkPort=45104
echoPort=45110 peerPort=45111

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

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DFRANDLE_BENCH=ON >/dev/null
cmake --build build-bench >/dev/null
tool=build-bench/frandle bench=build-bench/bench
# Receivers run as an ordinary user would run them: as root, as nobody. setpriv execs the
# program, so the pid started is the program's own.
user=()
[ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && user=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# A build from before -O existed offloads by default: the rows say so.
if "$tool" -h 2>/dev/null | grep -q -- --offload; then
    O=(-O) packets="one packet each" offloadedTool="-O"
else
    O=() packets="offloaded (this build has no -O)" offloadedTool="(no -O: its default)"
fi
blocks="offloaded"

# Text in numbered 1396-byte chunks without line ends: every datagram prints as one line
# that can be checked on its own.
filler=$(awk 'BEGIN { f = "abcdefghijklmnopqrstuvwxyz"; while (length(f) < 1383) f = f f; print substr(f, 1, 1383) }')
makeText() { awk -v n="$2" -v f="$filler" 'BEGIN { for (i = 0; i < n; i++) printf "%012d %s", i, f }' >"$1"; }
if want main; then
    makeText "$work/text" "$chunks"
    makeText "$work/text10" "$listenChunks"
    chmod a+r "$work/text" "$work/text10"
    mkfifo -m 666 "$work/pipe"
fi
# About 1 MB: at 1 Mbit/s, L sends it in about 8 s, one datagram every 11 ms.
makeText "$work/ping" "$pingChunks"
chmod a+r "$work/ping"
sync  # the files just written are not written back while the first rows are timed

# One virtual CPU of a shared machine may run much slower than another (seen here: 40 %),
# so that a program timed on one and its floor on the other would be compared unfairly:
# what is timed and every receiver run on the last CPU, the paced sender on the first.
onTimedCpu=(taskset -c "$(($(nproc) - 1))") onSenderCpu=(taskset -c 0)

median() { if (($#)); then printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; else echo none; fi; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", 100 * a / b }'; }
# "met" or "not met" for a ratio against a goal: "le 1.1" or "ge 0.97".
verdict() { awk -v r="$1" -v op="$2" -v g="$3" 'BEGIN { ok = op == "le" ? r <= g : r >= g; print ok ? "met" : "not met" }'; }

# Nanoseconds that one sending run takes, start to end of the process.
elapsed() {
    # The shell's own clock, in microseconds: reading it starts no process, where a date
    # process a reading added about 6 ms to every figure here (a fifth of the fastest).
    local t0=${EPOCHREALTIME//[!0-9]/}
    "${onTimedCpu[@]}" "$@" >/dev/null
    echo $(((${EPOCHREALTIME//[!0-9]/} - t0) * 1000))
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
cpuTime() { cat /proc/"$1"/task/*/schedstat | awk '{ t += $1 } END { printf "%.0f\n", t }'; }

# Datagrams the kernel dropped at a full socket bound to a port.
# R's socket is an IPv6 one that takes IPv4 too, the floor's an IPv4 one: both tables.
drops() { awk -v p="$(printf ':%04X$' "$1")" '$2 ~ p { print $NF }' /proc/net/udp /proc/net/udp6; }

# R mode receiving the 100 MB file from S mode, both with the options given, into a file or
# (with "pipe") through cat; sets share (of intact lines) and ns (R's CPU time a datagram).
blast() {
    local how=$1 receiver reader="" cpu
    shift
    rm -f "$work/r.out"
    if [ "$how" = pipe ]; then
        "${user[@]}" cat <"$work/pipe" >"$work/r.out" & track
        reader=$pid
        "${user[@]}" "$tool" "$@" R - "$receivePort" >"$work/pipe" 2>>"$work/errors" & track
    else
        "${user[@]}" "$tool" "$@" R - "$receivePort" >"$work/r.out" 2>>"$work/errors" & track
    fi
    receiver=$pid
    waitFor "$work/r.out" "Receiving"
    "$tool" "$@" S "$work/text" "$receivePort" 127.0.0.1 >/dev/null 2>>"$work/errors"
    settle "$work/r.out"
    cpu=$(cpuTime "$receiver")
    stop "$receiver"
    [ -z "$reader" ] || reap "$reader" 50  # cat ends at the end of R's output
    share=$(percent "$(intact "$work/r.out")" "$chunks") ns=$((cpu / chunks))
}

# A steady stream for 2 s from paced_sender (with -O as $1 "-O", else one packet a
# datagram) at a rate into a receiver: R mode or the floor receiver, given with its options.
# The datagrams are numbered text, or with steadyPayload naming a probe file, its chunks in
# turn (paced_sender -f), and kept into a file is then what probe_kept finds intact.
# Sets kept (the share kept), pace (the datagrams a second that the sender reached), taken
# (the datagrams kept) and receiverCpu (the receiver's CPU time in ns, all its threads, at
# the end of the stream). A receiver that ended before it was stopped kept nothing.
steadyPayload=""
steady() {
    local flags=() rate=$2 out=$3 receiver sent result count alive=yes
    [ "$1" = -O ] && flags=(-O)
    [ -z "$steadyPayload" ] || flags+=(-f "$steadyPayload")
    shift 3
    # Into a file, each receiver starts with no dirty pages of the run before it, whose
    # writing back would take the machine's time in its run.
    [ "$out" = /dev/null ] || sync
    "${onTimedCpu[@]}" "${user[@]}" "$@" >"$out" 2>>"$work/errors" & track
    receiver=$pid
    sleep 0.3
    result=$("${onSenderCpu[@]}" "$bench"/paced_sender "${flags[@]}" "$receivePort" "$rate" 2 2>>"$work/errors") || result=""
    read -r sent pace <<<"$result"
    if [ -z "$result" ] || [ "${sent:-0}" -le 0 ]; then
        echo "paced_sender ${flags[*]} failed at $rate/s into $1" >>"$work/errors"
        sent=0 pace=0
    fi
    if [ "$out" = /dev/null ]; then
        sleep 0.5
    else
        settle "$out"
    fi
    if ours "$receiver"; then
        receiverCpu=$(cpuTime "$receiver" 2>/dev/null) || receiverCpu=0
        [ "$out" != /dev/null ] || count=$((sent - $(drops "$receivePort" | awk '{ t += $1 } END { print t + 0 }')))
    else
        echo "$* ended before its run at $rate/s was over" >>"$work/errors"
        alive=no receiverCpu=0 count=0
    fi
    stop "$receiver"
    if [ "$out" != /dev/null ] && [ "$alive" = yes ]; then
        case $1:$steadyPayload in
            "$tool":) count=$(intact "$out") ;;
            "$tool":*) count=$("$bench"/probe_kept lines "$steadyPayload" "$out") || count=0 ;;
            *:) count=$(($(stat -c %s "$out") / 1396)) ;;
            *) count=$("$bench"/probe_kept bytes "$steadyPayload" "$out") || count=0 ;;
        esac
    fi
    taken=$count
    if ((sent > 0)); then kept=$(percent "$count" "$sent"); else kept=0.000; fi
}

# L mode sending the 10 MB file to itself, with the options given; sets share.
listenShare() {
    local run
    "${user[@]}" "$tool" "$@" L "$work/text10" 30000 127.0.0.1 >"$work/l.out" 2>>"$work/errors" & track
    run=$pid
    waitFor "$work/l.out" "socket is"
    settle "$work/l.out"
    stop "$run"
    share=$(percent "$(intact "$work/l.out")" "$listenChunks")
}

# The reflector rows. One run: echo_client sends RATE numbered datagrams a second for 1 s
# to a reflector started for the run (the command given: the floor or R -e), which runs on
# the timed CPU and unprivileged as every receiver does; the client runs on the sender's.
# Sets sent, returned (what came back intact) and back (its share of what was sent) and,
# to tell whose loss it was, reached (the rate the client's sends reached), reflectorDrops
# and clientDrops (what the kernel dropped at each one's full socket) and clientOk (whether
# the client reached 99 % of the rate and dropped nothing itself); and altered, repeated
# and stray (see echo_client.cpp), which a reflector that sends back what it takes never
# causes.
echoRun() {
    local rate=$1 reflector result
    shift
    "${onTimedCpu[@]}" "${user[@]}" "$@" >/dev/null 2>>"$work/errors" & track
    reflector=$pid
    sleep 0.3
    ours "$reflector" || echo "$* ended before the run at $rate/s" >>"$work/errors"
    result=$("${onSenderCpu[@]}" "$bench"/echo_client "$echoPort" "$rate" "$rate") || result=""
    reflectorDrops=$(drops "$echoPort" | awk '{ t += $1 } END { print t + 0 }')
    stop "$reflector"
    read -r _ sent _ returned _ altered _ repeated _ stray _ clientDrops _ reached <<<"$result"
    if [ -z "$result" ] || [ "${sent:-0}" -le 0 ]; then
        echo "echo_client failed at $rate/s against $*" >>"$work/errors"
        sent=$rate returned=0 altered=0 repeated=0 stray=0 clientDrops=0 reached=0
    fi
    back=$(percent "$returned" "$sent")
    clientOk=$(awk -v r="$reached" -v a="$rate" -v d="$clientDrops" 'BEGIN { print (r >= 0.99 * a && d == 0) ? "yes" : "no" }')
}
atLeastShare() { awk -v s="$1" -v g="$2" 'BEGIN { exit !(s >= g) }'; }

# The floor reflector at a rate, $three runs: sets floorLeast, the least share returned in
# them, and, for the rate where the search ends, what was lost where (lossNote).
floorAt() {
    local rate=$1 shares=() run all=0 lost=0 inFloor=0 inClient=0 slowest=""
    for ((run = 1; run <= three; run++)); do
        echo "reflector floor at $rate/s: run $run of $three" >&2
        echoRun "$rate" "$bench"/reflect_floor "$echoPort"
        shares+=("$back")
        all=$((all + sent)) lost=$((lost + sent - returned))
        inFloor=$((inFloor + reflectorDrops)) inClient=$((inClient + clientDrops))
        [ -n "$slowest" ] && [ "$slowest" -le "$reached" ] || slowest=$reached
    done
    floorLeast=$(printf '%s\n' "${shares[@]}" | sort -n | head -1)
    searched+=("$rate/s: $floorLeast %")
    lossNote="at $rate/s the floor returned ${shares[*]} %; of all that was sent in the $three runs, $(percent "$lost" "$all") % did not come back, $(percent "$inFloor" "$all") % was dropped at the reflector's full socket and $(percent "$inClient" "$all") % at the client's; the client reached $slowest/s at the slowest"
    if [ "$inClient" -gt 0 ] || [ "$slowest" -lt $((rate * 99 / 100)) ]; then
        lossNote+=": the client fell short of the rate too, so that this rate does not tell the floor's limit from the client's"
    else
        lossNote+=": the losses were the reflector's, not the client's"
    fi
}

# The highest rate at which the floor returns at least 99.9 % in each of $three runs: rates
# doubled from 50 000/s up to 1 600 000/s until one falls short, then three halvings of the
# gap between the last that did not and the first that did. Sets echoLow (0: none did) and
# echoHigh (0: all did).
echoSearch() {
    local rate=50000 step
    echoLow=0 echoHigh=0 searched=() failNote=""
    for ((step = 0; step < 6; step++)); do
        floorAt "$rate"
        if atLeastShare "$floorLeast" 99.9; then echoLow=$rate; else echoHigh=$rate failNote=$lossNote; break; fi
        rate=$((rate * 2))
    done
    if ((echoLow > 0 && echoHigh > 0)); then
        for ((step = 0; step < 3; step++)); do
            rate=$(((echoLow + echoHigh) / 2)) && rate=$((rate - rate % 1000))
            floorAt "$rate"
            if atLeastShare "$floorLeast" 99.9; then echoLow=$rate; else echoHigh=$rate failNote=$lossNote; fi
        done
    fi
}

# The round-trip rows: one datagram of the 1 MB file at a time, about every 11 ms, to a
# reflector on the timed CPU, unprivileged; the sender on the sender's CPU.
# frandle: L -b 1M -v -J through a reflector, the command given (R -e or the floor); sets
# rtt (the median round trip L reports, µs; empty when it reports none), timed (how many L
# timed) and pingBack (the intact lines L printed).
pingFrandle() {
    local reflector listener line
    "${onTimedCpu[@]}" "${user[@]}" "$@" >/dev/null 2>>"$work/errors" & track
    reflector=$pid
    sleep 0.3
    "${onSenderCpu[@]}" "${user[@]}" "$tool" L "$work/ping" "$echoPort" 127.0.0.1 -b 1M -w 1 -v -J >"$work/pp.out" 2>"$work/pp.err" & track
    listener=$pid
    reap "$listener" 600  # it ends about 1 s after its last datagram, some 9 s; stopped after 60
    stop "$reflector"
    # The JSON report, in seconds: {"report":"round-trips","timed":N,...,"median":S,...}
    line=$(grep -m1 '"report":"round-trips"' "$work/pp.err") || line=""
    [ -n "$line" ] || { echo "L reported no round trips:"; cat "$work/pp.err"; } >>"$work/errors"
    rtt=$(sed -n 's/.*"median":\([0-9.e+-]*\).*/\1/p' <<<"$line" | awk '{ printf "%.1f", $1 * 1000000 }')
    timed=$(sed -n 's/.*"timed":\([0-9]*\).*/\1/p' <<<"$line")
    pingLine=$line pingBack=$(intact "$work/pp.out")
}
# The peer: sockperf ping-pong against sockperf server, as long and at the same pace.
# --full-rtt makes it report round trips; without it, it reports half of each. Sets peerRtt
# (its median round trip, µs) and peerTimed (the observations it reports).
pingPeer() {
    local server client half
    "${onTimedCpu[@]}" "${user[@]}" sockperf server -i 127.0.0.1 -p "$peerPort" >/dev/null 2>&1 & track
    server=$pid
    sleep 0.5
    "${onSenderCpu[@]}" "${user[@]}" sockperf ping-pong -i 127.0.0.1 -p "$peerPort" -m 1396 -t 8 --mps=90 --full-rtt >"$work/sp.out" 2>&1 & track
    client=$pid
    reap "$client" 300
    stop "$server"
    peerRtt=$(sed -n 's/.*percentile 50\.000 = *\([0-9.]*\).*/\1/p' "$work/sp.out")
    peerTimed=$(sed -n 's/.*Total \([0-9]*\) observations.*/\1/p' "$work/sp.out" | tr -cd '0-9')
    if grep -q 'Round trip is' "$work/sp.out"; then
        half=no
    elif grep -q 'Latency is' "$work/sp.out"; then
        half=yes  # a sockperf that reports half a round trip in spite of --full-rtt
    else
        { echo "sockperf ping-pong reported no median:"; cat "$work/sp.out"; } >>"$work/errors"
        peerRtt="" half=no
    fi
    if [ -n "$peerRtt" ]; then
        peerRtt=$(awk -v r="$peerRtt" -v h="$half" 'BEGIN { printf "%.1f", h == "yes" ? 2 * r : r }')
    fi
}

if want main; then
    # Each regime's senders meet a sink that receives as that regime's R does: a sink taking
    # blocks whole spares a sender of blocks the cutting, which a sender of single datagrams
    # never needs.
    "$bench"/sink -O "$blockSinkPort" & track
    "$bench"/sink "$packetSinkPort" & track
    sleep 0.2
    plain=() mmsg=() segment=() sendMode=() sendBlocks=() iperf=()
    haveIperf=$(command -v iperf3 >/dev/null && command -v python3 >/dev/null && echo yes || echo no)
    for ((run = 1; run <= runs; run++)); do
        echo "senders: run $run of $runs" >&2
        plain+=("$(elapsed "$bench"/plain_floor "$work/text" "$packetSinkPort")")
        mmsg+=("$(elapsed "$bench"/sendmmsg_floor "$work/text" "$packetSinkPort")")
        sendMode+=("$(elapsed "$tool" S "$work/text" "$packetSinkPort" 127.0.0.1)")
        segment+=("$(elapsed "$bench"/segment_floor "$work/text" "$blockSinkPort")")
        sendBlocks+=("$(elapsed "$tool" "${O[@]}" S "$work/text" "$blockSinkPort" 127.0.0.1)")
        if [ "$haveIperf" = yes ]; then
            iperfRate
            iperf+=("$iperfResult")
        fi
    done

    blastFile=() blastPipe=() blastPackets=() cpuBlocks=() cpuPackets=()
    for ((run = 1; run <= blasts; run++)); do
        echo "bursts: run $run of $blasts" >&2
        blast file "${O[@]}"
        blastFile+=("$share") cpuBlocks+=("$ns")
        blast pipe "${O[@]}"
        blastPipe+=("$share")
        blast file
        blastPackets+=("$share") cpuPackets+=("$ns")
    done

    null=()
    for ((run = 1; run <= runs; run++)); do
        echo "steady offloaded to /dev/null: run $run of $runs" >&2
        steady -O 1500000 /dev/null "$tool" "${O[@]}" R - "$receivePort"
        null+=("$kept")
    done

    # One packet a datagram into R and into the floor receiver, taking turns: to /dev/null
    # (kept: what the kernel did not drop at the socket) and into a file (kept: what is there).
    rates=(600000 800000 1000000)
    # The sender shares the machine with the receiver, and on loopback it also delivers each
    # datagram to the socket itself, so the rate it reaches is shown for each receiver.
    declare -A keptR keptFloor paceR paceFloor
    for rate in "${rates[@]}"; do
        for out in null file; do
            inR=() inFloor=() reachedR=() reachedFloor=()
            [ "$out" = null ] && to=/dev/null n=$runs || to=$work/steady.out n=$fileRuns
            for ((run = 1; run <= n; run++)); do
                echo "steady one packet each to $out at $rate/s: run $run of $n" >&2
                steady - "$rate" "$to" "$tool" R - "$receivePort"
                inR+=("$kept") reachedR+=("$pace")
                steady - "$rate" "$to" "$bench"/receive_floor "$receivePort"
                inFloor+=("$kept") reachedFloor+=("$pace")
            done
            keptR[$rate $out]=$(median "${inR[@]}") keptFloor[$rate $out]=$(median "${inFloor[@]}")
            paceR[$rate $out]=$(median "${reachedR[@]}") paceFloor[$rate $out]=$(median "${reachedFloor[@]}")
        done
    done

    listenBlocks=() listenPackets=()
    for ((run = 1; run <= runs; run++)); do
        echo "L mode: run $run of $runs" >&2
        listenShare "${O[@]}"
        listenBlocks+=("$share")
        listenShare
        listenPackets+=("$share")
    done

    # Paced sends longer than a second: the rate S mode reports, over the rate asked for.
    paced() {
        local port=$1 file=$2
        shift 2
        "$tool" -v "$@" S "$work/$file" "$port" 127.0.0.1 2>&1 >/dev/null | sed -n 's/^sent .*: \([0-9.]*\) Mbit\/s handed to the kernel$/\1/p'
    }
    paceBlocks10=() paceBlocks100=() pacePackets10=() pacePackets100=()
    for ((run = 1; run <= three; run++)); do
        echo "paced sends: run $run of $three" >&2
        paceBlocks10+=("$(paced "$blockSinkPort" text10 -b 50M "${O[@]}")")
        paceBlocks100+=("$(paced "$blockSinkPort" text -b 500M "${O[@]}")")
        pacePackets10+=("$(paced "$packetSinkPort" text10 -b 50M)")
        pacePackets100+=("$(paced "$packetSinkPort" text -b 500M)")
    done

    # The check of a 100 MB probe's log against one CRC over the same bytes, from the page cache.
    build-bench/frandle-probe make 100M | fold -b -w 1396 | sed 's/^/rcvd /' >"$work/probe.log"
    cksum "$work/probe.log" >/dev/null
    crc=() checked=()
    for ((run = 1; run <= runs; run++)); do
        crc+=("$(elapsed cksum "$work/probe.log")")
        checked+=("$(elapsed build-bench/frandle-probe check "$work/probe.log")")
    done
fi

# The probe rows: the steady one-packet streams again, with the chunks of a probe as the
# payload, which R recognises and tallies as they arrive; the same rates, R and the floor
# taking turns, to /dev/null and into a file. To /dev/null R also takes a stream of the
# numbered text in each turn, for its CPU time a datagram with either payload.
if want probe; then
    # Chunks of 1396 bytes all, the last one too: 75 000 of them, about 100 MB, sent in turn
    # and round again while the stream lasts.
    probeChunks=75000
    build-bench/frandle-probe make $((probeChunks * 1396)) >"$work/probe"
    chmod a+r "$work/probe"
    sync
    probeRates=(600000 800000 1000000)
    declare -A pKeptR pKeptFloor pPaceR pPaceFloor pCpuR pCpuText pCpuFloor pPaceText
    for rate in "${probeRates[@]}"; do
        for out in null file; do
            inR=() inFloor=() reachedR=() reachedFloor=() cpuR=() cpuText=() cpuFloor=() reachedText=()
            [ "$out" = null ] && to=/dev/null n=$runs || to=$work/steady.out n=$fileRuns
            for ((run = 1; run <= n; run++)); do
                echo "steady probe chunks, one packet each, to $out at $rate/s: run $run of $n" >&2
                steadyPayload=$work/probe
                steady - "$rate" "$to" "$tool" R - "$receivePort"
                inR+=("$kept") reachedR+=("$pace")
                ((taken <= 0)) || cpuR+=("$((receiverCpu / taken))")
                steady - "$rate" "$to" "$bench"/receive_floor "$receivePort"
                inFloor+=("$kept") reachedFloor+=("$pace")
                ((taken <= 0)) || cpuFloor+=("$((receiverCpu / taken))")
                steadyPayload=""
                if [ "$out" = null ]; then
                    steady - "$rate" /dev/null "$tool" R - "$receivePort"
                    reachedText+=("$pace")
                    ((taken <= 0)) || cpuText+=("$((receiverCpu / taken))")
                fi
            done
            pKeptR[$rate $out]=$(median "${inR[@]}") pKeptFloor[$rate $out]=$(median "${inFloor[@]}")
            pPaceR[$rate $out]=$(median "${reachedR[@]}") pPaceFloor[$rate $out]=$(median "${reachedFloor[@]}")
            if [ "$out" = null ]; then
                pCpuR[$rate]=$(median "${cpuR[@]}") pCpuFloor[$rate]=$(median "${cpuFloor[@]}")
                pCpuText[$rate]=$(median "${cpuText[@]}") pPaceText[$rate]=$(median "${reachedText[@]}")
            fi
        done
    done
    rm -f "$work/steady.out"
fi

# R's -e: a build that has it does not call it unknown.
haveEcho=$("$tool" -e 2>&1 | grep -q 'unknown option' && echo no || echo yes)
if want echo; then
    echoSearch
    # At the edge of what the floor keeps, a run keeps all or falls behind and loses a third
    # or more, either reflector (seen here: 100 and 57 % in turn): a median of more runs.
    floorShares=() floorReached=() echoShares=() echoReached=() clientGood=0 clientRuns=0 faults=(0 0 0)
    floorSent=0 floorBack=0 echoSent=0 echoBack=0
    if ((echoLow > 0)); then
        for ((run = 1; run <= fileRuns; run++)); do
            echo "reflectors at $echoLow/s: run $run of $fileRuns" >&2
            echoRun "$echoLow" "$bench"/reflect_floor "$echoPort"
            floorShares+=("$back") floorReached+=("$reached")
            floorSent=$((floorSent + sent)) floorBack=$((floorBack + returned))
            clientRuns=$((clientRuns + 1))
            [ "$clientOk" = no ] || clientGood=$((clientGood + 1))
            [ "$haveEcho" = yes ] || continue
            echoRun "$echoLow" "$tool" R - "$echoPort" -e
            echoShares+=("$back") echoReached+=("$reached")
            echoSent=$((echoSent + sent)) echoBack=$((echoBack + returned))
            clientRuns=$((clientRuns + 1))
            [ "$clientOk" = no ] || clientGood=$((clientGood + 1))
            faults=($((faults[0] + altered)) $((faults[1] + repeated)) $((faults[2] + stray)))
        done
    fi
fi
if want pingpong; then
    havePeer=$(command -v sockperf >/dev/null && echo yes || echo no)
    # Each run's median, "none" where there was none; the figures alone for the median of them.
    pingRuns=() pingRtts=() pingTimed=() pingKept=() peerRuns=() peerRtts=() peerCounts=() pingLine=""
    baseRuns=() baseRtts=()
    for ((run = 1; run <= three; run++)); do
        echo "round trips: run $run of $three" >&2
        if [ "$haveEcho" = yes ]; then
            pingFrandle "$tool" R - "$echoPort" -e
            pingRuns+=("${rtt:-none}") pingTimed+=("${timed:-0}") pingKept+=("$pingBack")
            [ -z "$rtt" ] || pingRtts+=("$rtt")
            line=$pingLine
            # The same L through the floor reflector: what R -e adds to a round trip.
            pingFrandle "$bench"/reflect_floor "$echoPort"
            baseRuns+=("${rtt:-none}")
            [ -z "$rtt" ] || baseRtts+=("$rtt")
            pingLine=$line
        fi
        if [ "$havePeer" = yes ]; then
            pingPeer
            peerRuns+=("${peerRtt:-none}") peerCounts+=("${peerTimed:-0}")
            [ -z "$peerRtt" ] || peerRtts+=("$peerRtt")
        fi
    done
fi

whole() { local n=0 s; for s in "$@"; do [ "$s" = 100.000 ] && n=$((n + 1)); done; echo "$n of $#"; }
ms() { echo $(($1 / 1000000)); }
atLeast() { local n=0 s; for s in "${@:2}"; do awk -v s="$s" -v g="$1" 'BEGIN { exit !(s >= g) }' && n=$((n + 1)); done; echo "$n of $(($# - 1))"; }
echo
echo "$(date +%F), machine: $(nproc) cores, $(uname -sr), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "net.core.rmem_max: $(cat /proc/sys/net/core/rmem_max); receivers unprivileged; 100 MB = $chunks datagrams of 1396 bytes"
echo "frandle: $(git log -1 --format='%h %s' -- src 2>/dev/null | cut -c1-100)"
echo
if want main; then
    p=$(median "${plain[@]}") m=$(median "${mmsg[@]}") g=$(median "${segment[@]}")
    s=$(median "${sendMode[@]}") sO=$(median "${sendBlocks[@]}")
    echo "| Sender of the 100 MB file to a loopback socket never read | datagrams | ms, median of $runs | ratio | goal |"
    echo "|---|---|---:|---:|---|"
    echo "| plain floor: one read and one sendto a datagram | one packet each | $(ms "$p") | | |"
    echo "| sendmmsg floor: one read of 64 chunks, one sendmmsg of them | one packet each | $(ms "$m") | | |"
    echo "| frandle S | $packets | $(ms "$s") | $(ratio "$s" "$m") of the sendmmsg floor | at most 1.1: $(verdict "$(ratio "$s" "$m")" le 1.1) |"
    echo "| segment floor: one read of 46 chunks, one send the kernel cuts | offloaded | $(ms "$g") | | |"
    echo "| frandle S $offloadedTool | $blocks | $(ms "$sO") | $(ratio "$sO" "$g") of the segment floor | at most 0.85: $(verdict "$(ratio "$sO" "$g")" le 0.85) |"
    if [ "$haveIperf" = yes ]; then
        echo "| iperf3 -u -b 0 -l 1396 to its own server: datagrams/s | | $(median "${iperf[@]}") | | |"
    fi
    echo
    for out in null file; do
        [ "$out" = null ] && where="to /dev/null" || where="into a file"
        echo "| Steady stream for 2 s from paced_sender, one packet each, $where | sender reached, R | R kept | sender reached, floor | floor kept | R over the floor (goal: at least 0.97) |"
        echo "|---|---:|---:|---:|---:|---:|"
        for rate in "${rates[@]}"; do
            r=$(ratio "${keptR[$rate $out]}" "${keptFloor[$rate $out]}")
            echo "| $rate/s asked | ${paceR[$rate $out]}/s | ${keptR[$rate $out]} % | ${paceFloor[$rate $out]}/s | ${keptFloor[$rate $out]} % | $r: $(verdict "$r" ge 0.97) |"
        done
        echo
    done
    echo "R: frandle R ($packets); floor: receive_floor without -O (recvmmsg of 64, bytes written as they came); median of $runs each to /dev/null, of $fileRuns into a file."
    echo
    echo "| Received by R mode | datagrams | runs kept whole | share of intact lines, each run |"
    echo "|---|---|---:|---|"
    echo "| 1 500 000/s for 2 s from paced_sender -O into R $offloadedTool, to /dev/null (goal: at least 99.99 % each) | $blocks | $(atLeast 99.99 "${null[@]}") at least 99.99 % | ${null[*]} |"
    echo "| 100 MB from S $offloadedTool into R $offloadedTool, into a file | $blocks | $(whole "${blastFile[@]}") | ${blastFile[*]} |"
    echo "| 100 MB from S $offloadedTool into R $offloadedTool, through cat into a file | $blocks | $(whole "${blastPipe[@]}") | ${blastPipe[*]} |"
    echo "| 100 MB from S into R, into a file | $packets | $(whole "${blastPackets[@]}") | ${blastPackets[*]} |"
    echo "| L $offloadedTool, 10 MB to itself | $blocks | $(whole "${listenBlocks[@]}") | ${listenBlocks[*]} |"
    echo "| L, 10 MB to itself | $packets | $(whole "${listenPackets[@]}") | ${listenPackets[*]} |"
    echo
    echo "R mode's CPU time (user and system) per datagram of the 100 MB transfer into a file, median of $blasts: $(median "${cpuBlocks[@]}") ns $offloadedTool, $(median "${cpuPackets[@]}") ns without."
    echo "Paced sends (goal: within 1 %), median of $three: -b 50M of the 10 MB file gave $(median "${paceBlocks10[@]}") Mbit/s $offloadedTool and $(median "${pacePackets10[@]}") without; -b 500M of the 100 MB file $(median "${paceBlocks100[@]}") Mbit/s $offloadedTool and $(median "${pacePackets100[@]}") without."
    c=$(median "${crc[@]}") k=$(median "${checked[@]}")
    echo "frandle-probe check of a 100 MB probe's log: $(ms "$k") ms, $(ratio "$k" "$c") times cksum's $(ms "$c") ms (goal: at most 2), median of $runs."
fi
if want probe; then
    for out in null file; do
        [ "$out" = null ] && where="to /dev/null" || where="into a file"
        echo "| Steady stream for 2 s from paced_sender, one packet each, probe chunks, $where | sender reached, R | R kept | sender reached, floor | floor kept | R over the floor (goal: at least 0.95) |"
        echo "|---|---:|---:|---:|---:|---:|"
        for rate in "${probeRates[@]}"; do
            if [ "${pKeptFloor[$rate $out]}" = 0.000 ] || [ "${pKeptFloor[$rate $out]}" = none ]; then
                r=none v="not measured: the floor kept nothing"
            else
                r=$(ratio "${pKeptR[$rate $out]}" "${pKeptFloor[$rate $out]}") && v=$(verdict "$r" ge 0.95)
            fi
            echo "| $rate/s asked | ${pPaceR[$rate $out]}/s | ${pKeptR[$rate $out]} % | ${pPaceFloor[$rate $out]}/s | ${pKeptFloor[$rate $out]} % | $r: $v |"
        done
        echo
    done
    echo "Probe: frandle-probe make $((probeChunks * 1396)), $probeChunks chunks of 1396 bytes, sent in turn and round again (paced_sender -f). R: frandle R ($packets); floor: receive_floor without -O; median of $runs each to /dev/null, of $fileRuns into a file. Kept into a file: the datagrams that are byte for byte the chunk their header numbers, in R's lines or in the floor's bytes (probe_kept)."
    echo
    echo "| CPU time (user and system) per datagram taken, to /dev/null, median of $runs | R, probe chunks | R, numbered text (sender reached) | probe over text | floor, probe chunks |"
    echo "|---|---:|---:|---:|---:|"
    for rate in "${probeRates[@]}"; do
        pr=${pCpuR[$rate]} tx=${pCpuText[$rate]}
        if [ "$pr" = none ] || [ "$tx" = none ] || [ "$tx" -le 0 ]; then over=none; else over=$(ratio "$pr" "$tx"); fi
        echo "| $rate/s asked | $pr ns | $tx ns (${pPaceText[$rate]}/s) | $over | ${pCpuFloor[$rate]} ns |"
    done
    echo
fi
if want echo; then
    echo "| Reflected to echo_client, 1396-byte datagrams for 1 s at a set rate | rate | client reached | returned intact | over the floor (goal: at least 0.9) |"
    echo "|---|---:|---:|---:|---:|"
    if ((echoLow > 0)); then
        f=$(median "${floorShares[@]}")
        echo "| floor: recvmmsg of 64, one sendmmsg of them back | $echoLow/s | $(median "${floorReached[@]}")/s | $f % | |"
        if [ "$haveEcho" = yes ]; then
            e=$(median "${echoShares[@]}") r=$(ratio "$(median "${echoShares[@]}")" "$f")
            echo "| frandle R -e ($packets), output to /dev/null | $echoLow/s | $(median "${echoReached[@]}")/s | $e % | $r: $(verdict "$r" ge 0.9) |"
        else
            echo "| frandle R -e | | | | this build has no -e |"
        fi
        echo
        echo "The rate: the highest at which the floor returned at least 99.9 % in each of $three runs; searched (the least of the $three): $(printf '%s, ' "${searched[@]}" | sed 's/, $//')."
        if ((echoHigh > 0)); then echo "At the end of the search, $failNote."; else echo "The floor returned 99.9 % at every rate tried: the rate is the search's ceiling."; fi
        echo "At $echoLow/s, taking turns, median of $fileRuns each; returned, each run: the floor ${floorShares[*]}${echoShares[*]:+; R -e ${echoShares[*]}}; of all sent in the $fileRuns runs: the floor $(percent "$floorBack" "$floorSent") %${echoShares[*]:+, R -e $(percent "$echoBack" "$echoSent") %}. The client reached 99 % of the rate and dropped nothing at its own socket in $clientGood of $clientRuns runs."
        atLeastShare "$f" 99.9 || echo "The floor returned less than 99.9 % at this rate here: the machine ran slower than in the search, and the rows compare two reflectors that lose."
        [ "$haveEcho" = no ] || echo "R -e sent back, in its $fileRuns runs, ${faults[0]} datagrams altered, ${faults[1]} more than once and ${faults[2]} from another address or port."
    else
        echo "| floor | | | | not 99.9 % even at 50000/s: $failNote |"
    fi
    echo
fi
if want pingpong; then
    echo "| Round trips on 127.0.0.1, one 1396-byte datagram at a time, about 90 a second for 8 s | median round trip of each run, µs | median of $three, µs | goal |"
    echo "|---|---|---:|---|"
    if [ "$haveEcho" = yes ]; then
        echo "| frandle L -b 1M -v -J to frandle R -e, its round-trips report (timed: ${pingTimed[*]} of $pingChunks; intact lines: ${pingKept[*]}) | ${pingRuns[*]} | $(median "${pingRtts[@]}") | |"
        echo "| the same L to reflect_floor, for reference: what R -e adds | ${baseRuns[*]} | $(median "${baseRtts[@]}") | |"
    else
        echo "| frandle L to R -e | | | this build has no -e |"
    fi
    if [ "$havePeer" = yes ]; then
        echo "| sockperf ping-pong -m 1396 --mps=90 -t 8 --full-rtt to sockperf server (observations: ${peerCounts[*]}) | ${peerRuns[*]} | $(median "${peerRtts[@]}") | |"
    else
        echo "| sockperf | | | not installed (apt-get install sockperf): row skipped |"
    fi
    if [ "$haveEcho" = yes ] && [ "$havePeer" = yes ]; then
        fr=$(median "${pingRtts[@]}") pr=$(median "${peerRtts[@]}")
        echo "| frandle against sockperf | | $(awk -v f="$fr" -v p="$pr" 'BEGIN { if (f + 0 != f || p + 0 != p) print "none"; else printf "%+.1f (%+.0f %%)", f - p, 100 * (f - p) / p }') | within 20 % or 10 µs, the larger: $(awk -v f="$fr" -v p="$pr" 'BEGIN { if (f + 0 != f || p + 0 != p) { print "not measured"; exit } d = f - p; d = d < 0 ? -d : d; l = 0.2 * p; if (l < 10) l = 10; print d <= l ? "met" : f < p ? "not met, below" : "not met, above" }') |"
    fi
    echo
    if [ -n "$pingLine" ]; then
        echo "L's report of the last run: $pingLine"
        echo
    fi
fi
if [ -s "$work/errors" ]; then
    echo
    echo "Reported on standard error during the runs:"
    sort "$work/errors" | uniq -c
fi
exit 0
