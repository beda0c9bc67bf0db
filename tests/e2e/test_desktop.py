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
# Points on the main window's client area, below the menu bar.
CH1, CH1_TILT, CH2, CH2_TILT = (60, 36), (136, 36), (60, 68), (136, 68)


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.05)
    return value


class Desktop:
    def __init__(self, workdir):
        self.processes = []
        read_end, write_end = os.pipe()
        self.xvfb = self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "800x600x24", "-nolisten", "tcp"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            self.display = ":" + pipe.readline().strip()
        # No session bus: without an address Qt's accessibility bridge waits for one.
        self.env = dict(os.environ, DISPLAY=self.display,
                        DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(workdir, "no-bus"))
        for key in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LD_PRELOAD"):
            self.env.pop(key, None)
        # A window mapped while openbox is still starting may never be managed.
        ready = os.path.join(workdir, "wm-ready")
        self.start(["openbox", "--sm-disable", "--startup", f"touch {ready}"], env=self.env)
        wait_for("the window manager", lambda: os.path.exists(ready), timeout=30)

    def start(self, command, log=None, **kwargs):
        with open(log or os.devnull, "a") as output:
            process = subprocess.Popen(command, stdout=output, stderr=output,
                                       start_new_session=True, **kwargs)
        self.processes.append(process)
        return process

    def run(self, *command):
        return subprocess.run(command, env=self.env, capture_output=True, text=True,
                              timeout=20).stdout

    def xdotool(self, *args):
        return self.run("xdotool", *map(str, args))

    def window(self, name):
        ids = self.xdotool("search", "--onlyvisible", "--name", name).split()
        return int(ids[-1]) if ids else None

    def origin(self, window):
        info = dict(line.strip().split(": ", 1) for line in
                    self.run("xwininfo", "-id", str(window)).splitlines() if ": " in line)
        return tuple(int(info[key]) for key in ("Absolute upper-left X", "Absolute upper-left Y",
                                                "Width", "Height"))

    def frame(self, window):  # left, right, top, bottom
        out = self.run("xprop", "-id", str(window), "_NET_FRAME_EXTENTS")
        return tuple(int(v) for v in out.split("=")[1].split(","))

    def active(self):
        return self.xdotool("getactivewindow").strip()

    def pixel(self, x, y):
        out = self.run("import", "-display", self.display, "-window", "root", "-crop",
                       f"1x1+{x}+{y}", "-depth", "8", "txt:-")
        return tuple(int(float(c)) for c in out.split("(")[-1].split(")")[0].split(",")[:3])

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def lines(state):
    # RTS and DTR of a pty, as the stand-in keeps them in its state file.
    text = open(state).read() if os.path.exists(state) else ""
    return "RTS=1" in text, "DTR=1" in text


class Twinline:
    def __init__(self, desktop, args, env):
        self.desktop, self.log = desktop, os.path.join(args.artifacts, "e2e-twinline.log")
        self.process = desktop.start([args.binary], env=env, log=self.log)
        # The first start on a fresh X server can take a while (font caches).
        self.window = wait_for("the main window", self.find, timeout=30)
        self.x, self.y, self.width, self.height = desktop.origin(self.window)
        # The client area lies below the menu bar; its status box is the first white or red row.
        self.top = wait_for("the status box", lambda: next(
            (y - 1 for y in range(self.y, self.y + 60)
             if desktop.pixel(self.x + 30, y) in (WHITE, RED)), None))

    def find(self):
        if self.process.poll() is not None:
            with open(self.log) as f:
                raise Failure(f"the program ended with status {self.process.returncode}:\n"
                              + "".join(f.readlines()[-15:]))
        return self.desktop.window("Twinline Ver.0.0.3")

    def at(self, x, y):
        return self.x + x, self.top + y

    def status(self):
        return self.desktop.pixel(*self.at(60, 9))

    def lamps(self):
        return self.desktop.pixel(*self.at(188, 36)), self.desktop.pixel(*self.at(188, 68))

    def mouse(self, point, action="click", button=1):
        self.desktop.xdotool("mousemove", *self.at(*point), action, button)

    def keys(self, *keys, window=None):
        window = window or self.window
        self.desktop.xdotool("windowactivate", "--sync", window)
        wait_for("the keyboard", lambda: self.desktop.active() == str(window))
        time.sleep(0.2)  # for the program to take the activation in
        for key in keys:
            self.desktop.xdotool("key", "--clearmodifiers", key)
            time.sleep(0.15)

    def set_port(self, *keys):
        # Types into the port dialog once it has the keyboard.
        self.keys(*keys, window=wait_for("the port dialog", lambda: self.desktop.window("Comm Port")))

    def wait_exit(self):
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end")


