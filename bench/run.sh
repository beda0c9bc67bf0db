#!/usr/bin/env bash
# Measures Twinline against its performance goals and prints one line per figure:
#
#   start-up  process start to main window mapped, median, as a ratio to a bare Qt window
#   memory    resident set size once idle, median, as a ratio to the same bare window
#   toggle    one CH 1 On/Off click on an open pty: median, p90 and p99
#   lines     how long the lines are high when the port opens: the first open after plug-in, a
#             reopen by Set and a restart (both must be 0); QSerialPort's when it is installed
#   unplug    from an unplugged adapter to the red status box: median and max of BENCH_RUNS
#   command   one `twinline --status` against the running window, process start to exit
#   pulse     how far `twinline --pulse 1 MS` is from MS, between the stand-in's timestamps
#             (bench/scripting.py, on a session bus of its own)
#
# Run by hand on a Debian 12 machine: bench/run.sh. It builds a Release tree in build-bench/,
# starts its own Xvfb (no window manager) and uses a pseudo-terminal as the serial port, with
# libptymodem.so preloaded to give it RTS and DTR. Exits 1 when a goal is missed.
#
#   BENCH_RUNS     start-up and memory runs per program (default 20)
#   BENCH_CLICKS   clicks timed by the toggle figure (default 10000)
#   BENCH_IDLE_MS  how long after mapping the memory is read (default 1000)
#   BENCH_VERBOSE  set to print every run's raw figures
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TWINLINE_BENCH_DIR:-$here/build-bench}"
runs="${BENCH_RUNS:-20}"
clicks="${BENCH_CLICKS:-10000}"
idle_ms="${BENCH_IDLE_MS:-1000}"
warmup=2 # untimed runs of each program first, so both start with warm caches

startup_goal=1.3
memory_goal=1.2
toggle_goal_us=50
unplug_goal_ms=100

packages=(cmake g++ make pkg-config qt6-base-dev libxcb1-dev xvfb python3 dbus-daemon)

# shellcheck source=scripts/packages.sh
source "$here/scripts/packages.sh"

install_packages "${packages[@]}"

echo "Building in $build ..."
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DTWINLINE_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target twinline bench_toggle bench_port mapwatch ptymodem \
    >"$build/bench-build.log" 2>&1 || { cat "$build/bench-build.log" >&2; exit 1; }
cmake -S "$here/bench/bare" -B "$build/bare" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/bare" --parallel "$(nproc)" >>"$build/bench-build.log" 2>&1 \
    || { cat "$build/bench-build.log" >&2; exit 1; }

twinline="$build/twinline"
bare="$build/bare/bare_window"
mapwatch="$build/bench/mapwatch"
bench_toggle="$build/bench/bench_toggle"
bench_port="$build/bench/bench_port"
preload="$build/tests/ptymodem/libptymodem.so"

work=$(mktemp -d "${TMPDIR:-/tmp}/twinline-bench.XXXXXX")
xvfb_pid=""
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    [ -n "${PTYHOLDER_PID:-}" ] && kill "$PTYHOLDER_PID" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Everything the programs read or write stays in the scratch folder; no session bus, so Qt's
# accessibility bridge gives up at once instead of searching for one.
export XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$XDG_CONFIG_HOME/Twinline" "$XDG_CACHE_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
export DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent
unset PTYMODEM_DIR WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER LD_PRELOAD

# The serial port: a pty whose master this helper holds open until the script ends.
coproc PTYHOLDER {
    exec python3 -u -c '
import os, sys
master, slave = os.openpty()
print(os.ttyname(slave))
os.close(slave)
sys.stdin.read()
'
}
read -r -t 10 pts <&"${PTYHOLDER[0]}" || { echo "no pseudo-terminal" >&2; exit 1; }
printf '[Ports]\nCom1=%s\n' "$pts" >"$XDG_CONFIG_HOME/Twinline/Twinline.conf"

# The X server picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 9 -nolisten tcp -screen 0 1280x1024x24 9>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY

# measure <name> <program> <timed|warmup>: one run; a timed one appends "<map_us> <rss_kb>"
# to $work/<name>.
measure() {
    local name=$1 program=$2 out map rss open
    if ! out=$(LD_PRELOAD="$preload" "$mapwatch" -t 20000 -i "$idle_ms" -o "$pts" -- "$program" \
        2>>"$work/$name.log"); then
        echo "$name: no window mapped; its output:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
    map=$(sed -n 's/^map_us=//p' <<<"$out")
    rss=$(sed -n 's/^rss_kb=\([0-9]*\).*/\1/p' <<<"$out")
    open=$(sed -n 's/^open=//p' <<<"$out")
    if [ "$name" = twinline ] && [ "$open" != 1 ]; then
        echo "twinline did not have $pts open once idle; its output:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
    [ -z "${BENCH_VERBOSE:-}" ] || echo "$name:" "${out//$'\n'/ }" >&2
    [ "$3" = timed ] && echo "$map $rss" >>"$work/$name"
    return 0
}

