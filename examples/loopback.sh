#!/bin/sh
# Both ends of a transfer on this host: a receiver in the background, a sender, and then
# what the receiver printed. Usage: loopback.sh [path to frandle]
set -u
bin=${1:-./build/frandle}
port=40001
here=$(dirname "$0")
log=$(mktemp)

"$bin" R - "$port" >"$log" 2>&1 &
receiver=$!
trap 'kill "$receiver" 2>/dev/null; rm -f "$log"' EXIT

tries=0
until grep -q 'Receiving' "$log" || [ "$tries" -ge 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
done

echo "sender:"
"$bin" S "$here/sample.txt" "$port" 127.0.0.1 200
sleep 0.5
kill "$receiver"
wait "$receiver" 2>/dev/null
echo "receiver:"
cat "$log"
