"""The pieces the end-to-end tests and the benchmark drive the real keyer with.

An X server of its own (Xvfb on a free display) with a tray host (trayer), the keyer started in a clean
environment (fresh settings and runtime folders, that display, the test sound server), windows found by
title and controls by their layout positions, the test sink's monitor recorded with the arrival time of
every chunk, and the serial shim's record of the modem lines read back. Python 3 standard library only.
"""

import array
import bisect
import configparser
import contextlib
import itertools
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
import wave

APP_TITLE = "Wren Voice Keyer"

# Layout in twips (1440 per inch); at 96 dpi 15 twips make a pixel.
TWIPS_PER_PIXEL = 15.0
MAIN_CLIENT_TWIPS = (4845, 6030 - 375)
MSG_TOPS = (1080, 1800, 2520, 3240, 3960)
STOP_BUTTON = (240, 5040, 4335, 495)
ABOUT_CLIENT_TWIPS = (5670, 3870)
ABOUT_OK = (2160, 3360, 1335, 375)
SETWAVES_CLIENT_TWIPS = (6000, 5880)
SETWAVES_CAPTION_BOX = (240, 1080, 5520, 375)
SETWAVES_SELECT = (240, 1620, 2700, 495)
SETWAVES_OK = (4545, 5220, 1095, 495)
SETWAVES_RECORD = (240, 2640, 1740, 495)
SETWAVES_STOP = (2130, 2640, 1740, 495)

RECORD_RATE = 48000
NS = 1_000_000_000


class Failure(Exception):
    """A check of the tests that did not hold."""


class Skip(Exception):
    """The environment cannot run the tests (no test sound server)."""


def expect(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, predicate, timeout, interval=0.02):
    """Polls `predicate` until it returns something true; returns that, or fails naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def require_tools(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        raise Failure("missing tools: " + ", ".join(missing) + " (scripts/setup installs them)")


# --- X server -------------------------------------------------------------------------------------


def _recv_exact(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise OSError("X server closed the connection")
        data += chunk
    return data


def _x_connect(number):
    """A connection to display `number` past its setup, speaking the X protocol itself (no auth needed)."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.settimeout(5)
        sock.connect(f"/tmp/.X11-unix/X{number}")
        sock.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
        head = _recv_exact(sock, 8)
        _recv_exact(sock, struct.unpack_from("<H", head, 6)[0] * 4)
        if head[0] != 1:
            raise OSError("the X server refused the connection")
        return sock
    except BaseException:
        sock.close()
        raise


def _x_request(sock, payload):
    sock.sendall(payload)
    while True:
        head = _recv_exact(sock, 32)
        if head[0] == 1:
            return head + _recv_exact(sock, struct.unpack_from("<I", head, 4)[0] * 4)
        if head[0] == 0:
            raise OSError(f"X error {head[1]}")
        # An event: none is selected, but one is skipped should it come.


def _x_ready(number):
    try:
        _x_connect(number).close()
        return True
    except OSError:
        return False


