#!/usr/bin/env python3
"""A simulated serial device on the Linux end of a pseudo-terminal.

    simdevice.py --pty PATH --log FILE [--raw FILE] [--gap SECONDS] [--echo] [--silent]
                 [--ready FILE] [--wait SECONDS] [--rule 'COMMAND|ACTION[|ACTION]' ...]

It answers AT-style text commands and acknowledges binary (HEX) frames:

  text    bytes 0x20..0x7E, TAB, CR and LF. A line ends at CR (an LF after it
          is ignored). "AT" -> "\\r\\nOK\\r\\n", "ATI" -> identification,
          "AT+GMR" -> version, "AT+GMI" -> maker, "ATZ" -> OK, "ATE0"/"ATE1"
          switch the echo of typed text; anything else -> "\\r\\nERROR\\r\\n".
          Text without CR waits for the rest of its line.
  binary  bytes that arrive together (no pause of --gap seconds between them)
          and hold any other byte (for example 01 02 0A FF) form one frame,
          answered with "ACK <hex of the frame>\\r\\n".

Rules change the answer to some commands, so that checks of the replies can
pass and fail on purpose. COMMAND is a text command (letter case ignored, as
the device does), "HEX 01 02" for a binary frame, or "*" for every command;
the first rule naming the command wins over "*". ACTIONs:

  delay=MS    answer MS milliseconds after the command's last byte came
              (not before the pause of --gap that ends a frame)
  reply=TEXT  answer TEXT instead, written as the text log shows bytes:
              printable ASCII, <CR>, <LF>, <HH>
  silent      do not answer

  --rule 'ATI|delay=50' --rule 'AT+GMR|reply=<CR><LF>SD-1 firmware 0.9<CR><LF>'
  --rule 'ATZ|silent' --rule 'HEX 01 02 0A FF|delay=200'

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


class RuleError(ValueError):
    pass


def log_bytes(text):
    """Bytes written as the text log shows them: <CR>, <LF>, <HH>, printable ASCII."""
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == "<":
            end = text.find(">", i)
            inner = text[i + 1:end] if end > 0 else ""
            if inner == "CR":
                out.append(0x0D)
            elif inner == "LF":
                out.append(0x0A)
            elif len(inner) == 2 and all(c in "0123456789abcdefABCDEF" for c in inner):
                out.append(int(inner, 16))
            else:
                raise RuleError(f"bad byte {text[i:i + 6]!r}: use <CR>, <LF> or <HH>")
            i = end + 1
        elif 0x20 <= ord(text[i]) < 0x7F:
            out.append(ord(text[i]))
            i += 1
        else:
            raise RuleError(f"write {text[i]!r} as <HH>")
    return bytes(out)


class Rule:
    """What to do instead of the usual answer to one command."""

    def __init__(self, written):
        parts = written.split("|")
        if len(parts) < 2 or not parts[0]:
            raise RuleError(f"{written!r}: expected COMMAND|ACTION")
        command = parts[0]
        self.any = command == "*"
        self.frame = None
        self.text = None
        if command.upper().startswith("HEX "):
            try:
                self.frame = bytes(int(t, 16) for t in command[4:].split())
            except ValueError:
                raise RuleError(f"{command!r}: HEX takes two-digit hex bytes") from None
        elif not self.any:
            self.text = command.upper()
        self.delay = None
        self.reply = None
        self.silent = False
        for action in parts[1:]:
            name, _, value = action.partition("=")
            if name == "delay":
                try:
                    self.delay = float(value) / 1000
                except ValueError:
                    raise RuleError(f"{action!r}: delay takes milliseconds") from None
                if self.delay < 0:
                    raise RuleError(f"{action!r}: delay takes milliseconds")
            elif name == "reply":
                self.reply = log_bytes(value)
            elif name == "silent" and not value:
                self.silent = True
            else:
                raise RuleError(f"{action!r}: expected delay=MS, reply=TEXT or silent")

    def names(self, text=None, frame=None):
        return (text is not None and self.text == text.upper()) or (frame is not None and self.frame == frame)


def printable(data):
    return "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in data)


def hex_text(data):
    return " ".join(f"{b:02X}" for b in data)


class Device:
    def __init__(self, fd, log, raw, gap, echo, silent, rules=()):
        self.fd = fd
        self.rules = list(rules)
        self.pending = []         # (due time, reply) of delayed answers
        self.reads = []           # (offset of the chunk's end, time) per read
        self.last_rx = 0.0
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
        self.last_rx = time.monotonic()
        self.reads.append((len(self.chunk), self.last_rx))

    def arrival(self, index):
        """When the read that brought chunk byte `index` came."""
        for end, t in self.reads:
            if index < end:
                return t
        return self.last_rx

    def rule_for(self, text=None, frame=None):
        for rule in self.rules:
            if rule.names(text, frame):
                return rule
        return next((rule for rule in self.rules if rule.any), None)

    def respond(self, reply, rule, came):
        """Sends the usual reply, or what a rule says instead."""
        if rule is not None:
            if rule.silent:
                return
            if rule.reply is not None:
                reply = rule.reply
            if rule.delay is not None:
                self.pending.append((came + rule.delay, reply))
                self.pending.sort(key=lambda p: p[0])
                self.send_due()
                return
        self.send(reply)

    def send_due(self):
        now = time.monotonic()
        while self.pending and self.pending[0][0] <= now:
            self.send(self.pending.pop(0)[1])

    def pause(self):
        """The line went quiet: answer what came since the last pause."""
        chunk, self.chunk = bytes(self.chunk), bytearray()
        reads, self.reads = self.reads, []
        if not chunk or self.silent:
            return
        self.reads = reads  # for arrival() while this chunk is answered
        try:
            if any(b not in TEXT_BYTES for b in chunk):
                self.respond(b"ACK " + hex_text(chunk).encode() + b"\r\n", self.rule_for(frame=chunk),
                             self.arrival(len(chunk) - 1))
                return
            if self.echo:
                self.send(chunk)
            for i, b in enumerate(chunk):
                if b == 0x0D:
                    line, self.line = bytes(self.line), bytearray()
                    self.answer(line.decode("ascii").strip(), self.arrival(i))
                elif b != 0x0A:
                    self.line.append(b)
        finally:
            self.reads = []

    def answer(self, command, came=None):
        if not command:
            return  # an empty line gets no reply, as on a modem
        rule = self.rule_for(text=command)
        came = time.monotonic() if came is None else came
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
            self.respond(b"\r\nERROR\r\n", rule, came)
            return
        reply = "".join(f"\r\n{line}\r\n" for line in body) + "\r\nOK\r\n"
        self.respond(reply.encode("ascii"), rule, came)

    def run(self, stop):
        while not stop["now"]:
            now = time.monotonic()
            timeout = max(0.0, self.last_rx + self.gap - now) if self.chunk else 0.5
            if self.pending:
                timeout = min(timeout, max(0.0, self.pending[0][0] - now))
            try:
                ready, _, _ = select.select([self.fd], [], [], timeout)
            except InterruptedError:
                continue
            if not ready:
                if self.chunk and time.monotonic() - self.last_rx >= self.gap:
                    self.pause()
                self.send_due()
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
        self.send_due()


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
    ap.add_argument("--rule", action="append", default=[], metavar="COMMAND|ACTION",
                    help="answer COMMAND after a delay, wrongly or not at all (see above)")
    args = ap.parse_args()
    try:
        rules = [Rule(written) for written in args.rule]
    except RuleError as e:
        print(f"simdevice: bad --rule {e}", file=sys.stderr)
        return 2

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
                Device(fd, log, raw, args.gap, args.echo, args.silent, rules).run(stop)
                log.write("# simdevice stopped\n")
            finally:
                if raw:
                    raw.close()
    finally:
        os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
