#!/usr/bin/env bash
# Plants faults in the program, one at a time, and tells which ones the test suite catches.
#
#   scripts/plant-faults.sh [--tests-from REV] [FAULT_LIST]
#
# FAULT_LIST (default scripts/faults.list) has one fault per line, its fields split by " @@ ":
#   <file> @@ <text as it stands in the program> @@ <text that replaces it> @@ <what the user meets>
# The text must occur exactly once in the file; \n in it stands for a line break. Each fault is applied to a temporary copy of the
# working tree, which is built and tested (ctest, stopping at the first failing test). With
# --tests-from REV, the copy's tests/ come from that revision instead, to compare two suites on
# the same program. Prints one line per fault: caught or MISSED, and the test that caught it.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tests_from=""
if [ "${1:-}" = --tests-from ]; then
    tests_from=$2
    shift 2
fi
list=${1:-$here/scripts/faults.list}

work=$(mktemp -d "${TMPDIR:-/tmp}/twinline-faults.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
# The working tree as it stands, without build folders.
mkdir "$tree"
git -C "$here" ls-files -z --cached --others --exclude-standard \
    | (cd "$here" && xargs -0 cp --parents -t "$tree")
if [ -n "$tests_from" ]; then
    rm -rf "$tree/tests"
    git -C "$here" archive "$tests_from" tests | tar -x -C "$tree"
fi

build="$work/build"
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" >"$work/build.log" 2>&1 \
    || { echo "the unchanged tree does not build:" >&2; tail -20 "$work/build.log" >&2; exit 1; }
(cd "$build" && ctest --timeout 300 >"$work/clean.log" 2>&1) \
    || { echo "the unchanged tree fails its tests:" >&2; tail -20 "$work/clean.log" >&2; exit 1; }

caught=0 missed=0 number=0
while IFS= read -r line; do
    [ -z "${line// }" ] || [ "${line:0:1}" = "#" ] && continue
    number=$((number + 1))
    file=${line%% @@ *}
    description=${line##* @@ }
    rest=${line#* @@ }
    original=${rest%% @@ *}
    rest=${rest#* @@ }
    replacement=${rest%% @@ *}
    cp "$tree/$file" "$work/saved"
    if ! python3 - "$tree/$file" "$original" "$replacement" <<'PY'; then
import sys
path, old, new = (a.replace("\\n", "\n") for a in sys.argv[1:])
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: the text occurs {text.count(old)} times: {old}")
open(path, "w").write(text.replace(old, new))
PY
        printf '%2d  NOT APPLIED  %s\n' "$number" "$description"
        continue
    fi
    if ! cmake --build "$build" --parallel "$(nproc)" >"$work/build.log" 2>&1; then
        result="caught by the build"
        caught=$((caught + 1))
    elif (cd "$build" && ctest --timeout 300 --stop-on-failure >"$work/test.log" 2>&1); then
        result="MISSED"
        missed=$((missed + 1))
    else
        result="caught by $(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$work/test.log" | head -1)"
        caught=$((caught + 1))
    fi
    printf '%2d  %-22s %s\n' "$number" "$result" "$description"
    cp "$work/saved" "$tree/$file"
    touch "$tree/$file"
done <"$list"
cmake --build "$build" --parallel "$(nproc)" >/dev/null 2>&1 || true
echo "caught $caught, missed $missed of $number"
