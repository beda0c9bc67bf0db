#!/usr/bin/env python3
# Twinline as a user meets it: the built program under Xvfb with openbox, driven by the real
# pointer and keyboard (xdotool). The lines are read through the RTS/DTR stand-in, the lamps and
# the status box by their colours on screen, the remembered values from the settings file. This
# layer carries what only a real X server and window manager show: key repeat, activation and
# focus, the window frame, closing by the manager, and the X server going away. Every step has a
# deadline; every process started here is ended on the way out.

import argparse
import configparser
import os
import signal
import subprocess
import sys
import tempfile
import time

RED, SILVER, WHITE = (255, 0, 0), (192, 192, 192), (255, 255, 255)
OFF = (False, False)  # RTS and DTR
# Points on the main window's client area, below the menu bar.
CH1, CH1_TILT = (60, 36), (136, 36)


PROCESSES = []  # all started here, ended on the way out


def wait_for(what, predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.05)
    return value


class Desktop:
    def __init__(self, workdir):
        read_end, write_end = os.pipe()
        self.xvfb = self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "800x600x24", "-nolisten", "tcp"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()
        # A session bus of its own, for the scripting step; never the user's.
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address"],
                         stdout=subprocess.PIPE, text=True)
        self.env = {key: value for key, value in os.environ.items()
                    if key not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LD_PRELOAD")}
        self.env.update(DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline()[:-1])
        # A window mapped while openbox is still starting may never be managed.
        ready = os.path.join(workdir, "wm-ready")
        self.start(["openbox", "--sm-disable", "--startup", f"touch {ready}"], env=self.env)
        wait_for("the window manager", lambda: os.path.exists(ready), timeout=30)

    def start(self, command, log=os.devnull, **kwargs):
        with open(log, "a") as output:
            PROCESSES.append(subprocess.Popen(command, **{"stdout": output, "stderr": output,
                                                          **kwargs}, start_new_session=True))
        return PROCESSES[-1]

    def run(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True,
                              timeout=20).stdout

    def xdotool(self, *args):
        return self.run("xdotool", *map(str, args))

    def window(self, name):
        ids = self.xdotool("search", "--onlyvisible", "--name", name).split()
        return int(ids[-1]) if ids else None

    def origin(self, window):  # of the client area: x, y, width, height
        info = dict(line.strip().split(": ", 1) for line in
                    self.run("xwininfo", "-id", str(window)).splitlines() if ": " in line)
        return tuple(int(info[key]) for key in ("Absolute upper-left X", "Absolute upper-left Y",
                                                "Width", "Height"))

    def frame(self, window):  # left, right, top, bottom
        out = self.run("xprop", "-id", str(window), "_NET_FRAME_EXTENTS")
        return tuple(int(v) for v in out.split("=")[1].split(","))

    def pixel(self, x, y):
        out = self.run("import", "-display", self.display, "-window", "root", "-crop",
                       f"1x1+{x}+{y}", "-depth", "8", "txt:-")
        return tuple(int(float(c)) for c in out.split("(")[-1].split(")")[0].split(",")[:3])


class Twinline:
    def __init__(self, desktop, args, env):
        self.desktop, log = desktop, os.path.join(args.artifacts, "e2e-twinline.log")
        self.process = desktop.start([args.binary], log=log, env=env)

        def find():  # the first start on a fresh X server can take a while (font caches)
            if self.process.poll() is not None:
                raise AssertionError(f"the program ended with {self.process.returncode}; see {log}")
            return desktop.window("Twinline Ver.0.0.3")
        self.window = wait_for("the main window", find, timeout=30)
        self.x, self.y, self.width, self.height = desktop.origin(self.window)
        # The client area lies below the menu bar; its status box is the first white or red row.
        self.top = wait_for("the status box", lambda: next(
            (y - 1 for y in range(self.y, self.y + 60)
             if desktop.pixel(self.x + 30, y) in (WHITE, RED)), None))

    def at(self, x, y):
        return self.x + x, self.top + y

    def lamps(self):
        return self.desktop.pixel(*self.at(188, 36)), self.desktop.pixel(*self.at(188, 68))

    def mouse(self, point, action="click", button=1):
        self.desktop.xdotool("mousemove", *self.at(*point), action, button)

    def keys(self, *keys, window=None):
        window = window or self.window
        self.desktop.xdotool("windowactivate", "--sync", window)
        wait_for("the keyboard", lambda: self.desktop.xdotool("getactivewindow").strip()
                 == str(window))
        time.sleep(0.2)  # for the program to take the activation in
        for key in keys:
            self.desktop.xdotool("key", "--clearmodifiers", key)
            time.sleep(0.15)

    def set_port(self, *keys):  # types into the port dialog once it has the keyboard
        self.keys(*keys, window=wait_for("the dialog", lambda: self.desktop.window("Comm Port")))


class Scenario:
    def __init__(self, args):
        self.args, self.checks = args, 0
        self.tmp = tempfile.TemporaryDirectory(prefix="twinline-e2e-")
        home, modem = (os.path.join(self.tmp.name, name) for name in ("home", "modem"))
        os.makedirs(os.path.join(home, ".config", "Twinline"))
        os.makedirs(modem)
        self.file = os.path.join(home, ".config", "Twinline", "Twinline.conf")
        # Each pty's master stays open for as long as the test runs; its slave is closed, since
        # the program refuses a port that another process has open.
        paths = [(os.ttyname(slave), os.close(slave))[0]
                 for _, slave in (os.openpty() for _ in range(2))]
        # RTS and DTR of a pty, from the stand-in's state file.
        self.log1 = os.path.join(modem, "pts" + paths[0].rsplit("/", 1)[1] + ".log")
        self.com1, self.com2 = (
            lambda state=os.path.join(modem, "pts" + path.rsplit("/", 1)[1]): tuple(
                f"{line}=1" in (open(state).read() if os.path.exists(state) else "")
                for line in ("RTS", "DTR")) for path in paths)
        self.lock2 = "/run/lock/LCK..pts_" + paths[1].rsplit("/", 1)[1]  # as programs lock Com2
        with open(self.file, "w") as f:
            f.write(f"[Ports]\nCom1={paths[0]}\nCom2={paths[1]}\nCom3={self.tmp.name}/unplugged\n")
        self.desktop = Desktop(self.tmp.name)
        self.env = dict(self.desktop.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        LD_PRELOAD=args.preload, PTYMODEM_DIR=modem)

    def stored(self):  # what the program remembered
        config = configparser.ConfigParser(interpolation=None)
        config.read(self.file)
        return config["Properties"]

    def expect(self, what, probe, expected):
        # A probe that can be called is given five seconds to come to the expected value.
        deadline = time.monotonic() + (5 if callable(probe) else 0)
        while (actual := probe() if callable(probe) else probe) != expected \
                and time.monotonic() < deadline:
            time.sleep(0.05)
        self.checks += 1
        if actual != expected:
            shot = os.path.join(self.args.artifacts, "e2e-failure.png")
            subprocess.run(["import", "-display", self.desktop.display, "-window", "root", shot])
            raise AssertionError(f"{what}: expected {expected}, got {actual} (screen in {shot})")

    def held_keys(self, app):
        # Space and Enter held 2 s on CH 1 On/Off while busy loops load the machine: the keyboard
        # repeats, and still each keystroke toggles RTS exactly once (sampled every 5 ms).
        busy = [self.desktop.start(["sh", "-c", "while :; do :; done"]) for _ in range(3)]
        app.keys()
        for key, trial in [(key, n) for key in ("space", "Return") for n in range(self.args.holds)]:
            changes, last = 0, self.com1()[0]
            for action, seconds in (("keydown", 2.0), ("keyup", 0.5)):
                self.desktop.xdotool(action, key)
                deadline = time.monotonic() + seconds
                while time.monotonic() < deadline:
                    changes, last = changes + (self.com1()[0] != last), self.com1()[0]
                    time.sleep(0.005)
            self.expect(f"RTS changes for {key} held 2 s, trial {trial + 1}", changes, 1)
        for process in busy:
            os.killpg(process.pid, signal.SIGKILL)

    def session(self):
        com1, com2, desktop = self.com1, self.com2, self.desktop
        app = Twinline(desktop, self.args, self.env)
        left, right, top, bottom = desktop.frame(app.window)
        # The outer size, or just enough more to leave the client area below the menu bar whole;
        # app.top lies one row below the status box's top border, which is that area's top.
        menu = app.top - 1 - app.y
        self.expect("frame at 200 twips, outer size 3250 x 2100 twips or more", (
            app.x - left, app.y - top, app.width + left + right, app.height + top + bottom),
            (13, 13, max(217, 211 + left + right), max(140, 96 + menu + top + bottom)))
        self.held_keys(app)

        app.mouse(CH1)
        self.expect("CH 1 On/Off", lambda: (com1(), app.lamps()), ((True, False), (RED, SILVER)))
        # A script pulses CH 1 beside the window: RTS drops for 200 ms, then RTS and lamp are on.
        script = subprocess.run([self.args.binary, "--pulse", "1", "200"], env=self.env, timeout=20)
        (t0, low, _), (t1, high, _) = (line.split() for line in open(self.log1).readlines()[-2:])
        self.expect("twinline --pulse 1 200: exit status, RTS low for >= 200 ms, RTS and lamps",
                    lambda: (script.returncode, low + high, 200 <= (int(t1) - int(t0)) / 1e6 < 1000,
                             com1(), app.lamps()), (0, "01", True, (True, False), (RED, SILVER)))

        # Com2 chosen from the keyboard; the pointer over Tilt 1 then does nothing to it.
        app.keys("alt+f", "o")
        app.set_port("Down", "Tab", "Tab", "Return")
        for x in (CH1_TILT[0], CH1_TILT[0] + 8, CH1_TILT[0]):
            desktop.xdotool("mousemove", *app.at(x, CH1_TILT[1]))
        time.sleep(0.3)
        self.expect("hovering over Tilt 1", lambda: (com2(), app.lamps()), (OFF, (SILVER, SILVER)))

        # Com3 is an adapter that is not plugged in, tried three times. Once the error box is
        # gone the main window has the keyboard again, with the pointer over no window.
        for keys in [("Down", "Tab", "Tab", "Return")] + [("Tab", "Tab", "Return")] * 2:
            desktop.xdotool("mousemove", 700, 550)
            app.keys("alt+f", "o")
            app.set_port(*keys)
            box = wait_for("the error box", lambda: desktop.window("^Twinline$"))
            app.keys("Return", window=box)
            self.expect("main window active after the error box",
                        lambda: desktop.xdotool("getactivewindow").strip(), str(app.window))

        # Closed by the window manager, in the error state.
        app.keys("alt+F4")
        self.expect("exit status and stored port after Alt+F4",
                    (app.process.wait(timeout=10), self.stored().get("CommPort")), (0, "2"))

    def x_server_lost(self):
        # The X server goes away under the program, as at a logout without a session manager.
        # CH 1 switched on, then the window moved by the window manager.
        app = Twinline(self.desktop, self.args, self.env)
        left, _, top, _ = self.desktop.frame(app.window)
        app.mouse(CH1)  # on Com2, the port the session left stored
        self.desktop.xdotool("windowmove", app.window, 250, 120)
        wait_for("the move", lambda: self.desktop.origin(app.window)[:2] == (250, 120))
        self.expect("RTS and lock file before the X server goes",
                    lambda: (self.com2(), os.path.exists(self.lock2)), ((True, False), True))
        os.killpg(self.desktop.xvfb.pid, signal.SIGTERM)
        app.process.wait(timeout=10)
        stored = self.stored()
        self.expect("lines, lock file and position after the X server went",
                    (self.com2(), os.path.exists(self.lock2), stored.get("Left"),
                     stored.get("Top")),
                    (OFF, False, str((250 - left) * 15), str((120 - top) * 15)))

    def wayland(self):
        # A Wayland session whose DISPLAY names the X server that went: the window falls back to
        # Wayland, answers a script, and shuts down on SIGTERM with its port released.
        # Qt's Wayland plugin and libwayland leave blocks behind at exit, which a sanitizer
        # build's leak check would make exit status 1.
        env = dict(self.env, XDG_RUNTIME_DIR=self.tmp.name, WAYLAND_DISPLAY="wayland-e2e",
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        self.desktop.start(["weston", "--backend=headless-backend.so", "--socket=wayland-e2e"],
                           env=dict(env, LD_PRELOAD=""))
        app = self.desktop.start([self.args.binary], env=env)
        self.expect("twinline --status on Wayland", lambda: subprocess.run(
            [self.args.binary, "--status"], env=env, capture_output=True, text=True).stdout,
            "Com 2: CH 1 off, CH 2 off\n")
        app.terminate()
        self.expect("exit status and lock file after SIGTERM on Wayland",
                    (app.wait(timeout=10), os.path.exists(self.lock2)), (0, False))


def main():
    parser = argparse.ArgumentParser()
    for option in ("--binary", "--preload"):
        parser.add_argument(option, required=True)
    parser.add_argument("--artifacts", default=tempfile.gettempdir())
    parser.add_argument("--holds", type=int, default=5, help="holds of Space and of Enter")
    try:
        scenario = Scenario(parser.parse_args())
        scenario.session()
        scenario.x_server_lost()  # ends the X server, so only Wayland comes after it
        scenario.wayland()
        print(f"PASS: {scenario.checks} checks on the running program")
        return 0
    except Exception as failure:  # anything at all fails the test with its message
        print(f"FAIL: {failure}")
        return 1
    finally:
        for process in PROCESSES:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()


if __name__ == "__main__":
    sys.exit(main())
