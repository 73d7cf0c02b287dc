"""The shared driver of the end-to-end tests (test_e2e.py runs them): the X server
and window manager, the keyboard and mouse through xdotool, the program as its own
process, the counter played on a pseudo-terminal or by the simulator, the modem-line
log, and the base class of the test cases.

The display is started once for the whole run (start) and ended after it (stop); the
program, the simulator and the modem-line library are set by configure.
"""

import argparse
import itertools
import ctypes
import ctypes.util
import fcntl
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

PROGRAM = None
SIM = None
MODEM_LINES = None
HERE = os.path.dirname(os.path.abspath(__file__))

MAIN_TITLE = "QZ-7310 TALVEN SOFTWARE"
PORT_TITLE = "COM PORT"
CLEAR_TITLE = "確認"
SAVE_TITLE = "名前を付けて保存"  # Qt's own save dialog, Japanese whatever the system's language

# The main window's buttons in their tab order; the grid ends it and Tab wraps around.
# Centres of the buttons in the main window's client area, from their layout in
# twips (15 twips a pixel); CsvOut and Command3 sit in the frame Frame3 at 416, 24.
CLIENT_HEIGHT = 419
BUTTON_CENTRES = {
    "Command1": (24 + 177 // 2, 88 + 33 // 2),
    "Command4": (24 + 177 // 2, 152 + 33 // 2),
    "Command2": (224 + 161 // 2, 152 + 33 // 2),
    "CsvOut": (416 + 272 + 145 // 2, 24 + 344 + 25 // 2),
    "Command3": (416 + 360 + 57 // 2, 24 + 316 + 25 // 2),
}

STX, ETX, ACK, CR, NAK = b"\x02", b"\x03", b"\x06", b"\r", b"\x15"
RDD_ALL = bytes.fromhex("02 52 44 44 20 41 4C 4C 03 0D")
RDD_NOW = bytes.fromhex("02 52 44 44 20 4E 4F 57 03 0D")
CLR_ALL = bytes.fromhex("02 43 4C 52 20 41 4C 4C 03 0D")

SAVE_NUMBERS = itertools.count(1)

# The splash window: no title, 480 x 326 inside its 3-pixel dialog frame.
SPLASH_SIZE = (486, 332)

# Guards against a hang, not measurements: a healthy run meets each condition
# in a fraction of these.
PATIENCE = 30.0


def terminate(process):
    """Asks a helper process (the X server, the window manager) to end, then makes it."""
    process.terminate()
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def wait_for(condition, what, patience=PATIENCE):
    give_up = time.monotonic() + patience
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > give_up:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.02)


# --- counter records --------------------------------------------------------

# Record layout of a data frame: (first position counted from 1, length) of the
# record number, CNTR1 to CNTR5 and TOTAL.
FIELDS = ((3, 2), (6, 5), (12, 5), (18, 5), (24, 5), (30, 5), (36, 6))


def data_frame(number, counts):
    """A 42-byte data frame as the counter sends it."""
    return (b"\x02D%02d " % (number % 100) + b"".join(b"%05d " % c for c in counts)
            + b"%06d\r" % sum(counts))


def row_of(number, counts):
    """The table row the program should make of data_frame(number, counts)."""
    return [str(number % 100)] + [str(c) for c in counts] + [str(sum(counts))]


def row_of_frame(frame):
    """The table row of a received frame of digits, read field by field."""
    return [str(int(frame[p - 1:p - 1 + n])) for p, n in FIELDS]


def csv_bytes(rows):
    return b"".join(('"' + '","'.join(row) + '"\r\n').encode("ascii") for row in rows)


def csv_rows(data):
    """Rows of a saved file; checks the line format on the way."""
    if not data:
        return []
    assert data.endswith(b"\r\n"), data[-20:]
    rows = []
    for line in data[:-2].split(b"\r\n"):
        assert re.fullmatch(rb'"[^"]*"(,"[^"]*"){6}', line), line
        rows.append([f.decode("ascii") for f in line[1:-1].split(b'","')])
    return rows


# --- X server and keyboard --------------------------------------------------

class XServer:
    def __init__(self, workdir):
        read_end, write_end = os.pipe()
        self.log = open(os.path.join(workdir, "xvfb.log"), "wb")
        # -displayfd: the server picks a free display number and tells us.
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self.log,
            stderr=subprocess.STDOUT)
        os.close(write_end)
        number = b""
        try:
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([read_end], [], [], PATIENCE)
                chunk = os.read(read_end, 16) if ready else b""
                if not chunk:
                    raise RuntimeError("Xvfb did not start; see " + self.log.name)
                number += chunk
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()

    def stop(self):
        terminate(self.process)
        self.log.close()


class WindowManager:
    """openbox on the test's X server, with a home of its own."""

    def __init__(self, name, display, workdir):
        home = tempfile.mkdtemp(prefix="wm-", dir=workdir)
        env = dict(os.environ, DISPLAY=display, HOME=home, XDG_CONFIG_HOME=home,
                   XDG_CACHE_HOME=home, XDG_DATA_HOME=home)
        self.log = open(os.path.join(workdir, name + ".log"), "wb")
        self.process = subprocess.Popen([name, "--sm-disable"], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        # Managing once it has put up its check window.
        x11 = X11(display)
        wait_for(lambda: self.process.poll() is not None
                 or x11.cardinals(x11.root(), "_NET_SUPPORTING_WM_CHECK"), name + " to start")
        if self.process.poll() is not None:
            raise RuntimeError(name + " did not start; see " + self.log.name)

    def stop(self):
        terminate(self.process)
        self.log.close()


class XClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessage), ("pad", ctypes.c_long * 24)]


class X11:
    """The few Xlib calls the tests need beyond xdotool: window properties and client
    messages."""

    lib = None

    def __init__(self, display):
        self.display = display
        if X11.lib is None:
            x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
            x11.XOpenDisplay.restype = ctypes.c_void_p
            x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
            x11.XDefaultRootWindow.restype = ctypes.c_ulong
            x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
            x11.XInternAtom.restype = ctypes.c_ulong
            x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
            x11.XGetAtomName.restype = ctypes.c_void_p
            x11.XGetAtomName.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
            x11.XGetWindowProperty.argtypes = [
                ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long,
                ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
                ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
            x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                       ctypes.c_long, ctypes.c_void_p]
            x11.XFree.argtypes = [ctypes.c_void_p]
            x11.XFlush.argtypes = [ctypes.c_void_p]
            x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
            X11.lib = x11

    def _session(self):
        dpy = X11.lib.XOpenDisplay(self.display.encode())
        if not dpy:
            raise RuntimeError("cannot open display " + self.display)
        return dpy

    def root(self):
        dpy = self._session()
        try:
            return X11.lib.XDefaultRootWindow(dpy)
        finally:
            X11.lib.XCloseDisplay(dpy)

    def cardinals(self, window, name):
        """A 32-bit property as a list of numbers (atoms and windows included); [] when unset."""
        x11 = X11.lib
        dpy = self._session()
        try:
            kind, fmt = ctypes.c_ulong(), ctypes.c_int()
            count, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
            status = x11.XGetWindowProperty(
                dpy, window, x11.XInternAtom(dpy, name.encode(), 0), 0, 1024, 0, 0,
                ctypes.byref(kind), ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(after),
                ctypes.byref(data))
            if status != 0 or not data.value:
                return []
            try:
                if fmt.value != 32:
                    return []
                return list(ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[:count.value])
            finally:
                x11.XFree(data)
        finally:
            x11.XCloseDisplay(dpy)

    def atom_names(self, window, name):
        x11 = X11.lib
        atoms = self.cardinals(window, name)
        dpy = self._session()
        try:
            names = []
            for atom in atoms:
                text = x11.XGetAtomName(dpy, atom)
                names.append(ctypes.string_at(text).decode())
                x11.XFree(text)
            return names
        finally:
            x11.XCloseDisplay(dpy)

    def client_message(self, window, message_type, data, to_root=False):
        x11 = X11.lib
        dpy = self._session()
        try:
            event = XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.display = dpy
            event.xclient.window = window
            event.xclient.message_type = x11.XInternAtom(dpy, message_type.encode(), 0)
            event.xclient.format = 32
            for i, value in enumerate(data):
                event.xclient.data[i] = (x11.XInternAtom(dpy, value.encode(), 0)
                                         if isinstance(value, str) else value)
            target = x11.XDefaultRootWindow(dpy) if to_root else window
            # To the root window, as a client asks the window manager for something.
            mask = (1 << 19) | (1 << 20) if to_root else 0  # SubstructureNotify | Redirect
            if not x11.XSendEvent(dpy, target, 0, mask, ctypes.byref(event)):
                raise RuntimeError("XSendEvent failed")
            x11.XFlush(dpy)
        finally:
            x11.XCloseDisplay(dpy)


class Keyboard:
    """xdotool on our display, and the close request a window manager sends."""

    def __init__(self, display, managed=False):
        self.env = dict(os.environ, DISPLAY=display)
        self.display = display
        self.managed = managed  # a window manager runs and decides the focus
        self.x11 = X11(display)

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True,
                              text=True, check=check, timeout=PATIENCE)

    def visible(self, title):
        found = self.xdotool("search", "--onlyvisible", "--name",
                             "^" + re.escape(title) + "$", check=False)
        return [int(w) for w in found.stdout.split()]

    def wait_window(self, title):
        return wait_for(lambda: self.visible(title), 'window "%s"' % title)[0]

    def wait_gone(self, title):
        wait_for(lambda: not self.visible(title), 'window "%s" to close' % title)

    def window_height(self, window):
        shape = self.xdotool("getwindowgeometry", "--shell", str(window)).stdout
        return int(re.search(r"^HEIGHT=(\d+)$", shape, re.M).group(1))

    def focus(self, window):
        if self.managed:
            self.xdotool("windowactivate", "--sync", str(window))
        else:
            self.xdotool("windowfocus", "--sync", str(window))

    def active(self):
        return (self.x11.cardinals(self.x11.root(), "_NET_ACTIVE_WINDOW") or [0])[0]

    def dialog_focus(self, dialog):
        """A dialog that has just come up: a window manager must give it the focus on its
        own; without one, the test gives it."""
        if self.managed:
            wait_for(lambda: self.active() == dialog,
                     "the window manager to give window %d the focus" % dialog)
        else:
            self.focus(dialog)

    def frame_extents(self, window):
        """left, right, top, bottom of the window manager's frame; zeros without one."""
        return tuple(self.x11.cardinals(window, "_NET_FRAME_EXTENTS") or (0, 0, 0, 0))

    def keys(self, *keys):
        self.xdotool("key", "--delay", "20", *keys)

    def type(self, text):
        self.xdotool("type", "--delay", "5", text)

    def close_window(self, window):
        """A close box: with a window manager, asked of it (_NET_CLOSE_WINDOW), which then
        sends WM_DELETE_WINDOW; without one, WM_DELETE_WINDOW sent as a window manager's
        close button would."""
        if self.managed:
            self.x11.client_message(window, "_NET_CLOSE_WINDOW", [0, 2], to_root=True)
        else:
            self.x11.client_message(window, "WM_PROTOCOLS", ["WM_DELETE_WINDOW", 0])


# --- the counter's end of the line ------------------------------------------

class PtyCounter:
    """This script as the counter: it reads what the program sends and writes the replies."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        # Raw both ways: no echo, no CR/LF translation. The slave stays open here, so
        # the line does not hang up while the program closes and reopens its port.
        tty.setraw(self.master)
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.device = os.ttyname(self.slave)
        self.received = b""

    def _read_available(self):
        while True:
            try:
                chunk = os.read(self.master, 4096)
            except BlockingIOError:
                return
            except OSError:  # EIO: nobody has the other side open
                return
            if not chunk:
                return
            self.received += chunk

    def expect(self, expected, checker):
        """The next bytes on the line are exactly `expected`."""
        start = len(self.received)

        def arrived():
            select.select([self.master], [], [], 0.05)
            self._read_available()
            return len(self.received) - start >= len(expected)

        wait_for(arrived, "%d bytes from the program" % len(expected))
        checker.assertEqual(self.received[start:].hex(" "), expected.hex(" "))

    def rest(self):
        self._read_available()
        return self.received

    def send(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.master], [], PATIENCE)
            try:
                view = view[os.write(self.master, view):]
            except BlockingIOError:
                pass

    def wait_taken(self, settle=0.3):
        """Until the program has read everything sent so far: the bytes waiting on the
        program's side of the line are counted on this script's own open of it. The
        kernel hands written bytes to that side a little later, so the count must stay
        at zero for a while, not just once."""
        last_seen = [time.monotonic()]

        def taken():
            waiting = fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0")
            if int.from_bytes(waiting, sys.byteorder) != 0:
                last_seen[0] = time.monotonic()
            return time.monotonic() - last_seen[0] >= settle
        wait_for(taken, "the program to read what was sent")

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Simulator:
    """qz7310-sim on its own pseudo-terminal, logging what it receives."""

    def __init__(self, workdir, *options, link=None):
        self.log_path = os.path.join(workdir, "sim-%d.log" % time.monotonic_ns())
        self.log = open(self.log_path, "wb")
        args = [SIM, "--log", *options]
        if link:
            args += ["--link", link]
        # It stops when its standard input, a pipe, closes.
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.log)
        ready, _, _ = select.select([self.process.stdout], [], [], PATIENCE)
        line = self.process.stdout.readline() if ready else b""
        if not line.startswith(b"/dev/"):
            self.stop()
            raise RuntimeError("the simulator did not start: %r" % line)
        self.device = line.decode().strip()

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("ascii", "replace")

    def answers(self, command):
        """Byte counts of the simulator's answers to this command so far."""
        pattern = r"received <STX>%s<ETX><CR>, answering (\d+) bytes" % re.escape(command)
        return [int(n) for n in re.findall(pattern, self.log_text())]

    def wait_answer(self, command, count):
        """Waits until the simulator has answered `count` commands of this kind,
        each received exactly as framed; returns the byte counts of its answers."""
        wait_for(lambda: len(self.answers(command)) >= count,
                 'the simulator to answer "%s" %d time(s)' % (command, count))
        return self.answers(command)

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.log.close()


def capture_sim_reply(workdir, command, *options):
    """What a simulator started with these options sends for one command, read
    here as a client of its own."""
    sim = Simulator(workdir, "--fast", *options)
    try:
        fd = os.open(sim.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            tty.setraw(fd)
            os.write(fd, command)
            answer = sim.wait_answer(command[1:8].decode(), 1)[0]
            data = b""

            def complete():
                nonlocal data
                select.select([fd], [], [], 0.05)
                try:
                    data += os.read(fd, 65536)
                except BlockingIOError:
                    pass
                return len(data) >= answer

            wait_for(complete, "%d bytes from the simulator" % answer)
            return data
        finally:
            os.close(fd)
    finally:
        sim.stop()


class ModemLines:
    """What the preloaded modem-line library saw on the program's pseudo-terminals,
    read from its log as steps such as "COM1 open", "COM1 RTS up",
    "COM1 write <hex> RTS up", "COM1 close"."""

    def __init__(self, workdir, names):
        self.path = os.path.join(workdir, "modem-lines.log")
        self.names = names  # device -> "COMn"

    def env(self):
        preload = [MODEM_LINES]
        # A sanitizer build refuses to start unless its runtime comes first.
        linked = subprocess.run(["ldd", PROGRAM], capture_output=True, text=True).stdout
        asan = re.search(r"=> (\S*/libasan\.so[.\d]*) ", linked)
        if asan:
            preload.insert(0, asan.group(1))
        return {"LD_PRELOAD": ":".join(preload), "QZ_MODEM_LOG": self.path}

    def steps(self):
        """RTS changes (not repeated requests for the same level), opens, closes,
        and writes merged while nothing else happens in between."""
        try:
            with open(self.path) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        steps, rts = [], {}
        for line in lines:
            _, device, event, level, _, *data = line.split(" ")
            name = self.names.get(device, device)
            up = "RTS up" if level == "rts=1" else "RTS down"
            if event == "open":
                rts[name] = up
                steps.append(name + " open")
            elif event == "close":
                steps.append(name + " close")
            elif event == "write":
                last = steps[-1].split(" ") if steps else []
                if last[:2] == [name, "write"] and last[-2:] == up.split(" "):
                    data = last[2:-2] + data
                    steps.pop()
                steps.append(" ".join([name, "write", *data, up]))
            elif rts.get(name) != up:
                rts[name] = up
                steps.append(name + " " + up)
        return steps

    def wait_steps(self, count):
        """The steps once there are `count` of them; after waiting in vain, those
        there are, for the caller's comparison to show."""
        try:
            wait_for(lambda: len(self.steps()) >= count, "%d steps on the lines" % count)
        except AssertionError:
            pass
        return self.steps()


# --- the program --------------------------------------------------------------

class Program:
    """qz7310 on the test's X server, with its own home, on COM1 = `device`."""

    def __init__(self, keyboard, workdir, device, extra_env=None):
        self.kb = keyboard
        self.workdir = workdir
        home = os.path.join(workdir, "home")
        runtime = os.path.join(workdir, "runtime")
        for d in (home, runtime):
            os.makedirs(d, mode=0o700, exist_ok=True)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QT_", "QZ7310_", "XDG_", "GTK", "KDE", "GNOME", "DESKTOP"))}
        env.update(DISPLAY=keyboard.display, HOME=home, XDG_RUNTIME_DIR=runtime,
                   XDG_CONFIG_HOME=os.path.join(home, ".config"), LC_ALL="C.UTF-8",
                   LANG="C.UTF-8", QT_QPA_PLATFORM="xcb",
                   # No platform theme: Qt's own file dialog, not a desktop's.
                   QT_QPA_PLATFORMTHEME="", QZ7310_COM1=device)
        env.update(extra_env or {})
        # In a sanitizer build, leaks of the X11 session's system libraries are not ours.
        env["LSAN_OPTIONS"] = ":".join(filter(None, [
            env.get("LSAN_OPTIONS"), "suppressions=" + os.path.join(HERE, "lsan.supp")]))
        self.log_path = os.path.join(workdir, "qz7310.log")
        self.log = open(self.log_path, "wb")
        self.process = subprocess.Popen([PROGRAM], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.window = None

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def start_up(self, while_port_dialog=None):
        """Through the splash window; confirms COM1 in the port dialog."""
        dialog = self.kb.wait_window(PORT_TITLE)
        if while_port_dialog:
            while_port_dialog()
        self.window = self.kb.wait_window(MAIN_TITLE)
        if self.kb.managed:
            self.check_frames(dialog)
        self.kb.dialog_focus(dialog)
        self.kb.keys("Return")  # "決定" has the focus
        self.kb.wait_gone(PORT_TITLE)
        self.kb.focus(self.window)

    def check_frames(self, dialog):
        """What the window manager made of the windows: title bars, and a main window
        that cannot be resized or maximised."""
        for window in (self.window, dialog):
            left, right, top, bottom = self.kb.frame_extents(window)
            assert top > max(left, bottom), "no title bar on window %d" % window
        actions = self.kb.x11.atom_names(self.window, "_NET_WM_ALLOWED_ACTIONS")
        assert "_NET_WM_ACTION_CLOSE" in actions, actions
        for refused in ("_NET_WM_ACTION_RESIZE", "_NET_WM_ACTION_MAXIMIZE_HORZ",
                        "_NET_WM_ACTION_MAXIMIZE_VERT"):
            assert refused not in actions, actions

    def splash(self):
        """The splash window while it is up: no title, its own size."""
        found = self.kb.xdotool("search", "--onlyvisible", "--pid", str(self.process.pid),
                                "--name", "^$", check=False)
        for window in found.stdout.split():
            shape = self.kb.xdotool("getwindowgeometry", "--shell", window, check=False).stdout
            size = tuple(int(v) for v in re.findall(r"^(?:WIDTH|HEIGHT)=(\d+)$", shape, re.M))
            if size == SPLASH_SIZE:
                return int(window)
        return None

    def press(self, button):
        """Clicks a main-window button at the centre of its place in the window's
        layout (client area of 858 x 419 pixels below the menu bar). A click needs no
        knowledge of where the keyboard focus is, which a dialog closing can move."""
        self.kb.focus(self.window)
        height = self.kb.window_height(self.window)
        menu_bar = height - CLIENT_HEIGHT
        x, y = BUTTON_CENTRES[button]
        self.kb.xdotool("mousemove", "--window", str(self.window), str(x), str(menu_bar + y),
                        "click", "1")

    def save_csv(self):
        """Saves the table through the save dialog into a new file; returns its bytes."""
        # Always a new name: the dialog would ask before replacing a file.
        path = os.path.join(self.workdir, "saved-%03d.csv" % next(SAVE_NUMBERS))
        self.press("CsvOut")
        dialog = self.kb.wait_window(SAVE_TITLE)
        self.kb.dialog_focus(dialog)  # the file name box has the focus
        self.kb.type(path)
        self.kb.keys("Return")
        wait_for(lambda: os.path.exists(path), "the program to write " + path)
        self.kb.wait_gone(SAVE_TITLE)
        with open(path, "rb") as f:
            return f.read()

    def save_until(self, row_count):
        """Saves again until the file holds `row_count` rows: replies arrive on
        their own time, and a save shows only what has been handled so far."""
        data = b""

        def enough():
            nonlocal data
            data = self.save_csv()
            return len(csv_rows(data)) >= row_count

        wait_for(enough, "a saved file with %d rows" % row_count)
        return data

    def clear_all(self, how):
        """"データクリア （CLR ALL）" and its dialog: "ok", "cancel" or "close"."""
        self.press("Command2")
        dialog = self.kb.wait_window(CLEAR_TITLE)
        self.kb.dialog_focus(dialog)
        if how == "ok":
            self.kb.keys("space")  # OK has the focus
        elif how == "cancel":
            self.kb.keys("Tab", "space")
        else:
            self.kb.close_window(dialog)
        self.kb.wait_gone(CLEAR_TITLE)

    def port_dialog(self):
        """"ﾎﾟｰﾄ選択(&P)" from the menu; returns the dialog's window."""
        self.kb.focus(self.window)
        self.kb.keys("alt+p")
        return self.kb.wait_window(PORT_TITLE)

    def quit_by_menu(self):
        self.kb.focus(self.window)
        self.kb.keys("alt+z")  # "終了(&Z)"
        return self.wait_exit()

    def quit_by_close_box(self):
        self.kb.close_window(self.window)
        return self.wait_exit()

    def wait_exit(self):
        try:
            return self.process.wait(PATIENCE)
        except subprocess.TimeoutExpired:
            raise AssertionError("the program did not end")

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.log.close()


# --- the test cases' base and the display they share ------------------------

XSERVER = None
KEYBOARD = None
WM = None
WM_NAME = None
MISSING_TOOLS = [tool for tool in ("Xvfb", "xdotool") if shutil.which(tool) is None]


def start():
    global XSERVER, KEYBOARD, WM
    if WM_NAME and shutil.which(WM_NAME) is None:
        MISSING_TOOLS.append(WM_NAME)
    if MISSING_TOOLS:
        return
    for path in (PROGRAM, SIM):
        if not (path and os.access(path, os.X_OK)):
            raise RuntimeError("not an executable: %r (give --program and --sim)" % path)
    XSERVER = XServer(tempfile.gettempdir())
    if WM_NAME:
        WM = WindowManager(WM_NAME, XSERVER.display, tempfile.gettempdir())
    KEYBOARD = Keyboard(XSERVER.display, managed=bool(WM_NAME))


def stop():
    if WM:
        WM.stop()
    if XSERVER:
        XSERVER.stop()

def configure(program, sim, modem_lines, wm_name):
    global PROGRAM, SIM, MODEM_LINES, WM_NAME
    PROGRAM, SIM, MODEM_LINES, WM_NAME = program, sim, modem_lines, wm_name


class EndToEnd(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if MISSING_TOOLS:
            self.skipTest("not installed: " + ", ".join(MISSING_TOOLS))
        self.workdir = tempfile.mkdtemp(prefix="qz7310-e2e-")
        self.addCleanup(shutil.rmtree, self.workdir, ignore_errors=True)

    def program(self, device, extra_env=None, while_port_dialog=None):
        program = Program(KEYBOARD, self.workdir, device, extra_env)
        self.addCleanup(program.stop)
        # Its own messages help when something goes wrong.
        self.addCleanup(lambda: getattr(self._outcome, "success", False) or sys.stderr.write(
            "\n--- qz7310 output ---\n" + program.output()))
        program.start_up(while_port_dialog)
        return program

    def simulator(self, *options):
        sim = Simulator(self.workdir, "--fast", *options,
                        link=os.path.join(self.workdir, "COM1"))
        self.addCleanup(sim.stop)
        return sim

    def pty_counter(self):
        counter = PtyCounter()
        self.addCleanup(counter.close)
        return counter

    def assertExitedCleanly(self, program, code):
        self.assertEqual(code, 0, "exit status; output:\n" + program.output())
