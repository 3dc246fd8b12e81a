#!/usr/bin/env python3
"""Application benchmarks of Quolm.exe under Wine, with real X input.

Run through run-bench.sh (inside tests/harness/sandbox.sh --device COM1):

  click    from the second press of a real double click on a grid row to the
           last byte of that row at the other end of COM1; "Always connected"
           off (open, send, close per command) and on; median and 95th
           percentile over N clicks.
  startup  from launching the program to its window being mapped, with a
           10,000-row quolm.dat (--startup-rows), next to emptywin.exe (an
           empty Win32 window), alternating in the same run.
  bigrid   100,000 rows: start-up, Ctrl+End (and a drag of the scroll bar's
           thumb to the bottom) until the grid has repainted, and a double
           click on the last row until its bytes arrive.

X input goes through the XTEST extension (what xdotool uses) from this
process, so no helper process start sits inside a measured interval.
"""

import argparse
import ctypes
import ctypes.util
import os
import select
import statistics
import subprocess
import sys
import tempfile
import termios
import time
import tty

# --- Xlib and XTEST through ctypes -------------------------------------------------

xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")

Window = ctypes.c_ulong


class XWindowAttributes(ctypes.Structure):
    _fields_ = [
        ("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
        ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
        ("root", Window), ("class_", ctypes.c_int), ("bit_gravity", ctypes.c_int),
        ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int),
        ("backing_planes", ctypes.c_ulong), ("backing_pixel", ctypes.c_ulong),
        ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
        ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
        ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
        ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p),
    ]


class XImageFuncs(ctypes.Structure):
    _fields_ = [(name, ctypes.c_void_p) for name in
                ("create_image", "destroy_image", "get_pixel", "put_pixel", "sub_image", "add_pixel")]


class XImage(ctypes.Structure):
    _fields_ = [
        ("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
        ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
        ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
        ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int),
        ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong),
        ("obdata", ctypes.c_void_p), ("f", XImageFuncs),
    ]


xlib.XOpenDisplay.restype = ctypes.c_void_p
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XDefaultRootWindow.restype = Window
xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
xlib.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                            ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
xlib.XFetchName.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(ctypes.c_char_p)]
xlib.XFree.argtypes = [ctypes.c_void_p]
xlib.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(XWindowAttributes)]
xlib.XFlush.argtypes = [ctypes.c_void_p]
xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
xlib.XKeysymToKeycode.restype = ctypes.c_ubyte
xlib.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xlib.XGetImage.restype = ctypes.POINTER(XImage)
xlib.XGetImage.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                           ctypes.c_ulong, ctypes.c_int]
xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_ignore_errors = ERROR_HANDLER(lambda d, e: 0)  # windows come and go under us
xlib.XSetErrorHandler(_ignore_errors)

IS_VIEWABLE = 2
Z_PIXMAP = 2
KEY_CONTROL_L = 0xFFE3
KEY_END = 0xFF57
KEY_HOME = 0xFF50


