#!/usr/bin/env bash
# Prints the program's and the tests' size in lines that are neither blank nor only a comment,
# and their ratio. Program: app/ serial/ settings/ windows/. Tests: everything under tests/.
# Counts C, C++, Python and shell files.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

count() {
    find "$@" -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.py' \
        -o -name '*.sh' \) -print0 | xargs -0 -r awk '
        FNR == 1 { block = 0; hash = FILENAME ~ /\.(py|sh)$/ }
        {
            line = $0
            if (hash) {
                if (line !~ /^[ \t]*(#.*)?$/) n++
                next
            }
            code = ""
            while (line != "") {
                if (block) {
                    end = index(line, "*/")
                    if (!end) { line = ""; break }
                    line = substr(line, end + 2); block = 0
                } else {
                    start = index(line, "/*"); slash = index(line, "//")
                    if (slash && (!start || slash < start)) { code = code substr(line, 1, slash - 1); line = "" }
                    else if (start) { code = code substr(line, 1, start - 1); line = substr(line, start + 2); block = 1 }
                    else { code = code line; line = "" }
                }
            }
            if (code ~ /[^ \t]/) n++
        }
        END { print n + 0 }'
}

program=$(count app serial settings windows)
tests=$(count tests)
awk -v p="$program" -v t="$tests" 'BEGIN {
    printf "program lines: %d\ntest lines:    %d\nratio:         %.3f\n", p, t, t / p }'
