#!/usr/bin/env bash
# Mutation test by hand: each mutant is one small fault put into a copy of the sources (a
# flipped condition, a dropped call, an off-by-one); the copy is rebuilt and the tests that
# should catch it are run. A mutant the tests pass is a survivor: a fault they would miss.
#   bash tests/mutants/run.sh tests/mutants/frandle.list [ctest -R regex]
# A list has one mutant a line, "file :: text => replacement" (the first occurrence of the
# text is replaced); lines starting with # are notes. Runs as root, in a network namespace
# of its own.
set -euo pipefail
cd "$(dirname "$0")/../.."
list=$1 tests=${2:-.}
copy=$(mktemp -d /tmp/frandle-mutants.XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp -r CMakeLists.txt src tests examples doc "$copy"
cmake -S "$copy" -B "$copy/build" >/dev/null
cmake --build "$copy/build" -j2 >/dev/null

made=0 killed=0 survivors=()
# The mutants as file, text and replacement, each ended by a zero byte.
mutants() {
    python3 -c '
import sys
for line in open(sys.argv[1]):
    line = line.rstrip("\n")
    if line and not line.startswith("#"):
        file, change = line.split(" :: ", 1)
        text, replacement = change.split(" => ", 1)
        sys.stdout.write(file + "\0" + text + "\0" + replacement + "\0")' "$1"
}

while IFS= read -r -d '' file && IFS= read -r -d '' text && IFS= read -r -d '' replacement; do
    cp "$copy/$file" "$copy/original"
    if ! FROM=$text TO=$replacement python3 -c '
import os, sys
path = sys.argv[1]; s = open(path).read(); t = os.environ["FROM"]
if t not in s: sys.exit(1)
open(path, "w").write(s.replace(t, os.environ["TO"], 1))' "$copy/$file"; then
        echo "not found, so not made: $file: $text"
        rm "$copy/original"
        continue
    fi
    made=$((made + 1))
    if ! cmake --build "$copy/build" -j2 >/dev/null 2>&1; then
        echo "killed (does not build): $file: $text"
        killed=$((killed + 1))
    elif unshare -n sh -c 'ip link set lo up && exec ctest --test-dir "$0/build" -R "$1" --stop-on-failure' "$copy" "$tests" >/dev/null 2>&1; then
        echo "SURVIVED: $file: $text -> $replacement"
        survivors+=("$file: $text")
    else
        echo "killed: $file: $text"
        killed=$((killed + 1))
    fi
    # Copied back, not moved: a new time stamp, so that the next build undoes this mutant.
    cp "$copy/original" "$copy/$file" && rm "$copy/original"
done < <(mutants "$list")
echo "mutants made: $made, killed: $killed, survived: ${#survivors[@]}"