median() { # of the numbers in column $1 of file $2
    awk -v c="$1" '{ print $c }' "$2" | sort -n \
        | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

verdict() { # <value> <goal>: PASS when value <= goal
    awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g) ? "PASS" : "FAIL" }'
}

echo "Start-up and memory: $runs runs each on $DISPLAY (after $warmup untimed), idle ${idle_ms} ms ..."
for _ in $(seq "$warmup"); do
    measure twinline "$twinline" warmup
    measure bare "$bare" warmup
done
# Alternating keeps slow drifts of the machine from favouring either program.
for _ in $(seq "$runs"); do
    measure twinline "$twinline" timed
    measure bare "$bare" timed
done

echo "Toggle: $clicks clicks ..."
# Qt's offscreen platform warns about size hints it ignores; show its output only on failure.
if ! toggle=$(QT_QPA_PLATFORM=offscreen LD_PRELOAD="$preload" "$bench_toggle" "$clicks" \
    2>"$work/toggle.log"); then
    echo "bench_toggle failed:" >&2
    cat "$work/toggle.log" >&2
    exit 1
fi

echo "Lines at open and unplug: $runs runs ..."
if ! lines=$(QT_QPA_PLATFORM=offscreen LD_PRELOAD="$preload" "$bench_port" "$runs" \
    2>"$work/port.log"); then
    echo "bench_port failed:" >&2
    cat "$work/port.log" >&2
    exit 1
fi

failed=0
# compare <label> <column> <unit> <divisor> <goal>: Twinline against the bare window
compare() {
    local ours theirs ratio result
    ours=$(median "$2" "$work/twinline")
    theirs=$(median "$2" "$work/bare")
    ratio=$(awk -v a="$ours" -v b="$theirs" 'BEGIN { print a / b }')
    result=$(verdict "$ratio" "$5")
    [ "$result" = PASS ] || failed=1
    printf '%s: twinline %.1f %s, bare Qt %.1f %s, ratio %.2f (goal <= %s) %s\n' "$1" \
        "$(awk -v v="$ours" -v d="$4" 'BEGIN { print v / d }')" "$3" \
        "$(awk -v v="$theirs" -v d="$4" 'BEGIN { print v / d }')" "$3" "$ratio" "$5" "$result"
}

compare start-up 1 ms 1000 "$startup_goal"
compare memory 2 MiB 1024 "$memory_goal"

field() { sed -n "s/^$1=//p" <<<"$toggle"; }
median_us=$(field median_us)
result=$(awk -v v="$median_us" -v g="$toggle_goal_us" 'BEGIN { print (v < g) ? "PASS" : "FAIL" }')
[ "$result" = PASS ] || failed=1
printf 'toggle: median %s us, p90 %s us, p99 %s us over %s clicks (goal median < %s us) %s\n' \
    "$median_us" "$(field p90_us)" "$(field p99_us)" "$(field clicks)" "$toggle_goal_us" "$result"

line() { sed -n "s/^$1=//p" <<<"$lines"; }
reopen=$(line twinline_reopen_us)
restart=$(line twinline_restart_us)
# A first open without any raise would mean the stand-in measured nothing.
result=$(awk -v f="$(line twinline_first_open_us)" -v a="$reopen" -v b="$restart" \
    'BEGIN { print (f > 0 && a == 0 && b == 0) ? "PASS" : "FAIL" }')
[ "$result" = PASS ] || failed=1
printf 'lines at open: first open after plug-in %s us, reopen by Set %s us, restart %s us (goal 0 and 0) %s\n' \
    "$(line twinline_first_open_us)" "$reopen" "$restart" "$result"
if [ -n "$(line qserialport_first_open_us)" ]; then
    printf 'lines at open with QSerialPort: first open %s us, reopen %s us, restart %s us\n' \
        "$(line qserialport_first_open_us)" "$(line qserialport_reopen_us)" \
        "$(line qserialport_restart_us)"
else
    echo "lines at open with QSerialPort: not measured (needs qt6-serialport-dev)"
fi
unplug=$(line unplug_ms_max)
result=$(verdict "$unplug" "$unplug_goal_ms")
[ "$result" = PASS ] || failed=1
printf 'unplug to red status: median %s ms, max %s ms over %s runs (goal max <= %s ms) %s\n' \
    "$(line unplug_ms_median)" "$unplug" "$runs" "$unplug_goal_ms" "$result"

echo "Scripting: a command and pulses of 5, 20, 100 and 1000 ms ..."
python3 "$here/bench/scripting.py" --binary "$twinline" --preload "$preload" || failed=1

exit "$failed"
