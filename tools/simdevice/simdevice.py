#!/usr/bin/env python3
"""A simulated serial device on the Linux end of a pseudo-terminal.

    simdevice.py --pty PATH --log FILE [--raw FILE] [--gap SECONDS] [--echo] [--silent]
                 [--ready FILE] [--wait SECONDS]

It answers AT-style text commands and acknowledges binary (HEX) frames:

  text    bytes 0x20..0x7E, TAB, CR and LF. A line ends at CR (an LF after it
          is ignored). "AT" -> "\\r\\nOK\\r\\n", "ATI" -> identification,
          "AT+GMR" -> version, "AT+GMI" -> maker, "ATZ" -> OK, "ATE0"/"ATE1"
          switch the echo of typed text; anything else -> "\\r\\nERROR\\r\\n".
          Text without CR waits for the rest of its line.
  binary  bytes that arrive together (no pause of --gap seconds between them)
          and hold any other byte (for example 01 02 0A FF) form one frame,
          answered with "ACK <hex of the frame>\\r\\n".

With --silent it only listens (a plain capture of the line, for tests).
Every byte received and every reply is written to the log (hex and
printable); --raw also keeps the exact received bytes. It runs until SIGTERM
or SIGINT, or until the other end of the pty goes away.

It opens only the path it is given, and only when that is a pseudo-terminal.
"""

import argparse
import errno
import os
import select
import signal
import stat
import sys
import termios
import time
import tty

IDENT = "Quolm simulated device SD-1"
VERSION = "SD-1 firmware 1.0.0"
MAKER = "Quolm-Portwright test bench"

TEXT_BYTES = frozenset(range(0x20, 0x7F)) | {0x09, 0x0A, 0x0D}


def is_pty(path):
    """True when PATH is a pseudo-terminal slave (/dev/pts/N)."""
    real = os.path.realpath(path)
    try:
        st = os.stat(real)
    except OSError:
        return False
    # Unix98 pty slaves have the majors 136 to 143.
    return stat.S_ISCHR(st.st_mode) and 136 <= os.major(st.st_rdev) <= 143


def printable(data):
    return "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in data)


def hex_text(data):
    return " ".join(f"{b:02X}" for b in data)


class Device:
    def __init__(self, fd, log, raw, gap, echo, silent):
        self.fd = fd
        self.silent = silent
        self.log = log
        self.raw = raw
        self.gap = gap
        self.echo = echo
        self.chunk = bytearray()  # bytes since the last pause
        self.line = bytearray()   # text waiting for its CR
        self.t0 = time.monotonic()

    def note(self, direction, data):
        t = time.monotonic() - self.t0
        self.log.write(f"{t:10.3f} {direction} {len(data):4d} | {hex_text(data)} | {printable(data)}\n")
        self.log.flush()

    def send(self, data):
        self.note("TX", data)
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
            except BlockingIOError:
                select.select([], [self.fd], [], 1.0)
                continue
            view = view[n:]

    def received(self, data):
        self.note("RX", data)
        if self.raw:
            self.raw.write(data)
            self.raw.flush()
        self.chunk += data

    def pause(self):
        """The line went quiet: answer what came since the last pause."""
        chunk, self.chunk = bytes(self.chunk), bytearray()
        if not chunk or self.silent:
            return
        if any(b not in TEXT_BYTES for b in chunk):
            self.send(b"ACK " + hex_text(chunk).encode() + b"\r\n")
            return
        if self.echo:
            self.send(chunk)
        for b in chunk:
            if b == 0x0D:
                line, self.line = bytes(self.line), bytearray()
                self.answer(line.decode("ascii").strip())
            elif b != 0x0A:
                self.line.append(b)

    def answer(self, command):
        if not command:
            return  # an empty line gets no reply, as on a modem
        cmd = command.upper()
        if cmd in ("AT", "ATZ"):
            body = []
        elif cmd == "ATI":
            body = [IDENT]
        elif cmd == "AT+GMR":
            body = [VERSION]
        elif cmd == "AT+GMI":
            body = [MAKER]
        elif cmd in ("ATE0", "ATE1"):
            self.echo = cmd == "ATE1"
            body = []
        else:
            self.send(b"\r\nERROR\r\n")
            return
        reply = "".join(f"\r\n{line}\r\n" for line in body) + "\r\nOK\r\n"
        self.send(reply.encode("ascii"))

    def run(self, stop):
        while not stop["now"]:
            timeout = self.gap if self.chunk else 0.5
            try:
                ready, _, _ = select.select([self.fd], [], [], timeout)
            except InterruptedError:
                continue
            if not ready:
                self.pause()
                continue
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                continue
            except OSError as e:
                if e.errno == errno.EIO:  # the other end is gone
                    break
                raise
            if not data:
                break
            self.received(data)
        self.pause()


def main():
    ap = argparse.ArgumentParser(description="Simulated AT/HEX serial device on a pty.")
    ap.add_argument("--pty", required=True, help="the pseudo-terminal to serve")
    ap.add_argument("--log", required=True, help="log of every byte received and sent")
    ap.add_argument("--raw", help="file that gets the exact bytes received")
    ap.add_argument("--gap", type=float, default=0.03, help="pause that ends a frame, in seconds")
    ap.add_argument("--echo", action="store_true", help="echo text as it arrives (ATE1)")
    ap.add_argument("--silent", action="store_true", help="listen only, never answer")
    ap.add_argument("--wait", type=float, default=5, help="seconds to wait for the pty to appear")
    ap.add_argument("--ready", help="file created once the pty is open")
    args = ap.parse_args()

    # socat may still be setting up the link when we are started.
    deadline = time.monotonic() + args.wait
    while not is_pty(args.pty) and time.monotonic() < deadline:
        time.sleep(0.05)
    if not is_pty(args.pty):
        print(f"simdevice: {args.pty} is not a pseudo-terminal; refusing to open it", file=sys.stderr)
        return 2

    stop = {"now": False}

    def on_signal(signum, frame):
        stop["now"] = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    fd = os.open(args.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        if not is_pty(f"/proc/self/fd/{fd}"):  # it could have changed since the check
            print(f"simdevice: {args.pty} is not a pseudo-terminal", file=sys.stderr)
            return 2
        tty.setraw(fd, termios.TCSANOW)
        attrs = termios.tcgetattr(fd)
        attrs[3] &= ~termios.ECHO
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        # Bytes left in the line by an earlier user are not ours.
        termios.tcflush(fd, termios.TCIOFLUSH)
        with open(args.log, "a", encoding="ascii") as log:
            raw = open(args.raw, "ab") if args.raw else None
            try:
                log.write(f"# simdevice on {args.pty}: {IDENT}\n")
                log.flush()
                if args.ready:
                    with open(args.ready, "w") as f:
                        f.write(f"{os.getpid()}\n")
                Device(fd, log, raw, args.gap, args.echo, args.silent).run(stop)
                log.write("# simdevice stopped\n")
            finally:
                if raw:
                    raw.close()
    finally:
        os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
