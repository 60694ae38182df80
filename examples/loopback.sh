#!/bin/sh
# Both ends of a transfer on this host: a receiver in the background, a sender, and then
# what the receiver printed: a sample text line by line, then a probe file, checked.
# Usage: loopback.sh [path to frandle] [path to frandle-probe]
set -u
bin=${1:-./build/frandle}
probe=${2:-./build/frandle-probe}
port=40001
here=$(dirname "$0")
log=$(mktemp)
file=$(mktemp)
receiver=
trap 'kill "$receiver" 2>/dev/null; rm -f "$log" "$file"' EXIT

# Starts a receiver into the log and waits until it has bound its port.
receive() {
    : >"$log"  # the last receiver's lines must not pass for this one's
    "$bin" R - "$port" >"$log" 2>&1 &
    receiver=$!
    tries=0
    until grep -q 'Receiving' "$log" || [ "$tries" -ge 50 ]; do
        sleep 0.1
        tries=$((tries + 1))
    done
}

stop() {
    sleep 0.5
    kill "$receiver"
    wait "$receiver" 2>/dev/null
}

receive
echo "sender:"
"$bin" S "$here/sample.txt" "$port" 127.0.0.1 200
stop
echo "receiver:"
cat "$log"

echo
echo "a probe of 1 MB, sent the same way and checked:"
"$probe" make 1M >"$file"
receive
"$bin" S "$file" "$port" 127.0.0.1
stop
"$probe" check "$log"
