#!/usr/bin/env bash
# Mutation test of frandle-probe: each line below makes one small fault in src/probe*.cpp;
# the probe tests must then fail (the mutant is killed). A scratch copy of the tree is
# built once; each mutant is applied there, rebuilt, tested and undone. Lines marked
# "equivalent" change nothing a user can see and are expected to survive.
# Usage: bash tests/mutants/probe.sh   (like the suite, in a network namespace of its own)
set -u
here=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
tar -C "$here" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$scratch" -xf -
build() { cmake --build "$scratch/build" --target frandle-probe probe_test probe_lib_test >/dev/null 2>&1; }
cmake -S "$scratch" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Debug >/dev/null && build || { echo "the unchanged tree does not build"; exit 2; }
passes() { "$scratch/build/tests/probe_lib_test" >/dev/null 2>&1 && "$scratch/build/tests/probe_test" >/dev/null 2>&1; }
passes || { echo "the unchanged tree fails its tests"; exit 2; }

L=src/probe_lib.cpp M=src/probe.cpp
made=0 killed=0 equivalent=0 survivors=()
# file	sed script	what it breaks
while IFS=$'\t' read -r file script what; do
    [ -n "$file" ] || continue
    cp "$scratch/$file" "$scratch/$file.orig"
    sed -i "$script" "$scratch/$file"
    if cmp -s "$scratch/$file" "$scratch/$file.orig"; then
        echo "NOT APPLIED: $what"
        exit 2
    fi
    made=$((made + 1))
    if ! build; then
        echo "does not build: $what"
        exit 2
    elif passes; then
        case $what in
        equivalent:*) equivalent=$((equivalent + 1)); echo "survived ($what)" ;;
        *) survivors+=("$what"); echo "SURVIVED: $what" ;;
        esac
    else
        killed=$((killed + 1)); echo "killed: $what"
    fi
    # Copied back, not moved: a new time stamp, so that the next build undoes this mutant.
    cp "$scratch/$file.orig" "$scratch/$file" && rm "$scratch/$file.orig"