class X:
    def __init__(self):
        self.d = xlib.XOpenDisplay(None)
        if not self.d:
            raise SystemExit("bench_app: cannot open the X display")
        self.root = xlib.XDefaultRootWindow(self.d)

    def find_window(self, prefix):
        """A viewable top-level window whose name starts with prefix, or 0."""
        root_ret, parent_ret = Window(), Window()
        children = ctypes.POINTER(Window)()
        n = ctypes.c_uint()
        if not xlib.XQueryTree(self.d, self.root, ctypes.byref(root_ret), ctypes.byref(parent_ret),
                               ctypes.byref(children), ctypes.byref(n)):
            return 0
        found = 0
        try:
            for i in range(n.value):
                w = children[i]
                name = ctypes.c_char_p()
                if xlib.XFetchName(self.d, w, ctypes.byref(name)) and name.value is not None:
                    title = name.value
                    xlib.XFree(name)
                    if title.startswith(prefix):
                        attrs = XWindowAttributes()
                        if xlib.XGetWindowAttributes(self.d, w, ctypes.byref(attrs)) and \
                                attrs.map_state == IS_VIEWABLE:
                            found = w
                            break
        finally:
            if children:
                xlib.XFree(children)
        return found

    def wait_window(self, prefix, timeout, step=0.002):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            w = self.find_window(prefix)
            if w:
                return w, time.monotonic()
            time.sleep(step)
        return 0, None

    def move(self, x, y):
        xtst.XTestFakeMotionEvent(self.d, -1, x, y, 0)
        xlib.XSync(self.d, 0)

    def button(self, press):
        xtst.XTestFakeButtonEvent(self.d, 1, 1 if press else 0, 0)
        xlib.XFlush(self.d)

    def click(self):
        self.button(True)
        self.button(False)

    def key(self, *keysyms):
        codes = [xlib.XKeysymToKeycode(self.d, k) for k in keysyms]
        for c in codes:
            xtst.XTestFakeKeyEvent(self.d, c, 1, 0)
        for c in reversed(codes):
            xtst.XTestFakeKeyEvent(self.d, c, 0, 0)
        xlib.XFlush(self.d)

    def snapshot(self, x, y, w, h):
        """The pixels of a screen rectangle, as bytes."""
        img = xlib.XGetImage(self.d, self.root, x, y, w, h, ctypes.c_ulong(-1).value, Z_PIXMAP)
        if not img:
            return b""
        try:
            return ctypes.string_at(img.contents.data, img.contents.bytes_per_line * img.contents.height)
        finally:
            ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(XImage))(img.contents.f.destroy_image)(img)


# --- the program, its window and the wire ------------------------------------------

GRID_TOP, GRID_EDGE, ROW_EXTENT = 32, 2, 19
COLUMN2_X = GRID_EDGE + 30 + 1 + 70 + 1 + 90  # middle of the "Function" column
CHECK_X, CHECK_Y = 137 + 8, 5 + 8
TITLE = b"Quolm-Portwright"


def write_table(path, rows):
    with open(path, "w", newline="") as f:
        f.write(f"RowCount={rows}\r\n")
        for r in range(1, rows + 1):
            f.write(f"{r}=ASCII+CR,Command {r},R{r}\r\n")


def row_bytes(r):
    return f"R{r}\r".encode()


def percentile(values, p):
    s = sorted(values)
    k = max(0, min(len(s) - 1, int(round(p / 100 * len(s) + 0.5)) - 1))
    return s[k]


def ms(v):
    return f"{v * 1000:.1f} ms"