class Scenario:
    def __init__(self, args):
        self.args, self.checks, self.desktop = args, 0, None
        self.tmp = tempfile.TemporaryDirectory(prefix="twinline-e2e-")
        home, modem = (os.path.join(self.tmp.name, name) for name in ("home", "modem"))
        os.makedirs(os.path.join(home, ".config", "Twinline"))
        os.makedirs(modem)
        self.settings_file = os.path.join(home, ".config", "Twinline", "Twinline.conf")
        paths = []
        for _ in range(2):  # the masters stay open for as long as the test runs
            master, slave = os.openpty()
            paths.append(os.ttyname(slave))
            os.close(slave)
        self.com1, self.com2 = (lambda state=os.path.join(modem, "pts" + path.rsplit("/", 1)[1]):
                                lines(state) for path in paths)
        self.write({"Ports": {"Com1": paths[0], "Com2": paths[1],
                              "Com3": os.path.join(self.tmp.name, "unplugged-adapter")}})
        self.desktop = Desktop(self.tmp.name)
        self.env = dict(self.desktop.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        LD_PRELOAD=args.preload, PTYMODEM_DIR=modem)

    def write(self, sections):
        config = configparser.ConfigParser(interpolation=None)
        config.optionxform = str
        config.read_dict(sections)
        with open(self.settings_file, "w") as f:
            config.write(f, space_around_delimiters=False)

    def settings(self):
        config = configparser.ConfigParser(interpolation=None)
        config.optionxform = str
        config.read(self.settings_file)
        return {name: dict(section) for name, section in config.items() if name != "DEFAULT"}

    def expect(self, what, actual, expected):
        self.checks += 1
        if actual != expected:
            shot = os.path.join(self.args.artifacts, "e2e-failure.png")
            subprocess.run(["import", "-display", self.desktop.display, "-window", "root", shot])
            raise Failure(f"{what}: expected {expected}, got {actual} (screen in {shot})")

    def expect_soon(self, what, probe, expected):
        try:
            wait_for(what, lambda: probe() == expected, timeout=5)
        except Failure:
            pass
        self.expect(what, probe(), expected)

    def rts_changes(self, seconds, last):
        changes, deadline = 0, time.monotonic() + seconds
        while time.monotonic() < deadline:
            now = self.com1()[0]
            changes, last = changes + (now != last), now
            time.sleep(0.005)
        return changes, last

    def held_keys(self, app):
        # Space and Enter held on CH 1 On/Off while busy loops load the machine: the keyboard
        # repeats, and still each keystroke toggles RTS exactly once.
        busy = [self.desktop.start(["sh", "-c", "while :; do :; done"]) for _ in range(3)]
        try:
            app.keys()
            for key in ("space", "Return"):
                for trial in range(1, self.args.holds + 1):
                    last = self.com1()[0]
                    self.desktop.xdotool("keydown", key)
                    held, last = self.rts_changes(2.0, last)
                    self.desktop.xdotool("keyup", key)
                    after, last = self.rts_changes(0.5, last)
                    self.expect(f"RTS changes for {key} held 2 s, trial {trial}", held + after, 1)
        finally:
            for process in busy:
                os.killpg(process.pid, signal.SIGKILL)

    def session(self):
        com1, com2 = self.com1, self.com2
        app = Twinline(self.desktop, self.args, self.env)
        left, right, top, bottom = self.desktop.frame(app.window)
        self.expect("frame at 200 twips, outer size 3250 x 2100 twips",
                    (app.x - left, app.y - top, app.width + left + right, app.height + top + bottom),
                    (13, 13, 217, 140))
        self.expect("status box and lines at start", (app.status(), com1()), (WHITE, (False, False)))
        self.held_keys(app)

        app.mouse(CH1)
        self.expect_soon("RTS and lamp after CH 1 On/Off", lambda: (com1(), app.lamps()[0]),
                         ((True, False), RED))
        app.mouse(CH2_TILT, "mousedown", 3)
        self.expect_soon("DTR while Tilt 2 is held", lambda: (com1(), app.lamps()[1]),
                         ((True, True), RED))
        self.desktop.xdotool("mouseup", 3)
        self.expect_soon("DTR after Tilt 2", lambda: (com1(), app.lamps()[1]), ((True, False), SILVER))

        # Tilt 1 held while Files opens from the keyboard: the menu takes the mouse, so the hold
        # ends there and then; the release comes later, off the button (not on a menu item, which
        # it would choose). Then Option, Com2, Set.
        app.mouse(CH1_TILT, "mousedown")
        self.expect_soon("RTS while Tilt 1 inverts it", com1, (False, False))
        self.desktop.xdotool("key", "alt+f")
        self.expect_soon("Tilt 1 let go as the menu opens", com1, (True, False))
        self.desktop.xdotool("mousemove", *app.at(188, 68))
        self.desktop.xdotool("mouseup", 1)
        self.desktop.xdotool("key", "o")
        app.set_port("Down", "Tab", "Tab", "Return")
        self.expect_soon("old port released, new one opened low", lambda: (com1(), com2()),
                         ((False, False), (False, False)))
        for x in (CH1_TILT[0], CH1_TILT[0] + 8, CH1_TILT[0]):
            self.desktop.xdotool("mousemove", *app.at(x, CH1_TILT[1]))
        time.sleep(0.3)
        self.expect_soon("hovering over Tilt 1", lambda: (com2(), app.lamps()),
                         ((False, False), (SILVER, SILVER)))

        # Tilt 2 held while another program takes the keyboard: the hold ends, and the late
        # release changes nothing.
        other = self.desktop.start(["xmessage", "-geometry", "+450+350", "other"], env=self.env)
        other_window = wait_for("another program", lambda: self.desktop.window("^xmessage$"))
        app.mouse(CH2_TILT, "mousedown")
        self.expect_soon("DTR while Tilt 2 is held", com2, (False, True))
        self.desktop.xdotool("windowactivate", other_window)
        self.expect_soon("Tilt 2 let go as the window loses the keyboard", com2, (False, False))
        self.desktop.xdotool("mouseup", 1)
        time.sleep(0.3)
        self.expect("late release", (com2(), app.lamps()[1]), ((False, False), SILVER))
        os.killpg(other.pid, signal.SIGTERM)

        # Com3 is an adapter that is not plugged in, tried three times. Once the error box is
        # gone the main window has the keyboard again, with the pointer over no window.
        app.mouse(CH2)
        for keys in [("Down", "Tab", "Tab", "Return")] + [("Tab", "Tab", "Return")] * 2:
            self.desktop.xdotool("mousemove", 700, 550)
            app.keys("alt+f", "o")
            app.set_port(*keys)
            box = wait_for("the error message", lambda: self.desktop.window("^Twinline$"))
            app.keys("Return", window=box)
            self.expect_soon("main window active after the error", self.desktop.active,
                             str(app.window))
        app.mouse(CH1)
        time.sleep(0.3)
        self.expect("error state, port 2 released, channels inert",
                    (app.status(), com2(), app.lamps()[0]), (RED, (False, False), SILVER))

        # Back onto Com1, then moved and closed by the window manager.
        app.keys("alt+f", "o")
        app.set_port("Up", "Up", "Tab", "Tab", "Return")
        app.mouse(CH1)
        self.expect_soon("Com1 again", lambda: (app.status(), com1()), (WHITE, (True, False)))
        self.desktop.xdotool("windowmove", app.window, 301, 160)
        wait_for("the move", lambda: self.desktop.origin(app.window)[:2] == (301, 160))
        app.keys("alt+F4")
        self.expect("exit status", app.wait_exit(), 0)
        stored = self.settings()["Properties"]
        self.expect("lines and settings after Alt+F4",
                    (com1(), stored.get("Left"), stored.get("Top"), stored.get("CommPort")),
                    ((False, False), str((301 - left) * 15), str((160 - top) * 15), "1"))

        # The next run comes up where it was left; a second copy finds the port taken.
        first = Twinline(self.desktop, self.args, self.env)
        first.mouse(CH1)
        second = Twinline(self.desktop, self.args, self.env)
        self.expect_soon("second copy in the error state", second.status, RED)
        second.mouse(CH1)
        time.sleep(0.3)
        self.expect("first copy's place and line", ((first.x, first.y), com1()),
                    ((301, 160), (True, False)))
        for copy in (second, first):
            os.kill(copy.process.pid, signal.SIGTERM)
            self.expect("exit status after SIGTERM", copy.wait_exit(), 0)
        self.expect("lines after both ended", com1(), (False, False))

    def left_unreadable(self):
        # Start-up stops at "Left": the window keeps its design-time left edge (240 twips).
        sections = self.settings()
        sections["Properties"]["Left"] = "12a"
        self.write(sections)
        app = Twinline(self.desktop, self.args, self.env)
        left = self.desktop.frame(app.window)[0]
        self.expect_soon("client area at 240 twips", lambda: self.desktop.origin(app.window)[0], 16)
        os.kill(app.process.pid, signal.SIGTERM)
        self.expect("exit status", app.wait_exit(), 0)
        self.expect("stored left edge", self.settings()["Properties"]["Left"], str((16 - left) * 15))

    def x_server_lost(self):
        # The X server goes away under the program, as at a logout without a session manager.
        app = Twinline(self.desktop, self.args, self.env)
        left, _, top, _ = self.desktop.frame(app.window)
        self.desktop.xdotool("windowmove", app.window, 250, 120)
        wait_for("the move", lambda: self.desktop.origin(app.window)[:2] == (250, 120))
        app.x, app.y, app.top = 250, 120, app.top + 120 - app.y
        app.mouse(CH1)
        self.expect_soon("RTS before the X server goes", self.com1, (True, False))
        os.killpg(self.desktop.xvfb.pid, signal.SIGTERM)
        app.wait_exit()
        stored = self.settings()["Properties"]
        locks = [name for name in os.listdir("/run/lock") if os.path.isfile("/run/lock/" + name)
                 and open("/run/lock/" + name, errors="replace").read(64).split()[:1]
                 == [str(app.process.pid)]]
        self.expect("lines, lock files and position after the X server went",
                    (self.com1(), locks, stored.get("Left"), stored.get("Top")),
                    ((False, False), [], str((250 - left) * 15), str((120 - top) * 15)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--artifacts", default=tempfile.gettempdir())
    parser.add_argument("--holds", type=int, default=5, help="holds of Space and of Enter")
    args = parser.parse_args()
    scenario = None
    try:
        scenario = Scenario(args)
        scenario.session()
        scenario.left_unreadable()
        scenario.x_server_lost()  # ends the desktop, so it comes last
    except Exception as failure:  # anything at all fails the test with its message
        print(f"FAIL: {failure}")
        return 1
    finally:
        if scenario and scenario.desktop:
            scenario.desktop.close()
    print(f"PASS: {scenario.checks} checks on the running program")
    return 0


if __name__ == "__main__":
    sys.exit(main())
