#!/usr/bin/env python3
# Times Twinline's command line against a running window, and prints one line per figure:
#
#   command  one `twinline --status`, from process start to exit: median, p90 and p99
#   pulse    for each length MS, how far `twinline --pulse 1 MS` is from MS, measured between the
#            two RTS changes in the stand-in's timestamps: median, p99 and worst of |error|
#
#   bench/scripting.py --binary build/twinline --preload build/tests/ptymodem/libptymodem.so
#
# The window runs on the offscreen platform on a session bus of its own (dbus-daemon), with a
# pseudo-terminal as Com1 and the stand-in preloaded; everything lives in a scratch folder.
# Exits 1 when a goal is missed: command p99 under 50 ms, pulse p99 within 1 ms.
import argparse
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time


def percentile(values, fraction):  # nearest rank
    ordered = sorted(values)
    return ordered[max(1, min(len(ordered), math.ceil(len(ordered) * fraction))) - 1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--commands", type=int, default=200)
    parser.add_argument("--pulses", type=int, default=100, help="pulses of each length")
    parser.add_argument("--lengths", default="5,20,100,1000")
    args = parser.parse_args()
    work = tempfile.TemporaryDirectory(prefix="twinline-scripting-")
    config, modem = (os.path.join(work.name, name) for name in ("config", "modem"))
    os.makedirs(os.path.join(config, "Twinline"))
    os.makedirs(modem)
    # Only the master stays open: Twinline refuses a port that another process has open.
    master, slave = os.openpty()
    pts = os.ttyname(slave)
    os.close(slave)
    with open(os.path.join(config, "Twinline", "Twinline.conf"), "w") as f:
        f.write(f"[Ports]\nCom1={pts}\n")
    log = os.path.join(modem, "pts" + pts.rsplit("/", 1)[1] + ".log")
    processes = []
    try:
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        processes.append(bus)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env.update(DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().strip(),
                   XDG_CONFIG_HOME=config, PTYMODEM_DIR=modem, QT_QPA_PLATFORM="offscreen",
                   XDG_RUNTIME_DIR=work.name)
        window_env = dict(env, LD_PRELOAD=args.preload)
        processes.append(subprocess.Popen([args.binary], env=window_env,
                                          stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 20
        while subprocess.run([args.binary, "--status"], env=env, capture_output=True).returncode:
            if time.monotonic() > deadline:
                sys.exit("the window did not answer on the bus")
            time.sleep(0.1)

        # The command alone, without the stand-in: a script's own process.
        times = []
        for _ in range(args.commands):
            start = time.perf_counter()
            subprocess.run([args.binary, "--status"], env=env, stdout=subprocess.DEVNULL,
                           check=True)
            times.append((time.perf_counter() - start) * 1000)
        p99 = percentile(times, 0.99)
        failed = p99 >= 50
        print(f"command: twinline --status median {statistics.median(times):.1f} ms, "
              f"p90 {percentile(times, 0.9):.1f} ms, p99 {p99:.1f} ms over {len(times)} runs "
              f"(goal p99 < 50 ms) {'FAIL' if failed else 'PASS'}")

        for ms in map(int, args.lengths.split(",")):
            errors = []
            for _ in range(args.pulses):
                before = len(open(log).readlines())
                subprocess.run([args.binary, "--pulse", "1", str(ms)], env=env, check=True)
                changes = [int(line.split()[0]) for line in open(log).readlines()[before:]]
                if len(changes) != 2:
                    sys.exit(f"a pulse of {ms} ms made {len(changes)} line changes")
                errors.append(abs((changes[1] - changes[0]) / 1e6 - ms))
            p99 = percentile(errors, 0.99)
            failed = failed or p99 > 1
            print(f"pulse {ms} ms: |error| median {statistics.median(errors):.3f} ms, "
                  f"p99 {p99:.3f} ms, worst {max(errors):.3f} ms over {len(errors)} pulses "
                  f"(goal p99 <= 1 ms) {'FAIL' if p99 > 1 else 'PASS'}")
        return 1 if failed else 0
    finally:
        for process in reversed(processes):
            process.terminate()
            process.wait()


if __name__ == "__main__":
    sys.exit(main())
