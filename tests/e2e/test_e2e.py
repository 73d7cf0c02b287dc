#!/usr/bin/env python3
"""End-to-end tests of qz7310: the real program as its own process on its own X
server (Xvfb), operated from the keyboard through xdotool, talking to a counter
on a pseudo-terminal. The counter is either the simulator (qz7310-sim) or this
script itself, which then sees every byte the program sends and chooses every
byte it gets back. What the replies did is read from CSV files that the program
saves through its own save dialog.

    test_e2e.py --program build/bin/qz7310 --sim build/bin/qz7310-sim
                [--modem-lines build/tests/libptymodem.so] [--wm openbox] [unittest args]

(or QZ7310_PROGRAM / QZ7310_SIM / QZ7310_MODEM_LINES / QZ7310_E2E_WM in the environment).
The modem-line library, preloaded into the program, lets a test watch RTS on the line.
With --wm the X server gets a window manager, as an operator's desktop has: title bars,
close boxes through the window manager, and the window manager deciding who has the
focus. Exits with 77 when every test was skipped because Xvfb, xdotool or the window
manager is missing.

The tests are in test_*.py by area (start-up, requests and replies, the port, CSV,
faulty lines), the driver they share in e2e_driver.py.
"""

import argparse
import os
import sys
import unittest

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
import e2e_driver  # noqa: E402
# The tests, by area; each module holds one TestCase class on e2e_driver.EndToEnd.
import test_startup  # noqa: E402
import test_requests  # noqa: E402
import test_port  # noqa: E402
import test_csv  # noqa: E402
import test_lines  # noqa: E402

AREAS = [test_startup, test_requests, test_port, test_csv, test_lines]


def load_tests(loader, tests, pattern):
    return unittest.TestSuite(loader.loadTestsFromModule(area) for area in AREAS)

    # Through a serial device server: COM1 is ser2net's raw TCP port, the simulator
    # behind it; the table fills as over the serial line.
    def test_read_all_through_a_device_server(self):
        if Ser2net.program() is None:
            self.skipTest("ser2net is not installed (scripts/test installs it)")
        reply = capture_sim_reply(self.workdir, RDD_ALL, "--records", "36", "--seed", "77")
        expected = [row_of_frame(frame) for frame in reply.split(CR)[:-1]]
        self.assertEqual(len(expected), 36)

        sim = self.simulator("--records", "36", "--seed", "77")
        server = Ser2net(self.workdir, os.path.join(self.workdir, "COM1"))
        self.addCleanup(server.stop)
        program = self.program(server.address)
        program.press("Command1")
        self.assertEqual(sim.wait_answer("RDD ALL", 1), [36 * 42])
        self.assertEqual(program.save_until(36), csv_bytes(expected))
        self.assertExitedCleanly(program, program.quit_by_close_box())


class Ser2net:
    """Debian's ser2net on 127.0.0.1 and a free port, raw TCP, `device` behind it."""

    @staticmethod
    def program():
        return shutil.which("ser2net", path="/usr/sbin:/usr/bin:" + os.environ.get("PATH", ""))

    def __init__(self, workdir, device):
        import socket
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.address = "tcp://127.0.0.1:%d" % self.port
        config = os.path.join(workdir, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &qz7310\n"
                    "    accepter: tcp,127.0.0.1,%d\n"
                    "    connector: serialdev,%s,9600n81,local\n"
                    "    options:\n"
                    "      mdns: false\n" % (self.port, device))
        self.process = subprocess.Popen(
            [self.program(), "-n", "-u", "-c", config, "-P", os.path.join(workdir, "ser2net.pid")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Listening once the kernel says so; a trial connection would open the device.
        entry = " 0100007F:%04X 00000000:0000 0A " % self.port

        def listening():
            with open("/proc/net/tcp") as f:
                return entry in f.read()

        wait_for(listening, "ser2net to listen on port %d" % self.port)

    def stop(self):
        terminate(self.process)


def main():
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--program", default=os.environ.get("QZ7310_PROGRAM"))
    parser.add_argument("--sim", default=os.environ.get("QZ7310_SIM"))
    parser.add_argument("--modem-lines", default=os.environ.get("QZ7310_MODEM_LINES"))
    parser.add_argument("--wm", default=os.environ.get("QZ7310_E2E_WM") or None)
    known, rest = parser.parse_known_args()
    e2e_driver.configure(known.program and os.path.abspath(known.program),
                         known.sim and os.path.abspath(known.sim),
                         known.modem_lines and os.path.abspath(known.modem_lines),
                         known.wm)
    # One display for every area; names on the command line pick tests
    # (test_port, test_port.Port.test_rts_on_the_line).
    e2e_driver.start()
    try:
        run = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    finally:
        e2e_driver.stop()
    result = run.result
    if not result.testsRun:
        sys.exit("no test ran")  # a wrong name or a module that lost its tests
    if result.wasSuccessful() and result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