class Program:
    def __init__(self, args, exe, workdir):
        self.args = args
        self.exe = exe
        self.workdir = workdir
        self.proc = None

    def start(self):
        self.t0 = time.monotonic()
        self.proc = subprocess.Popen(["wine", self.exe], cwd=self.workdir,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.t0

    def close(self, title):
        if self.proc and self.proc.poll() is None:
            subprocess.run(["wine", self.args.wininfo, "--close", title], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


def client_origin(args, title):
    out = subprocess.run(["wine", args.wininfo, title], capture_output=True, text=True, timeout=60).stdout
    x, y, w, h = (int(v) for v in out.split()[:4])
    return x, y, w, h


class Wire:
    """The device end of COM1, read directly."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(self.fd, termios.TCSANOW)
        self.drain()

    def drain(self):
        while select.select([self.fd], [], [], 0.02)[0]:
            try:
                if not os.read(self.fd, 65536):
                    break
            except BlockingIOError:
                break

    def expect(self, data, timeout):
        """Reads until data has arrived; the time of its last byte, or None."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < len(data):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                print(f"bench_app: expected {data!r}, got {got!r}", file=sys.stderr)
                return None
            got += os.read(self.fd, 65536)
        t = time.monotonic()
        if got != data:
            print(f"bench_app: expected {data!r}, got {got!r}", file=sys.stderr)
        return t

    def close(self):
        os.close(self.fd)


def row_point(origin, slot):
    x, y, _, _ = origin
    return x + COLUMN2_X, y + GRID_TOP + GRID_EDGE + slot * ROW_EXTENT + ROW_EXTENT // 2


def double_click_at(xd, point):
    """A real double click; returns the time of its second press."""
    xd.move(*point)
    xd.click()
    time.sleep(0.05)
    xd.button(True)
    t = time.monotonic()
    xd.button(False)
    return t


# --- the benchmarks ------------------------------------------------------------------

def bench_click(args, xd, wire, work):
    write_table(os.path.join(work, "quolm.dat"), 4)
    prog = Program(args, args.exe, work)
    prog.start()
    w, _ = xd.wait_window(TITLE, 90)
    if not w:
        raise SystemExit("bench_app: the main window did not appear")
    origin = client_origin(args, "Quolm-Portwright")
    results = {}
    for mode in ("off", "on"):
        if mode == "on":
            xd.move(origin[0] + CHECK_X, origin[1] + CHECK_Y)
            xd.click()
            time.sleep(0.5)
            wire.drain()
        times = []
        for i in range(args.clicks):
            row = 1 + i % 2  # alternate rows: two double clicks never merge
            t0 = double_click_at(xd, row_point(origin, row))
            t1 = wire.expect(row_bytes(row), 10)
            if t1 is None:
                break
            times.append(t1 - t0)
            time.sleep(args.pause)
        results[mode] = times
        print(f"click -> last byte, Always connected {mode}: n={len(times)}, "
              f"median {ms(statistics.median(times))}, p95 {ms(percentile(times, 95))}, "
              f"min {ms(min(times))}, max {ms(max(times))}; slowest: "
              f"{', '.join(ms(v) for v in sorted(times)[-5:])}", flush=True)
    prog.close("Quolm-Portwright")
    return results


def bench_startup(args, xd, work):
    write_table(os.path.join(work, "quolm.dat"), args.startup_rows)
    quolm, empty = [], []
    for i in range(args.starts):
        for exe, title, out in ((args.exe, b"Quolm-Portwright", quolm), (args.empty, b"EmptyWindow", empty)):
            prog = Program(args, exe, work)
            t0 = prog.start()
            w, t1 = xd.wait_window(title, 90)
            if not w:
                raise SystemExit(f"bench_app: {exe} showed no window")
            out.append(t1 - t0)
            prog.close(title.decode())
    for name, v in ((f"Quolm.exe, {args.startup_rows:,} rows", quolm), ("emptywin.exe", empty)):
        print(f"start-up to window shown, {name}: n={len(v)}, median {ms(statistics.median(v))}, "
              f"min {ms(min(v))}, max {ms(max(v))}, first {ms(v[0])}", flush=True)
    return quolm, empty


def bench_bigrid(args, xd, wire, work):
    rows = 100000
    write_table(os.path.join(work, "quolm.dat"), rows)
    prog = Program(args, args.exe, work)
    t0 = prog.start()
    w, t1 = xd.wait_window(TITLE, 300)
    if not w:
        raise SystemExit("bench_app: the main window did not appear with 100,000 rows")
    print(f"start-up to window shown, Quolm.exe, 100,000 rows: {ms(t1 - t0)}", flush=True)
    origin = client_origin(args, "Quolm-Portwright")
    x, y, cw, _ = origin
    grid = (x + GRID_EDGE, y + GRID_TOP + GRID_EDGE, cw - 2 * GRID_EDGE, 150)
    # Only the cells count as "repainted", not the scroll bar beside them.
    cells = (grid[0], grid[1], grid[2] - 17 - 1, grid[3])
    # Focus the grid with a single click on row 1 (single-click sending is off).
    xd.move(*row_point(origin, 1))
    xd.click()
    time.sleep(0.5)
    wire.drain()
    scrolls, clicks = [], []
    for _ in range(args.big_repeats):
        before = xd.snapshot(*cells)
        t0 = time.monotonic()
        xd.key(KEY_CONTROL_L, KEY_END)
        changed = None
        while time.monotonic() - t0 < 30:
            if xd.snapshot(*cells) != before:
                changed = time.monotonic()
                break
            time.sleep(0.001)
        if changed is None:
            raise SystemExit("bench_app: Ctrl+End did not repaint the grid")
        scrolls.append(changed - t0)
        time.sleep(0.3)
        # After Ctrl+End the last row is the lowest whole row: slot 6 of 7.
        tc = double_click_at(xd, row_point(origin, 6))
        tb = wire.expect(row_bytes(rows), 10)
        if tb is None:
            raise SystemExit("bench_app: the last row's bytes did not arrive")
        clicks.append(tb - tc)
        time.sleep(args.pause)
        xd.key(KEY_CONTROL_L, KEY_HOME)
        time.sleep(0.5)
    print(f"100,000 rows: Ctrl+End to repainted grid: median {ms(statistics.median(scrolls))}, "
          f"max {ms(max(scrolls))} (n={len(scrolls)}); double click on the last row to its bytes: "
          f"median {ms(statistics.median(clicks))}, max {ms(max(clicks))}", flush=True)

    # The same with the scroll bar: drag its thumb from the top to the bottom
    # in one motion (the grid follows the thumb while it is dragged). The bar
    # is the grid's right 17 pixels inside its edge; the thumb sits just
    # below the up arrow while the first rows are shown.
    bar_x = x + cw - GRID_EDGE - 9
    thumb_y = grid[1] + 17 + 4
    bottom_y = grid[1] + grid[3] - 17 - 2
    drags, drag_clicks = [], []
    for _ in range(args.big_repeats):
        xd.move(bar_x, thumb_y)
        xd.button(True)
        time.sleep(0.2)
        before = xd.snapshot(*cells)
        t0 = time.monotonic()
        xd.move(bar_x, bottom_y + 40)
        changed = None
        while time.monotonic() - t0 < 30:
            if xd.snapshot(*cells) != before:
                changed = time.monotonic()
                break
            time.sleep(0.001)
        time.sleep(0.1)
        xd.button(False)
        if changed is None:
            print("bench_app: the scroll bar drag did not repaint the grid", file=sys.stderr)
            break
        drags.append(changed - t0)
        time.sleep(0.3)
        tc = double_click_at(xd, row_point(origin, 6))
        tb = wire.expect(row_bytes(rows), 10)
        if tb is None:
            print("bench_app: after the drag the lowest row was not the last one", file=sys.stderr)
            break
        drag_clicks.append(tb - tc)
        time.sleep(args.pause)
        xd.key(KEY_CONTROL_L, KEY_HOME)
        time.sleep(0.5)
    if drags and drag_clicks:
        print(f"100,000 rows: scroll bar thumb dragged to the bottom to repainted grid: median "
              f"{ms(statistics.median(drags))}, max {ms(max(drags))} (n={len(drags)}); double click on the "
              f"last row to its bytes: median {ms(statistics.median(drag_clicks))}", flush=True)
    prog.close("Quolm-Portwright")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--empty", required=True)
    ap.add_argument("--wininfo", required=True)
    ap.add_argument("--pty", required=True, help="the device end of COM1")
    ap.add_argument("--clicks", type=int, default=100)
    ap.add_argument("--starts", type=int, default=10)
    ap.add_argument("--startup-rows", type=int, default=10000,
                    help="rows of the start-up table (0: a table without rows, the window's own cost)")
    ap.add_argument("--big-repeats", type=int, default=5)
    ap.add_argument("--pause", type=float, default=0.25, help="between clicks, in seconds")
    ap.add_argument("--only", choices=("click", "startup", "bigrid"), action="append")
    args = ap.parse_args()
    parts = args.only or ["click", "startup", "bigrid"]

    print(f"bench_app: load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores", flush=True)
    xd = X()
    wire = Wire(args.pty)
    with tempfile.TemporaryDirectory(prefix="quolm-bench.") as work:
        if "click" in parts:
            bench_click(args, xd, wire, work)
        if "startup" in parts:
            bench_startup(args, xd, work)
        if "bigrid" in parts:
            bench_bigrid(args, xd, wire, work)
    wire.close()
    print(f"bench_app: load average {os.getloadavg()[0]:.2f} at the end", flush=True)


if __name__ == "__main__":
    main()
