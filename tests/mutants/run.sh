#!/usr/bin/env bash
# Mutation test by hand: each mutant is one small fault put into a copy of the sources (a
# flipped condition, a dropped call, an off-by-one); the copy is rebuilt and the tests that
# should catch it are run. A mutant the tests pass is a survivor: a fault they would miss.
#   bash tests/mutants/run.sh tests/mutants/frandle.list 'unit|command_line|receive|listen'
#   bash tests/mutants/run.sh tests/mutants/probe.list 'probe'
#   bash tests/mutants/run.sh tests/mutants/reports.list 'unit|send|receive'
#   bash tests/mutants/run.sh tests/mutants/answers.list 'send|network'
# A list has one mutant a line, "file :: text => replacement": the one occurrence of the text
# is replaced, where \n stands for a line end and \\ for a backslash. A line that starts with
# "equivalent: " is a mutant no user could tell apart, expected to survive; lines starting
# with # are notes. Runs as root, each test run in a network namespace of its own; ends
# with status 1 when a mutant that is not equivalent survived, 2 when the list is stale.
set -euo pipefail
cd "$(dirname "$0")/../.."
list=$1 tests=${2:-.}
copy=$(mktemp -d /tmp/frandle-mutants.XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp -r CMakeLists.txt src tests examples doc "$copy"
# A mutant may leave a variable unused: a warning, not a reason to skip it.
build() { cmake --build "$copy/build" -j2 >/dev/null 2>&1; }
passes() { unshare -n sh -c 'ip link set lo up && exec ctest --test-dir "$0/build" -R "$1" --stop-on-failure' "$copy" "$tests" >/dev/null 2>&1; }
cmake -S "$copy" -B "$copy/build" -DFRANDLE_WERROR=OFF >/dev/null
build || { echo "the unchanged sources do not build"; exit 2; }
passes || { echo "the unchanged sources fail the tests"; exit 2; }

# The mutants as kind (mutant or equivalent), file, text and replacement, each ended by a zero byte.
mutants() {
    python3 -c '
import re, sys
unescape = lambda t: re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), t)
for line in open(sys.argv[1]):
    line = line.rstrip("\n")
    if not line or line.startswith("#"):
        continue
    kind = "equivalent" if line.startswith("equivalent: ") else "mutant"
    file, change = line.removeprefix("equivalent: ").split(" :: ", 1)
    text, replacement = change.split(" => ", 1)
    sys.stdout.write("\0".join([kind, file, unescape(text), unescape(replacement)]) + "\0")' "$1"
}

made=0 killed=0 equivalent=0 survivors=()
while IFS= read -r -d '' kind && IFS= read -r -d '' file && IFS= read -r -d '' text && IFS= read -r -d '' replacement; do
    cp "$copy/$file" "$copy/original"
    if ! FROM=$text TO=$replacement python3 -c '
import os, sys
path = sys.argv[1]; s = open(path).read(); t = os.environ["FROM"]
if s.count(t) != 1: sys.exit(1)
open(path, "w").write(s.replace(t, os.environ["TO"]))' "$copy/$file"; then
        echo "not found once in $file, so the list is stale: $text"
        exit 2
    fi
    made=$((made + 1))
    if ! build; then
        echo "does not build, so not a mutant: $file: $text"
        exit 2
    elif ! passes; then
        echo "killed: $file: $text"
        killed=$((killed + 1))
    elif [ "$kind" = equivalent ]; then
        echo "survived, equivalent: $file: $text"
        equivalent=$((equivalent + 1))
    else
        echo "SURVIVED: $file: $text -> $replacement"
        survivors+=("$file: $text")
    fi
    # Copied back, not moved: a new time stamp, so that the next build undoes this mutant.
    cp "$copy/original" "$copy/$file" && rm "$copy/original"
done < <(mutants "$list")
echo "mutants made: $made, killed: $killed, equivalent: $equivalent, survived: ${#survivors[@]}"
[ "${#survivors[@]}" -eq 0 ] || exit 1