def selection_owner(display_number, selection):
    """The window owning `selection`, 0 when none (InternAtom, then GetSelectionOwner)."""
    with _x_connect(display_number) as sock:
        name = selection.encode()
        padded = name + b"\0" * (-len(name) % 4)
        atom = struct.unpack_from(
            "<I", _x_request(sock, struct.pack("<BBHHxx", 16, 0, 2 + len(padded) // 4, len(name)) + padded), 8)[0]
        if atom == 0:
            return 0
        return struct.unpack_from("<I", _x_request(sock, struct.pack("<BxHI", 23, 2, atom)), 8)[0]


class Window:
    def __init__(self, wid, x, y, width, height, viewable, override):
        self.id, self.x, self.y, self.width, self.height = wid, x, y, width, height
        self.viewable, self.override = viewable, override

    def __repr__(self):
        return f"<window {self.id:#x} {self.width}x{self.height}+{self.x}+{self.y}>"


class Display:
    """Xvfb on a free display number with trayer as the system tray (now, or when start_tray() is called);
    stops both on close()."""

    def __init__(self, workdir, size=(1280, 1024), tray=True):
        require_tools("Xvfb", "trayer", "xdotool", "xwininfo", "import")
        os.makedirs(workdir, exist_ok=True)
        self.workdir = workdir
        self.xvfb = None
        self.trayer = None
        try:
            self._start_server(size)
            self.name = f":{self.number}"
            if tray:
                self.start_tray()
        except BaseException:
            self.close()
            raise

    def start_tray(self):
        with open(os.path.join(self.workdir, "trayer.log"), "wb") as log:
            self.trayer = subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                 "--SetDockType", "true", "--transparent", "false", "--expand", "true"],
                env=self.env({"HOME": self.workdir}), stdin=subprocess.DEVNULL, stdout=log,
                stderr=subprocess.STDOUT)
        # QSystemTrayIcon embeds only when someone owns the tray selection at the time it is shown.
        wait_for("trayer to own _NET_SYSTEM_TRAY_S0",
                 lambda: self.trayer.poll() is None and selection_owner(self.number, "_NET_SYSTEM_TRAY_S0"), 15)

    def _start_server(self, size):
        # Numbers far from the :0 and :99 that desktops and xvfb-run take, in random order, each claimed
        # with its lock file by the server itself; a number taken meanwhile makes Xvfb exit, and the next
        # is tried.
        candidates = list(range(200, 1000))
        random.shuffle(candidates)
        for number in candidates:
            if os.path.exists(f"/tmp/.X{number}-lock") or os.path.exists(f"/tmp/.X11-unix/X{number}"):
                continue
            with open(os.path.join(self.workdir, "xvfb.log"), "wb") as log:
                self.xvfb = subprocess.Popen(
                    ["Xvfb", f":{number}", "-screen", "0", f"{size[0]}x{size[1]}x24", "-dpi", "96", "-nolisten",
                     "tcp", "-noreset"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 15
            while self.xvfb.poll() is None and time.monotonic() < deadline:
                if _x_ready(number) and self._owns_lock(number):
                    self.number = number
                    return
                time.sleep(0.02)
            if self.xvfb.poll() is None:
                raise Failure("Xvfb did not answer within 15 s; see " + os.path.join(self.workdir, "xvfb.log"))
        raise Failure("no free X display number")

    def _owns_lock(self, number):
        try:
            with open(f"/tmp/.X{number}-lock", encoding="ascii") as handle:
                return int(handle.read().strip()) == self.xvfb.pid
        except (OSError, ValueError):
            return False

    def env(self, extra=None):
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": self.name, "LANG": "C.UTF-8"}
        env.update(extra or {})
        return env

    def close(self):
        for process in (self.trayer, self.xvfb):
            if process is not None and process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(5)

    def run(self, *args, check=True):
        result = subprocess.run(args, env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                timeout=20)
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(args)} failed ({result.returncode}): {result.stderr.strip()}")
        return result

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.run("import", "-window", "root", path, check=False)
        return path

    # Windows --------------------------------------------------------------------------------------

    def window_info(self, wid):
        result = self.run("xwininfo", "-id", str(wid), check=False)
        if result.returncode != 0:
            return None
        fields = dict(re.findall(r"^\s*([A-Za-z][A-Za-z -]*?):\s+(.*)$", result.stdout, re.M))
        try:
            return Window(wid, int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                          int(fields["Width"]), int(fields["Height"]), fields["Map State"] == "IsViewable",
                          fields["Override Redirect State"] == "yes")
        except (KeyError, ValueError):
            return None

    def windows(self, title, override=False):
        """Viewable top-level windows titled exactly `title`; popups (override-redirect) only when asked."""
        listing = self.run("xwininfo", "-root", "-children").stdout
        found = []
        for wid, name in re.findall(r'^\s*(0x[0-9a-f]+) "([^"]*)"', listing, re.M):
            if name != title:
                continue
            info = self.window_info(int(wid, 16))
            if info is not None and info.viewable and info.override == override:
                found.append(info)
        return found

    def window(self, title, timeout=10, override=False, interval=0.02):
        return wait_for(f'a window titled "{title}"',
                        lambda: next(iter(self.windows(title, override)), None), timeout, interval)

    def wait_gone(self, title, timeout=10):
        wait_for(f'the window "{title}" to close', lambda: not self.windows(title), timeout)

    def tray_icons(self, title=APP_TITLE):
        """Windows titled `title` embedded in trayer's panel, as (x, y, width, height) on the screen."""
        tree = self.run("xwininfo", "-root", "-tree").stdout.splitlines()
        line_re = re.compile(r'^(\s*)0x[0-9a-f]+ (?:"([^"]*)"|\(has no name\)):? .*?'
                             r"(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$")
        icons = []
        panel_indent = None
        for line in tree:
            match = line_re.match(line)
            if not match:
                continue
            indent = len(match.group(1))
            if panel_indent is not None and indent <= panel_indent:
                panel_indent = None
            if '("panel" "trayer")' in line:
                panel_indent = indent
            elif panel_indent is not None and match.group(2) == title:
                icons.append(tuple(int(match.group(i)) for i in (5, 6, 3, 4)))
        return icons

    def settled_tray_icon(self, title=APP_TITLE, timeout=10, settle=0.5):
        """The one tray icon titled `title`, once it has kept its place for `settle` seconds: a freshly
        embedded icon is listed before it is shown, and a click on it then is lost."""
        seen = {"icon": None, "since": 0.0}

        def settled():
            icons = self.tray_icons(title)
            icon = icons[0] if len(icons) == 1 else None
            now = time.monotonic()
            if icon != seen["icon"]:
                seen.update(icon=icon, since=now)
            return icon if icon is not None and now - seen["since"] >= settle else None

        return wait_for(f'the tray icon "{title}" to settle', settled, timeout, 0.05)

    # Input ----------------------------------------------------------------------------------------

    def click(self, x, y, button=1):
        # No delay after the click: xdotool would otherwise linger 100 ms, blurring when the click landed.
        self.run("xdotool", "mousemove", str(int(x)), str(int(y)), "click", "--delay", "0", str(button))

    def keys(self, *keys):
        self.run("xdotool", "key", "--delay", "40", *keys)

    def type_text(self, text):
        self.run("xdotool", "type", "--delay", "15", text)

    def focus(self, window):
        self.run("xdotool", "windowfocus", "--sync", str(window.id))


def at(window, rect, design=None, top=0):
    """The screen point at the centre of a control laid out at `rect` (twips) in `window`'s client area.

    With `design` (the client size in twips) positions scale with the window, as the proportional
    resize of the program's windows does; `top` is the height of a menu bar above the client area.
    """
    left, upper, width, height = rect
    scale_x = scale_y = 1.0 / TWIPS_PER_PIXEL
    if design is not None:
        scale_x = window.width / design[0]
        scale_y = (window.height - top) / design[1]
    return window.x + (left + width / 2) * scale_x, window.y + top + (upper + height / 2) * scale_y


# --- The keyer ------------------------------------------------------------------------------------


def settings_path(config_home):
    return os.path.join(config_home, "WrenKeyer", APP_TITLE + ".ini")


def read_settings(config_home):
    """The settings file as {section: {key: value}}, keys decoded as the program wrote them."""
    parser = configparser.RawConfigParser(strict=False, delimiters=("=",))
    parser.optionxform = str
    with open(settings_path(config_home), encoding="utf-8") as handle:
        parser.read_file(handle)
    return {section: {urllib.parse.unquote(key): value for key, value in parser.items(section)}
            for section in parser.sections()}


def write_settings(config_home, sections):
    """Writes a settings file the way the program stores it (keys with blanks %-encoded)."""
    path = settings_path(config_home)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        for section, values in sections.items():
            handle.write(f"[{section}]\n")
            for key, value in values.items():
                handle.write(f"{urllib.parse.quote(key, safe='')}={value}\n")
            handle.write("\n")


class Home:
    """A fresh per-user world for one run of the keyer: settings, runtime folder (0700), home."""

    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")
        self.config = os.path.join(root, "config")
        self.runtime = os.path.join(root, "runtime")
        for path in (self.home, self.config, self.runtime):
            os.makedirs(path, exist_ok=True)
        os.chmod(self.runtime, 0o700)

    def env(self):
        return {
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.config,
            "XDG_RUNTIME_DIR": self.runtime,
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
        }


def sound_env():
    """The test sound server of the environment (scripts/test); Skip when there is none."""
    names = ("PULSE_SERVER", "PULSE_COOKIE", "PULSE_CLIENTCONFIG", "WRENKEYER_TEST_SINK")
    env = {name: os.environ[name] for name in names if os.environ.get(name)}
    if "WRENKEYER_TEST_SINK" not in env or "PULSE_SERVER" not in env:
        raise Skip("no test sound server: run scripts/test, or eval \"$(scripts/pulse-test-server start)\"")
    env["PULSE_SINK"] = env["WRENKEYER_TEST_SINK"]
    probe = subprocess.run(["pactl", "info"], env={**os.environ, **env}, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=10)
    if probe.returncode != 0:
        raise Failure(f"WRENKEYER_TEST_SINK is set but the sound server {env['PULSE_SERVER']} does not answer")
    return env


def sound_server_pid(sound):
    """The test sound server's process id, from the pid file beside its socket."""
    run_dir = os.path.dirname(sound["PULSE_SERVER"].removeprefix("unix:"))
    try:
        with open(os.path.join(run_dir, "pid"), encoding="ascii") as handle:
            pid = int(handle.read().strip())
        with open(f"/proc/{pid}/comm", encoding="ascii") as handle:
            comm = handle.read().strip()
    except (OSError, ValueError) as error:
        raise Failure(f"cannot find the test sound server's process in {run_dir}: {error}") from None
    # PipeWire's Pulse service keeps its pid file beside its socket as PulseAudio does; stopping it stops
    # every client's stream just the same.
    expect(comm in ("pulseaudio", "pipewire-pulse"),
           f"process {pid} of {run_dir}/pid is {comm}, not the test sound server")
    return pid


@contextlib.contextmanager
def sound_server_hung(sound):
    """Stops the test sound server (SIGSTOP) for the block, and lets it go on afterwards whatever happens."""
    pid = sound_server_pid(sound)
    os.kill(pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(pid, signal.SIGCONT)


def run_command(exe, env, *args, timeout=10):
    """The executable run with `args` in `env` (without the serial shim): (status, stdout, stderr)."""
    env = {k: v for k, v in env.items() if k not in ("LD_PRELOAD", "WRENKEYER_SHIM_LOG")}
    result = subprocess.run([exe, *args], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=timeout)
    return result.returncode, result.stdout, result.stderr


class PrivateBus:
    """A D-Bus session bus of the test's own, stopped by its process id; never the user's."""

    def __init__(self, workdir):
        require_tools("dbus-daemon", "gdbus")
        # The one scripts/test started for the run, which stops it; else one of our own.
        self.process = None
        self.address = os.environ.get("WRENKEYER_TEST_BUS")
        if self.address:
            return
        os.makedirs(workdir, exist_ok=True)
        self.address = "unix:path=" + os.path.join(workdir, "bus")
        self.process = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                         "--address=" + self.address, "--print-address=1"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        printed = self.process.stdout.readline().strip()
        expect(printed.startswith(self.address), f"dbus-daemon did not start: {printed!r}")

    def env(self):
        return {**os.environ, "DBUS_SESSION_BUS_ADDRESS": self.address}

    def gdbus(self, *args, timeout=10):
        result = subprocess.run(["gdbus", *args], env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=timeout)
        return result.returncode, result.stdout.strip(), result.stderr.strip()

    def close(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()


class Keyer:
    """One run of the real executable in `home`, on `display`, optionally with the serial shim preloaded."""

    def __init__(self, exe, display, home, sound, shim=None, log_name="keyer.log", bus=None):
        self.exe, self.display, self.home = exe, display, home
        env = display.env(home.env())
        env.update(sound)
        env.update({
            "QT_QPA_PLATFORM": "xcb",
            # No session bus: the tray icon must go to the XEmbed tray of our display, never to a desktop's.
            # A private bus only for the cases that test the keyer's own D-Bus interface.
            "DBUS_SESSION_BUS_ADDRESS": bus.address if bus else
            "unix:path=" + os.path.join(home.root, "no-session-bus"),
        })
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        if shim is not None:
            env["LD_PRELOAD"] = shim.library
            env["WRENKEYER_SHIM_DEVICE"] = shim.device
            env["WRENKEYER_SHIM_LOG"] = shim.log
            # A keyer built with the sanitizers wants its runtime first; the shim is loaded before it.
            env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        self.env = env
        self.log_path = os.path.join(home.root, log_name)
        self.started_ns = time.monotonic_ns()
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen([exe], env=env, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT)

    @property
    def pid(self):
        return self.process.pid

    def command(self, *args, timeout=10):
        """Runs the executable with `args` beside this keyer, as a logger would: (status, stdout, stderr)."""
        return run_command(self.exe, self.env, *args, timeout=timeout)

    def running(self):
        return self.process.poll() is None

    def exit_description(self):
        status = self.process.poll()
        if status is None:
            return "still running"
        if status < 0:
            return f"killed by {signal.Signals(-status).name}"
        return f"ended with status {status}"

    def check_alive(self):
        if not self.running():
            raise Failure(f"the keyer (pid {self.pid}) {self.exit_description()}")

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the keyer (pid {self.pid}) did not end within {timeout:g} s") from None

    def terminate(self, timeout=10):
        if self.running():
            self.process.send_signal(signal.SIGTERM)
        return self.wait_exit(timeout)

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait(5)

    def log_tail(self, lines=30):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as handle:
                return "".join(handle.readlines()[-lines:])
        except OSError:
            return ""

    def main_window(self, timeout=10):
        return self.display.window(APP_TITLE, timeout)

    def close_about(self, timeout=15):
        about = self.display.window("About", timeout)
        expect(abs(about.width - ABOUT_CLIENT_TWIPS[0] / TWIPS_PER_PIXEL) <= 2,
               f"the about box is {about.width} px wide, not {ABOUT_CLIENT_TWIPS[0] / TWIPS_PER_PIXEL:g}: "
               "is the screen at 96 dpi?")
        self.display.click(*at(about, ABOUT_OK))
        self.display.wait_gone("About")
        return about


class MainWindow:
    """The main window's controls, found from its layout."""

    def __init__(self, display, window):
        self.display, self.window = display, window
        client_width, client_height = (round(v / TWIPS_PER_PIXEL) for v in MAIN_CLIENT_TWIPS)
        expect(abs(window.width - client_width) <= 2,
               f"the main window is {window.width} px wide, its layout says {client_width}")
        # The menu bar above the client area and the status bar below share the rest about equally.
        self.menu_bar = (window.height - client_height) // 2
        expect(10 <= self.menu_bar <= 40, f"the main window's height {window.height} leaves no room for its bars")

    def message_button(self, number):
        index = number - 1
        return at(self.window, (240 if index < 5 else 2520, MSG_TOPS[index % 5], 2055, 495), top=self.menu_bar)

    def stop_button(self):
        return at(self.window, STOP_BUTTON, top=self.menu_bar)

    def click_message(self, number, button=1):
        self.display.click(*self.message_button(number), button=button)

    def click_stop(self):
        self.display.click(*self.stop_button())


# --- Serial shim ----------------------------------------------------------------------------------


class SerialShim:
    """A pseudo-terminal standing in for COM1 through the preloaded shim, and the shim's record."""

    def __init__(self, library, log):
        if not os.path.exists(library):
            raise Failure(f"the serial shim {library} has not been built")
        self.library = os.path.abspath(library)
        self.log = log
        # The master stays with us, so the slave can be opened again and again.
        self.master, slave = os.openpty()
        self.device = os.ttyname(slave)
        os.close(slave)
        with contextlib.suppress(FileNotFoundError):
            os.remove(log)

    def close(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def records(self, pid=None):
        try:
            with open(self.log, encoding="ascii") as handle:
                lines = handle.read().splitlines()
        except FileNotFoundError:
            return []
        found = []
        for line in lines:
            record = dict(field.split("=", 1) for field in line.split())
            for name in ("mono", "real", "pid", "dtr", "rts", "brk", "hupcl"):
                if name in record:
                    record[name] = int(record[name])
            if pid is None or record["pid"] == pid:
                found.append(record)
        return found

    def settings(self, line="RTS"):
        """Settings sections that put the keyer's COM1 on this pty, keyed by `line`."""
        return {"Settings": {"Comm Port": "1", "PTT Line": line}, "Ports": {"COM1": self.device}}


class Rigctld:
    """Hamlib's rigctld with its dummy rig on a free loopback port, started and stopped by its PID, and a
    second client that asks it for PTT ("t") as a logging program sharing the rig would."""

    def __init__(self, log):
        if shutil.which("rigctld") is None:
            raise Skip("rigctld (libhamlib-utils) is not installed")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.log = open(log, "wb")
        self.process = subprocess.Popen(["rigctld", "-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", str(self.port)],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        wait_for("rigctld to listen", self._listens, 5)

    @property
    def path(self):
        return f"127.0.0.1:{self.port}"

    def _listens(self):
        if self.process.poll() is not None:
            raise Failure(f"rigctld ended with status {self.process.returncode}")
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def ptt(self):
        """1 keyed, 0 not, as rigctld reports it. rigctld now and then resets a connection taken and dropped
        every few milliseconds; the question is then asked again on a new one, as a logger would."""
        for attempt in range(3):
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2) as client:
                    client.sendall(b"t\n")
                    reply = b""
                    while b"\n" not in reply:
                        chunk = client.recv(64)
                        if not chunk:
                            break
                        reply += chunk
                return int(reply.strip() or b"-1")
            except ConnectionResetError:
                if attempt == 2:
                    raise
                time.sleep(0.01)

    def close(self):
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.log.close()


def describe(records):
    return "\n".join(f"  {r['event']:<9} dtr={r['dtr']} rts={r['rts']} +{(r['mono'] - records[0]['mono']) / 1e6:.1f} ms"
                     for r in records) or "  (nothing)"


# --- Sound ----------------------------------------------------------------------------------------


def _server(sound):
    """The test sound server scripts/test started: "pipewire", or None for PulseAudio."""
    return (sound or {}).get("WRENKEYER_SOUND_SERVER") or os.environ.get("WRENKEYER_SOUND_SERVER")


def record_latency_ms(sound=None):
    """PipeWire's Pulse service drops monitor data below about 50 ms of recording latency, and every frame
    lost would shift the times read off the recording; PulseAudio keeps up at 2 ms, which times closer."""
    return 50 if _server(sound) == "pipewire" else 2


def timing_slack_ms(sound=None):
    """How far below its setting a lead or tail read off the monitor may come before it counts as short.
    PulseAudio's monitor places a frame within a millisecond or two. PipeWire's comes in whole cycles of its
    graph (21 ms), and now and then a tail there reads some 5 ms short (one in 80 in the bench) although the
    keyer waits 14 ms past that server's timing: half a cycle is what is allowed there."""
    return 10 if _server(sound) == "pipewire" else 5


class Recorder:
    """The test sink's monitor, recorded by parec with the arrival time of every chunk (CLOCK_MONOTONIC)."""

    def __init__(self, sound, channels=2):
        require_tools("parec")
        self.channels = channels
        self.data = bytearray()
        self.arrivals = []
        self.lock = threading.Lock()
        env = {**os.environ, **sound}
        self.process = subprocess.Popen(
            ["parec", "--raw", "--format=float32le", f"--rate={RECORD_RATE}", f"--channels={channels}",
             f"--latency-msec={record_latency_ms(sound)}", "--client-name=wrenkeyer-e2e-recorder", "-d",
             sound["WRENKEYER_TEST_SINK"] + ".monitor"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        # Nothing played from now on is missed: the monitor is delivering.
        wait_for("the monitor recording to deliver", lambda: self.frames() >= RECORD_RATE // 5, 10, 0.01)

    def _read(self):
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 65536)
            now = time.monotonic_ns()
            if not chunk:
                return
            with self.lock:
                self.data += chunk
                self.arrivals.append((now, len(self.data) // (4 * self.channels)))

    def frames(self):
        with self.lock:
            return len(self.data) // (4 * self.channels)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(5)
        self.thread.join(5)

    def samples(self, channel=0):
        with self.lock:
            frames = len(self.data) // (4 * self.channels)
            values = array.array("f")
            values.frombytes(bytes(self.data[: frames * 4 * self.channels]))
        if sys.byteorder != "little":
            values.byteswap()
        return values[channel::self.channels]

    # A chunk arrives no sooner than its last frame left the sink, so the chunks that end soon after a frame
    # bound its time closely. Only those are used: PipeWire's monitor now and then loses frames, and counted
    # from frame 0 the sounds of a long recording came out tens of milliseconds early, more with each one.
    NEARBY_FRAMES = RECORD_RATE

    def _nearby(self, start):
        """The chunks from index `start` that end within NEARBY_FRAMES of the first of them."""
        if start >= len(self.arrivals):
            return []
        last = self.arrivals[start][1] + self.NEARBY_FRAMES
        following = itertools.islice(self.arrivals, start, None)
        return list(itertools.takewhile(lambda arrival: arrival[1] <= last, following))

    def time_of(self, frame):
        """When recorded `frame` left the sink."""
        with self.lock:
            nearby = self._nearby(bisect.bisect_left(self.arrivals, frame, key=lambda arrival: arrival[1]))
            if not nearby:
                arrived, frames = self.arrivals[-1]
                return arrived + (frame - frames) * NS // RECORD_RATE
            return min(arrived - (frames - frame) * NS // RECORD_RATE for arrived, frames in nearby)

    def frame_at(self, ns):
        """The recorded frame that left the sink at `ns` (CLOCK_MONOTONIC), within what was recorded."""
        with self.lock:
            total = self.arrivals[-1][1] if self.arrivals else 0
            nearby = self._nearby(bisect.bisect_left(self.arrivals, ns, key=lambda arrival: arrival[0]))
            if not nearby:
                return total
            frame = max(frames - (arrived - ns) * RECORD_RATE // NS for arrived, frames in nearby)
            return min(max(frame, 0), total)

    def first_loud_ns(self, threshold=0.02):
        """The time of the first loud sample recorded so far, or None."""
        samples = self.samples()
        first = next((i for i, v in enumerate(samples) if abs(v) > threshold), None)
        return None if first is None else self.time_of(first)

    def last_loud_ns(self, threshold=0.02, window_s=0.05):
        """The time of the latest loud sample within the last `window_s` of recording, or None."""
        with self.lock:
            frames = len(self.data) // (4 * self.channels)
            first = max(0, frames - int(window_s * RECORD_RATE))
            tail = array.array("f")
            tail.frombytes(bytes(self.data[first * 4 * self.channels: frames * 4 * self.channels]))
        for index in range(len(tail) - self.channels, -1, -self.channels):
            if abs(tail[index]) > threshold:
                return self.time_of(first + index // self.channels)
        return None


def read_wav(path):
    """The first channel of a 16-bit PCM WAV file as floats, and its rate."""
    with wave.open(path, "rb") as handle:
        expect(handle.getsampwidth() == 2, f"{path} is not 16-bit PCM")
        channels, rate = handle.getnchannels(), handle.getframerate()
        values = array.array("h")
        values.frombytes(handle.readframes(handle.getnframes()))
    if sys.byteorder != "little":
        values.byteswap()
    return rate, [v / 32768.0 for v in values[::channels]]


def loud_span(samples, threshold):
    """First and last index of a sample louder than `threshold`, or None."""
    first = next((i for i, v in enumerate(samples) if abs(v) > threshold), None)
    if first is None:
        return None
    last = next(i for i in range(len(samples) - 1, -1, -1) if abs(samples[i]) > threshold)
    return first, last


def loud_stretches(samples, rate, threshold, block_s=0.01):
    """(start, length) in seconds of each stretch whose every `block_s` block peaks above `threshold`."""
    block = max(1, int(rate * block_s))
    stretches, start = [], None
    for index in range(0, len(samples) - block + 1, block):
        loud = max(abs(v) for v in samples[index: index + block]) > threshold
        if loud and start is None:
            start = index
        elif not loud and start is not None:
            stretches.append((start / rate, (index - start) / rate))
            start = None
    if start is not None:
        stretches.append((start / rate, (len(samples) - start) / rate))
    return stretches


def rms(samples, span):
    first, last = span
    total = 0.0
    for value in samples[first: last + 1]:
        total += value * value
    return (total / (last - first + 1)) ** 0.5


class Heard:
    """What the monitor recorded of one message, beside its source file."""

    def __init__(self, recorder, source_path, threshold=0.02):
        self.source_rate, source = read_wav(source_path)
        self.source_span = loud_span(source, threshold)
        expect(self.source_span is not None, f"{source_path} holds no sound above {threshold}")
        self.source_length_s = (self.source_span[1] - self.source_span[0] + 1) / self.source_rate
        # Quiet before the first and after the last loud sample of the file: the line's lead and tail
        # are counted from the file's first and last sample, not from its first and last loud one.
        self.source_head_ns = self.source_span[0] * NS // self.source_rate
        self.source_tail_ns = (len(source) - 1 - self.source_span[1]) * NS // self.source_rate
        self.source_rms = rms(source, self.source_span)
        recorded = recorder.samples()
        self.span = loud_span(recorded, threshold)
        self.length_s = self.rms = None
        if self.span is not None:
            self.length_s = (self.span[1] - self.span[0] + 1) / RECORD_RATE
            self.rms = rms(recorded, self.span)
            self.first_ns = recorder.time_of(self.span[0])
            self.last_ns = recorder.time_of(self.span[1])

    @property
    def lost_ms(self):
        """How much shorter the sound was recorded than the file holds. PipeWire's monitor loses a frame now
        and then; where it did, the times of the frames around are uncertain by that much."""
        return max(0.0, (self.source_length_s - self.length_s) * 1000) if self.length_s is not None else 0.0

    def check_matches(self, name):
        expect(self.span is not None, f"nothing of {name} was heard on the monitor")
        expect(abs(self.length_s - self.source_length_s) <= 0.020,
               f"{name} sounded for {self.length_s * 1000:.1f} ms, the file holds "
               f"{self.source_length_s * 1000:.1f} ms (more than 20 ms apart)")
        ratio = self.rms / self.source_rms
        expect(abs(ratio - 1.0) <= 0.02,
               f"{name} was heard at {ratio * 100:.2f} % of the file's RMS level (more than 2 % off)")


def make_wav(path, text, rate=16000):
    """A spoken 16-bit mono WAV file at `rate`, made by espeak-ng and sox."""
    require_tools("espeak-ng", "sox")
    raw = path + ".espeak.wav"
    subprocess.run(["espeak-ng", "-v", "en-us", "-s", "170", "-w", raw, text], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["sox", raw, "-r", str(rate), "-b", "16", "-c", "1", path, "silence", "1", "0.01", "0.5%",
                    "reverse", "silence", "1", "0.01", "0.5%", "reverse", "norm", "-6"], check=True)
    os.remove(raw)
    return path