done <<MUTANTS
$L	s/0x82F63B78/0xEDB88320/	the table's polynomial
$L	s/crcStep(~0U, chunk, CRC_AT)/~0U/	the CRC leaves out the header
$L	s/return ~crcStep(head/return crcStep(head/	the CRC's last inversion dropped
$L	s/bytes += 8, length -= 8/bytes += 4, length -= 8/	the instruction's stride
$L	s/& 0xFF\] ^ (crc >> 8)/\& 0x7F] ^ (crc >> 8)/	the table's index
$L	s/hasCrcInstruction() ? crcByInstruction : crcByTable/crcByTable/	equivalent: the table always (slower)
$L	s|if (number > (UINT64_MAX - digit) / 10)|if (false)|	the size overflow check removed
$L	s/text.size() - at > 1/text.size() - at > 2/	two letters after a size
$L	s/if (at == 0 || /if (/	a size without digits
$L	s/suffix == 'k' || suffix == 'K'/suffix == 'k'/	K refused
$L	s/number > UINT64_MAX >> shift/false/	a suffix overflows
$L	s/'G' ? 30/'G' ? 29/	g is 2^29
$L	s/if (last >= HEADER)/if (last > HEADER)/	equivalent: a last chunk of exactly a header given nothing
$L	s/chunk < HEADER + lacking/chunk <= HEADER + lacking/	the chunk before last off by one
$L	s/seq + 2 == count ? beforeLast/seq + 1 == count ? beforeLast/	the chunk before last not shortened
$L	s/(size % chunk != 0 ? 1 : 0)/1/	one chunk too many
$L	s/seq % 26 + HEADER/seq % 25 + HEADER/	the filler's letters
$L	s/\*chunk > LARGEST_CHUNK/*chunk > LARGEST_CHUNK + 1/	a send size one too large
$L	s/if (\*size < HEADER)/if (*size <= HEADER)/	SIZE of one header refused
$L	s/chunksIn(\*size, \*chunk) > LARGEST_COUNT/chunksIn(*size, *chunk) >= LARGEST_COUNT/	the largest count refused
$L	s/text.size() != 8/text.size() > 8/	a run of seven digits
$L	s/0123456789abcdefABCDEF"/0123456789abcdefABCDEFg"/	a run with a g
$L	s/after->first == n + 1/after->first == n + 2/	ranges that touch
$L	s/if (n + 1 < end)/if (true)/	an empty range left by erase
$L	s/count += std::min(end, limit) - first/count += end - first/	counted past the limit
$L	s/node.key() = n + 1;/node.key() = n;/	erase of a range's first number
$L	s/before->second = n + 1;/before->second = n + 2;/	insert joins one too many
$L	s/\*seq >= \*total/*seq > *total/	a number equal to the count taken
$L	s/chunk.size() >= HEADER ?/chunk.size() >= 14 ?/	fields read past a short line
$L	s/tally.runs.size() >= RUNS_KEPT/tally.runs.size() > RUNS_KEPT/	one run too many kept
$L	s/ && run != tally.chosen//	the chosen run not kept past the bound
$L	s/\*length == chunk.size() && //	the length field unchecked
$L	s/ && \*crc == chunkCrc(chunk.data(), chunk.size())//	the CRC unchecked
$L	s/(run.count == 0 || total == run.count)/(run.count == 0 || total != 0)/	the guard against two counts dropped
$L	/run.damaged.erase(seq);/d	a number intact and damaged at once
$L	s/seq < run.highest/seq <= run.highest/	equivalent: the highest number is never new
$L	s/if (run.intact.contains(seq) || run.damaged.contains(seq))/if (run.damaged.contains(seq))/	a damaged copy of an intact number
$L	/if (chunk.substr(0, MAGIC.size()) != MAGIC) {/{n;d}	foreign datagrams not counted
$L	/overlong = true;/d	over-long lines not detected
$L	/no line end in a whole block/{n;s/if (!overlong)/if (true)/}	a long line counted once a block
$L	s/if (start < end && !overlong)/if (false)/	a last line without a line end ignored
$L	/std::memmove(buffer.data()/d	a line across two blocks
$L	s/f.damaged = run.damaged.countBelow(run.count)/f.damaged = run.damaged.countBelow(UINT64_MAX)/	damaged numbers past the count
$L	s/ && f.damaged == 0; }/; }/	a damaged run whole
$L	s/tally.linesPastRuns != 0 || damagedUnknownOf/damagedUnknownOf/	runs past the bound ignored
$L	s/ || damagedUnknownOf(tally) != 0)/)/	damaged lines of no run ignored
$L	s/std::min(span.first, run.count) - 1/span.first - 1/	a missing range past the count
$L	s/RANGES_SHOWN = 5/RANGES_SHOWN = 6/	six ranges shown
$L	s/span.first > next &&/span.first >= next \&\&/	an empty missing range
$L	s/whole(tally) ? "every" : "not every"/"every"/	the chosen run's verdict
$M	/words.insert(words.end(), argv + optind/d	words after -- dropped
$M	s/catch (const std::bad_alloc &)/catch (const std::bad_array_new_length \&)/	an allocation failure aborts
$M	s/layout.beforeLast != layout.chunk/layout.beforeLast == layout.chunk/	the shortened chunk untold
$M	s/layout.chunk > probe::DEFAULT_CHUNK/layout.chunk >= probe::DEFAULT_CHUNK/	a warning for the default send size
$M	s/used + layout.chunk > block.size()/used + layout.chunk >= block.size()/	equivalent: a block written one chunk early
$M	s/if (report == Report::Json || tally.chosen)/if (report == Report::Json)/	--run taken by make
$M	s/if (!tally.chosen)$/if (false)/	a run that is not one
MUTANTS

echo "made $made, killed $killed, equivalent $equivalent, survived ${#survivors[@]}"
for what in "${survivors[@]}"; do echo "  survivor: $what"; done
[ "${#survivors[@]}" -eq 0 ]
