#!/usr/bin/env python3
"""Twinline as a user meets it: the built program under Xvfb with a window manager.

The real pointer and keyboard (xdotool) switch the channels, hold keys and Tilt buttons, pick
ports in the port dialog and close the window, and at the end the X server goes away under the
program; the lines are read through the RTS/DTR stand-in for pseudo-terminals, the lamps and the
status box by their colours on screen, the remembered values from the settings file once the
program has ended. Every step has a deadline, and every process started here is ended on the way
out.
"""

import argparse
import configparser
import os
import signal
import subprocess
import sys
import tempfile
import termios
import time

RED = (255, 0, 0)
SILVER = (192, 192, 192)
WHITE = (255, 255, 255)
TITLE = "Twinline Ver.0.0.3"


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout=10.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def lock_files(pid, folder="/run/lock"):
    """The serial port lock files that name the process."""
    found = []
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name)) as f:
                if f.read(64).split()[:1] == [str(pid)]:
                    found.append(name)
        except (OSError, UnicodeDecodeError):
            pass
    return found


class Pty:
    """The master side of a pseudo-terminal whose slave stands in for a serial port."""

    def __init__(self, modem_dir):
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        # A real serial port hangs up on close; a pty starts without it.
        attrs = termios.tcgetattr(slave)
        attrs[2] |= termios.HUPCL
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        os.close(slave)
        self.state_file = os.path.join(modem_dir, "pts" + self.path.rsplit("/", 1)[1])
        if os.path.exists(self.state_file):
            os.remove(self.state_file)

    def keep_lines_on_close(self):
        """Clears HUPCL: then nothing but the program lowers the lines, not even its exit."""
        slave = os.open(self.path, os.O_RDWR | os.O_NOCTTY)
        attrs = termios.tcgetattr(slave)
        attrs[2] &= ~termios.HUPCL
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        os.close(slave)

    def lines(self):
        state = {"RTS": False, "DTR": False}
        try:
            with open(self.state_file) as f:
                for line in f:
                    key, _, value = line.strip().partition("=")
                    state[key] = value == "1"
        except FileNotFoundError:
            pass
        return state

    def close(self):
        os.close(self.master)


class Desktop:
    """Xvfb with openbox, and the tools to look at and act on it."""

    def __init__(self, workdir):
        self.processes = []
        try:
            self.start_server(workdir)
        except BaseException:
            self.close()
            raise

    def start_server(self, workdir):
        read_end, write_end = os.pipe()
        self.xvfb = self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                "800x600x24", "-nolisten", "tcp"], pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        # No session bus here; without this Qt's accessibility bridge waits for one.
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(workdir, "no-bus")
        for key in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LD_PRELOAD"):
            self.env.pop(key, None)
        # Windows mapped while openbox is still starting up may never be managed; it runs the
        # --startup command once it is ready.
        ready = os.path.join(workdir, "wm-ready")
        self.start(["openbox", "--sm-disable", "--startup", f"touch {ready}"], env=self.env)
        wait_for("the window manager", lambda: os.path.exists(ready), timeout=30)

    def start(self, command, log=None, **kwargs):
        output = open(log, "a") if log else subprocess.DEVNULL
        process = subprocess.Popen(command, stdout=output, stderr=output,
                                   start_new_session=True, **kwargs)
        if log:
            output.close()
        self.processes.append(process)
        return process

    def run(self, command, check=True):
        result = subprocess.run(command, env=self.env, capture_output=True, text=True, timeout=20)
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(command)} failed: {result.stderr.strip()}")
        return result.stdout

    def xdotool(self, *args):
        return self.run(["xdotool", *args])

    def find_window(self, name):
        out = self.run(["xdotool", "search", "--onlyvisible", "--name", name], check=False)
        ids = out.split()
        return int(ids[-1]) if ids else None

    def client_origin(self, window):
        info = self.run(["xwininfo", "-id", str(window)])
        values = {}
        for line in info.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]),
                int(values["Width"]), int(values["Height"]))

    def active_window(self):
        return self.run(["xdotool", "getactivewindow"], check=False).strip()

    def frame_extents(self, window):
        out = self.run(["xprop", "-id", str(window), "_NET_FRAME_EXTENTS"])
        left, right, top, bottom = (int(v) for v in out.split("=")[1].split(","))
        return left, right, top, bottom

    def pixel(self, x, y):
        out = subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                              f"1x1+{x}+{y}", "-depth", "8", "txt:-"], capture_output=True,
                             text=True, timeout=20).stdout
        # "0,0: (255,0,0)  #FF0000  red"
        rgb = out.splitlines()[-1].split("(")[1].split(")")[0].split(",")
        return tuple(int(float(c)) for c in rgb[:3])

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       timeout=20, check=False)

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for process in self.processes:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


