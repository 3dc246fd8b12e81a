#!/usr/bin/env python3
"""Tests of the simulated device's protocol over a real pseudo-terminal pair."""

import os
import select
import subprocess
import sys
import tempfile
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SIMDEVICE = os.path.join(HERE, "simdevice.py")


class DeviceTest(unittest.TestCase):
    def start(self, *options):
        master, slave = os.openpty()
        tty.setraw(master)
        self.master = master
        self.slave_path = os.ttyname(slave)
        self.slave = slave  # kept open so the pty stays until the device has it
        self.dir = tempfile.TemporaryDirectory()
        self.log = os.path.join(self.dir.name, "log")
        self.raw = os.path.join(self.dir.name, "raw")
        ready = os.path.join(self.dir.name, "ready")
        self.proc = subprocess.Popen([sys.executable, SIMDEVICE, "--pty", self.slave_path, "--log", self.log,
                                      "--raw", self.raw, "--ready", ready, *options])
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            self.assertLess(time.monotonic(), deadline, "the device did not start")
            time.sleep(0.02)

    def tearDown(self):
        if getattr(self, "proc", None):
            if self.proc.poll() is None:
                self.proc.terminate()
                self.proc.wait(timeout=10)
            os.close(self.master)
            os.close(self.slave)
            self.dir.cleanup()

    def exchange(self, data, settle=0.25):
        """Writes data, returns everything answered until the line is quiet."""
        os.write(self.master, data)
        out = b""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if not select.select([self.master], [], [], settle)[0]:
                break
            out += os.read(self.master, 4096)
        return out

    def test_at_commands(self):
        self.start()
        self.assertEqual(self.exchange(b"AT\r"), b"\r\nOK\r\n")
        self.assertEqual(self.exchange(b"ati\r\n"), b"\r\nQuolm simulated device SD-1\r\n\r\nOK\r\n")
        self.assertEqual(self.exchange(b"AT+GMR\r"), b"\r\nSD-1 firmware 1.0.0\r\n\r\nOK\r\n")
        self.assertEqual(self.exchange(b"AT+FOO\r"), b"\r\nERROR\r\n")
        self.assertEqual(self.exchange(b"\r"), b"", "an empty line gets no reply")

    def test_text_waits_for_its_line_end(self):
        self.start()
        self.assertEqual(self.exchange(b"AT"), b"")
        self.assertEqual(self.exchange(b"I"), b"")
        self.assertEqual(self.exchange(b"\r"), b"\r\nQuolm simulated device SD-1\r\n\r\nOK\r\n")
        self.assertEqual(self.exchange(b"AT\rAT+GMI\r"), b"\r\nOK\r\n\r\nQuolm-Portwright test bench\r\n\r\nOK\r\n")

    def test_binary_frames_are_acknowledged_whole(self):
        self.start()
        # 0A inside the frame is data, not a line end.
        self.assertEqual(self.exchange(bytes([0x01, 0x02, 0x0A, 0xFF])), b"ACK 01 02 0A FF\r\n")
        self.assertEqual(self.exchange(b"\x00"), b"ACK 00\r\n")
        # Pending text is not disturbed by a frame in between.
        self.assertEqual(self.exchange(b"AT"), b"")
        self.assertEqual(self.exchange(b"\x02\x10"), b"ACK 02 10\r\n")
        self.assertEqual(self.exchange(b"\r"), b"\r\nOK\r\n")

    def test_echo_switch(self):
        self.start()
        self.assertEqual(self.exchange(b"ATE1\r"), b"\r\nOK\r\n")
        self.assertEqual(self.exchange(b"AT\r"), b"AT\r\r\nOK\r\n")
        self.assertEqual(self.exchange(b"ATE0\r"), b"ATE0\r\r\nOK\r\n")
        self.assertEqual(self.exchange(b"AT\r"), b"\r\nOK\r\n")

    def test_silent_logs_every_byte_and_answers_nothing(self):
        self.start("--silent")
        sent = b"AT\r" + bytes(range(256))
        self.assertEqual(self.exchange(sent), b"")
        self.proc.terminate()
        self.assertEqual(self.proc.wait(timeout=10), 0)
        with open(self.raw, "rb") as f:
            self.assertEqual(f.read(), sent)
        with open(self.log) as f:
            log = f.read()
        self.assertIn("41 54 0D", log)
        self.assertIn("# simdevice stopped", log)

    def test_stops_when_the_other_end_goes_away(self):
        self.start("--silent")
        os.close(self.slave)
        self.slave = os.open("/dev/null", os.O_RDONLY)  # for tearDown
        os.close(self.master)
        self.master = os.open("/dev/null", os.O_RDONLY)
        self.assertEqual(self.proc.wait(timeout=10), 0)

    def wait_for(self, data, what):
        """Everything received until `data` has come (generous limit)."""
        out = b""
        deadline = time.monotonic() + 30
        while data not in out:
            self.assertLess(time.monotonic(), deadline, f"waited for {what}, got {out!r}")
            if select.select([self.master], [], [], 0.5)[0]:
                out += os.read(self.master, 4096)
        return out

    def test_rules_answer_wrongly_not_at_all_or_late(self):
        self.start("--rule", "AT+GMR|reply=<CR><LF>SD-1 firmware 0.9<CR><LF>",
                   "--rule", "atz|silent", "--rule", "HEX 01 02|silent",
                   "--rule", "ATI|delay=400", "--rule", "*|reply=<06>")
        self.assertEqual(self.exchange(b"AT+GMR\r"), b"\r\nSD-1 firmware 0.9\r\n")
        self.assertEqual(self.exchange(b"ATZ\r"), b"")
        self.assertEqual(self.exchange(bytes([0x01, 0x02])), b"")
        self.assertEqual(self.exchange(bytes([0x01, 0x03])), b"\x06", "the * rule covers the rest")
        os.write(self.master, b"ATI\r")
        self.assertEqual(self.wait_for(b"OK\r\n", "the late answer to ATI"),
                         b"\r\nQuolm simulated device SD-1\r\n\r\nOK\r\n")
        self.proc.terminate()
        self.proc.wait(timeout=10)
        # The answer never comes early: its TX follows the command's RX by the delay.
        with open(self.log) as f:
            lines = [line.split() for line in f if not line.startswith("#")]
        rx = [float(l[0]) for l in lines if l[1] == "RX"][-1]  # the end of ATI<CR>
        tx = [float(l[0]) for l in lines if l[1] == "TX"][-1]
        self.assertGreaterEqual(tx - rx, 0.4 - 0.002, "the log's times are rounded to ms")


class SafetyTest(unittest.TestCase):
    def test_refuses_a_bad_rule(self):
        master, slave = os.openpty()
        try:
            with tempfile.TemporaryDirectory() as d:
                r = subprocess.run([sys.executable, SIMDEVICE, "--pty", os.ttyname(slave), "--log",
                                    os.path.join(d, "log"), "--rule", "AT|reply=<XY>"],
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 2)
                self.assertIn("bad --rule", r.stderr)
        finally:
            os.close(master)
            os.close(slave)

    def test_refuses_anything_but_a_pty(self):
        with tempfile.TemporaryDirectory() as d:
            link = os.path.join(d, "link")
            os.symlink("/dev/null", link)
            for path in ("/dev/null", "/etc/hostname", link, os.path.join(d, "missing")):
                r = subprocess.run([sys.executable, SIMDEVICE, "--pty", path, "--log", os.path.join(d, "log"),
                                    "--wait", "0.2"], capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 2, path)
                self.assertIn("not a pseudo-terminal", r.stderr)
                self.assertFalse(os.path.exists(os.path.join(d, "log")), "nothing is written for a refused path")


if __name__ == "__main__":
    unittest.main()