class Twinline:
    """One run of the program, with the geometry of its main window worked out on screen."""

    def __init__(self, desktop, binary, preload, home, modem_dir, log):
        self.desktop = desktop
        env = dict(desktop.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   LD_PRELOAD=preload, PTYMODEM_DIR=modem_dir)
        self.log = log
        self.process = desktop.start([binary], env=env, log=log)
        # The first start on a fresh X server can take a while (font caches).
        self.window = wait_for("the main window", self.main_window, timeout=30)
        self.x, self.y, self.width, self.height = desktop.client_origin(self.window)
        # The client area lies below the menu bar; its status box is the first white row.
        probe_x = self.x + 30
        self.central_y = wait_for("the status box", lambda: next(
            (y - 1 for y in range(self.y, self.y + self.height)
             if desktop.pixel(probe_x, y) in (WHITE, RED)), None))

    def alive(self):
        return self.process.poll() is None

    def follow(self):
        """Finds the window again after it was moved."""
        old_y = self.y
        self.x, self.y, self.width, self.height = self.desktop.client_origin(self.window)
        self.central_y += self.y - old_y

    def main_window(self):
        if not self.alive():
            with open(self.log) as f:
                tail = "".join(f.readlines()[-15:])
            raise Failure(f"the program ended with status {self.process.returncode} before its "
                          f"window showed; the end of {self.log}:\n{tail}")
        return self.desktop.find_window(TITLE)

    def at(self, x, y):
        """A point of the client area below the menu bar, in screen pixels."""
        return self.x + x, self.central_y + y

    def status_colour(self):
        return self.desktop.pixel(*self.at(60, 9))

    def lamp_colour(self, channel):
        return self.desktop.pixel(*self.at(188, 36 if channel == 1 else 68))

    def click(self, x, y, button=1):
        self.desktop.xdotool("mousemove", *map(str, self.at(x, y)), "click", str(button))

    def press(self, x, y, button=1):
        self.desktop.xdotool("mousemove", *map(str, self.at(x, y)), "mousedown", str(button))

    def release(self, button=1):
        self.desktop.xdotool("mouseup", str(button))

    def keys(self, *keys, window=None):
        self.desktop.xdotool("windowactivate", "--sync", str(window or self.window))
        for key in keys:
            self.desktop.xdotool("key", "--clearmodifiers", key)
            time.sleep(0.15)

    def dialog_keys(self, *keys):
        """Types into the port dialog once it is up and has the keyboard."""
        dialog = wait_for("the port dialog", lambda: self.desktop.find_window("Comm Port"))
        self.keys(window=dialog)
        wait_for("the port dialog to have the keyboard",
                 lambda: self.desktop.active_window() == str(dialog))
        self.keys(*keys, window=dialog)

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the program did not end")


# Points on the main window's client area, from its layout.
CH1, CH1_TILT, CH2, CH2_TILT = (60, 36), (136, 36), (60, 68), (136, 68)


class Scenario:
    def __init__(self, args):
        self.args = args
        self.checks = 0
        self.tmp = tempfile.TemporaryDirectory(prefix="twinline-e2e-")
        self.home = os.path.join(self.tmp.name, "home")
        self.modem_dir = os.path.join(self.tmp.name, "modem")
        os.makedirs(os.path.join(self.home, ".config", "Twinline"))
        os.makedirs(self.modem_dir)
        self.ptys = [Pty(self.modem_dir), Pty(self.modem_dir)]
        self.missing = os.path.join(self.tmp.name, "unplugged-adapter")
        self.write_settings({"Ports": {"Com1": self.ptys[0].path, "Com2": self.ptys[1].path,
                                       "Com3": self.missing}})
        self.desktop = None
        self.desktop = Desktop(self.tmp.name)

    def settings_path(self):
        return os.path.join(self.home, ".config", "Twinline", "Twinline.conf")

    def write_settings(self, sections):
        config = configparser.ConfigParser()
        config.optionxform = str
        config.read_dict(sections)
        with open(self.settings_path(), "w") as f:
            config.write(f, space_around_delimiters=False)

    def settings(self):
        config = configparser.ConfigParser()
        config.optionxform = str
        config.read(self.settings_path())
        return config

    def expect(self, what, actual, expected):
        self.checks += 1
        if actual != expected:
            shot = os.path.join(self.args.artifacts, "e2e-failure.png")
            self.desktop.screenshot(shot)
            raise Failure(f"{what}: expected {expected}, got {actual} (screen in {shot})")

    def expect_soon(self, what, probe, expected, timeout=5.0):
        try:
            wait_for(what, lambda: probe() == expected, timeout=timeout)
        except Failure:
            pass
        self.expect(what, probe(), expected)

    def launch(self):
        return Twinline(self.desktop, self.args.binary, self.args.preload, self.home,
                        self.modem_dir, os.path.join(self.args.artifacts, "e2e-twinline.log"))

    def lines(self, index):
        pty = self.ptys[index]
        return lambda: (pty.lines()["RTS"], pty.lines()["DTR"])

    def rts_changes(self, seconds, last):
        """How often RTS on Com1 changes within the time, sampled every 5 ms."""
        changes, deadline = 0, time.monotonic() + seconds
        while time.monotonic() < deadline:
            now = self.ptys[0].lines()["RTS"]
            changes, last = changes + (now != last), now
            time.sleep(0.005)
        return changes, last

    def held_keys(self, app):
        """Space and Enter held on CH 1 On/Off while busy loops load the machine: the key repeats,
        and still each keystroke toggles RTS exactly once."""
        busy = [self.desktop.start(["sh", "-c", "while :; do :; done"]) for _ in range(3)]
        try:
            app.keys()
            for key in ("space", "Return"):
                for trial in range(1, self.args.holds + 1):
                    last = self.ptys[0].lines()["RTS"]
                    self.desktop.xdotool("keydown", key)
                    held, last = self.rts_changes(2.0, last)
                    self.desktop.xdotool("keyup", key)
                    after, last = self.rts_changes(0.5, last)
                    self.expect(f"RTS changes for {key} held 2 s, trial {trial}", held + after, 1)
        finally:
            for process in busy:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()

    def channels_and_shutdown(self):
        app = self.launch()
        left, right, top, bottom = self.desktop.frame_extents(app.window)
        self.expect("frame position (200 twips)", (app.x - left, app.y - top), (13, 13))
        self.expect("outer size (3250 x 2100 twips)",
                    (app.width + left + right, app.height + top + bottom), (217, 140))
        self.expect("status box", app.status_colour(), WHITE)
        self.expect("lines after start", self.lines(0)(), (False, False))
        self.expect("lamps after start", (app.lamp_colour(1), app.lamp_colour(2)),
                    (SILVER, SILVER))
        self.held_keys(app)
        self.expect("lines after the held keys", self.lines(0)(), (False, False))

        app.click(*CH1)
        self.expect_soon("RTS after CH 1 On/Off", self.lines(0), (True, False))
        self.expect_soon("CH 1 lamp", lambda: app.lamp_colour(1), RED)

        app.press(*CH2_TILT, button=3)
        self.expect_soon("DTR while Tilt is held", self.lines(0), (True, True))
        self.expect_soon("CH 2 lamp while held", lambda: app.lamp_colour(2), RED)
        app.release(button=3)
        self.expect_soon("DTR after Tilt is let go", self.lines(0), (True, False))
        self.expect_soon("CH 2 lamp after", lambda: app.lamp_colour(2), SILVER)

        app.press(*CH1_TILT)
        self.expect_soon("RTS while Tilt inverts an active channel", self.lines(0),
                         (False, False))
        app.release()
        self.expect_soon("RTS back on", self.lines(0), (True, False))
        self.desktop.screenshot(os.path.join(self.args.artifacts, "e2e-channels.png"))

        # Tilt 1 held while Files opens from the keyboard: the menu takes the mouse, so the hold
        # ends there and then. The release lands in the menu.
        app.press(*CH1_TILT)
        self.expect_soon("RTS while Tilt 1 is held", self.lines(0), (False, False))
        self.desktop.xdotool("key", "alt+f")
        self.expect_soon("Tilt 1 let go as the menu opens", self.lines(0), (True, False))
        self.desktop.xdotool("mousemove", *map(str, app.at(30, 10)))
        app.release()
        # Option; one entry down is Com2; Tab twice is "Set".
        self.desktop.xdotool("key", "o")
        app.dialog_keys("Down", "Tab", "Tab", "Return")
        wait_for("the port dialog to close", lambda: not self.desktop.find_window("Comm Port"))
        self.expect_soon("old port released", self.lines(0), (False, False))
        self.expect("new port opened low", self.lines(1)(), (False, False))
        self.expect("lamps idle after the switch", (app.lamp_colour(1), app.lamp_colour(2)),
                    (SILVER, SILVER))
        for x in (CH1_TILT[0], CH1_TILT[0] + 8, CH1_TILT[0]):
            self.desktop.xdotool("mousemove", *map(str, app.at(x, CH1_TILT[1])))
        time.sleep(0.3)
        self.expect("pointer over Tilt 1 with no button down",
                    (self.lines(1)(), app.lamp_colour(1)), ((False, False), SILVER))

        # Tilt 2 held while another program takes the keyboard: the hold ends, and the late
        # release changes nothing.
        other = self.desktop.start(["xmessage", "-geometry", "+450+350", "another program"],
                                   env=self.desktop.env)
        other_window = wait_for("another program's window",
                                lambda: self.desktop.find_window("^xmessage$"))
        app.press(*CH2_TILT)
        self.expect_soon("DTR while Tilt 2 is held", self.lines(1), (False, True))
        self.desktop.xdotool("windowactivate", str(other_window))
        self.expect_soon("Tilt 2 let go as the window loses the keyboard", self.lines(1),
                         (False, False))
        app.release()
        time.sleep(0.3)
        self.expect("late release", (self.lines(1)(), app.lamp_colour(2)), ((False, False), SILVER))
        os.killpg(other.pid, signal.SIGTERM)

        app.click(*CH2)
        self.expect_soon("DTR on the new port", self.lines(1), (False, True))

        # Com3 stands for an adapter that is not plugged in; it is tried three times. Once the
        # error box and the dialog have gone, the main window has the keyboard again. With the
        # pointer over no window the window manager has nothing of its own to focus instead.
        for keys in (("Down", "Tab", "Tab", "Return"),) + (("Tab", "Tab", "Return"),) * 2:
            self.desktop.xdotool("mousemove", "700", "550")
            app.keys("alt+f", "o")
            app.dialog_keys(*keys)
            box = wait_for("the error message", lambda: self.desktop.find_window("^Twinline$"))
            self.desktop.xdotool("windowactivate", "--sync", str(box))
            self.desktop.xdotool("key", "Return")
            wait_for("the message to close", lambda: not self.desktop.find_window("^Twinline$"))
            self.expect_soon("main window active after the error", self.desktop.active_window,
                             str(app.window))
        self.expect_soon("status box in the error state", app.status_colour, RED)
        self.expect("port 2 released", self.lines(1)(), (False, False))
        app.click(*CH1)
        time.sleep(0.3)
        self.expect("channel inert in the error state", (app.lamp_colour(1), self.lines(1)()),
                    (SILVER, (False, False)))

        # Out of the error state onto Com1, then move the window and close it by the manager.
        app.keys("alt+f", "o")
        app.dialog_keys("Up", "Up", "Tab", "Tab", "Return")
        self.expect_soon("status box normal again", app.status_colour, WHITE)
        app.click(*CH1)
        self.expect_soon("RTS on Com1 again", self.lines(0), (True, False))

        self.desktop.xdotool("windowmove", str(app.window), "301", "160")
        wait_for("the move", lambda: self.desktop.client_origin(app.window)[:2] == (301, 160))
        app.keys("alt+F4")
        self.expect("exit status", app.wait_exit(), 0)
        self.expect("lines after exit", self.lines(0)(), (False, False))
        stored = self.settings()["Properties"]
        self.expect("stored position",
                    (stored.get("Left"), stored.get("Top")),
                    (str((301 - left) * 15), str((160 - top) * 15)))
        self.expect("stored port", stored.get("CommPort"), "1")

    def second_copy_and_next_run(self):
        first = self.launch()
        self.expect("window where it was left", (first.x, first.y), (301, 160))
        first.click(*CH1)
        self.expect_soon("RTS from the first copy", self.lines(0), (True, False))
        second = self.launch()
        self.expect_soon("second copy in the error state", second.status_colour, RED)
        second.click(*CH1)
        time.sleep(0.3)
        self.expect("second copy leaves the line alone", self.lines(0)(), (True, False))
        os.kill(second.process.pid, signal.SIGTERM)
        self.expect("second copy exit status", second.wait_exit(), 0)
        self.expect("first copy's line kept", self.lines(0)(), (True, False))
        os.kill(first.process.pid, signal.SIGTERM)
        self.expect("first copy exit status", first.wait_exit(), 0)
        self.expect("lines after exit", self.lines(0)(), (False, False))

    def signal_while_tilt_held(self, signal_number):
        stored_before = dict(self.settings()["Properties"])
        app = self.launch()
        app.press(*CH2_TILT)
        self.expect_soon("DTR while held", self.lines(0), (False, True))
        os.kill(app.process.pid, signal_number)
        self.expect(f"exit status after signal {signal_number}", app.wait_exit(), 0)
        self.desktop.xdotool("mouseup", "1")
        self.expect(f"lines after signal {signal_number}", self.lines(0)(), (False, False))
        # Not moved, so the same position is stored again.
        self.expect("settings after the signal", dict(self.settings()["Properties"]),
                    stored_before)

    def left_unreadable(self):
        """Start-up stops at "Left": the window keeps its design-time left edge."""
        sections = {name: dict(section) for name, section in self.settings().items()
                    if name != "DEFAULT"}
        sections.setdefault("Properties", {})["Left"] = "12a"
        self.write_settings(sections)
        app = self.launch()
        self.expect("status box in the error state", app.status_colour(), RED)
        left = self.desktop.frame_extents(app.window)[0]
        self.expect_soon("client area at its design-time left edge (240 twips)",
                         lambda: self.desktop.client_origin(app.window)[0], 16)
        os.kill(app.process.pid, signal.SIGTERM)
        self.expect("exit status", app.wait_exit(), 0)
        self.expect("stored left edge", self.settings()["Properties"].get("Left"),
                    str((16 - left) * 15))

    def x_server_lost(self):
        """The X server goes away under the program, as at a logout without a session manager.
        This ends the desktop, so it comes last."""
        self.ptys[0].keep_lines_on_close()
        app = self.launch()
        left, _, top, _ = self.desktop.frame_extents(app.window)
        self.desktop.xdotool("windowmove", str(app.window), "250", "120")
        wait_for("the move", lambda: self.desktop.client_origin(app.window)[:2] == (250, 120))
        app.follow()
        app.click(*CH1)  # handled after the move, so the program knows where it is
        self.expect_soon("RTS before the X server goes", self.lines(0), (True, False))
        os.killpg(self.desktop.xvfb.pid, signal.SIGTERM)
        app.wait_exit()
        self.expect("lines after the X server went", self.lines(0)(), (False, False))
        self.expect("lock files left behind", lock_files(app.process.pid), [])
        stored = self.settings()["Properties"]
        self.expect("position stored as the X server went", (stored.get("Left"), stored.get("Top")),
                    (str((250 - left) * 15), str((120 - top) * 15)))

    def run(self):
        self.channels_and_shutdown()
        self.second_copy_and_next_run()
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            self.signal_while_tilt_held(number)
        self.left_unreadable()
        self.x_server_lost()

    def close(self):
        if self.desktop:
            self.desktop.close()
        for pty in self.ptys:
            pty.close()
        self.tmp.cleanup()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--preload", required=True)
    parser.add_argument("--artifacts", default=tempfile.gettempdir())
    parser.add_argument("--holds", type=int, default=5,
                        help="how often each of Space and Enter is held for 2 s")
    args = parser.parse_args()
    scenario = None
    try:
        scenario = Scenario(args)
        scenario.run()
    except Exception as failure:  # anything at all fails the test with its message
        print(f"FAIL: {failure}")
        print("0 passed, 1 failed")
        return 1
    finally:
        if scenario:
            scenario.close()
    print(f"PASS: {scenario.checks} checks on the running program")
    return 0


if __name__ == "__main__":
    sys.exit(main())
