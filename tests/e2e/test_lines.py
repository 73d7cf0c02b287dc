"""End-to-end: faulty lines, as the simulator makes them."""

from e2e_driver import *  # noqa: F401,F403 (the driver's helpers and constants)


class Lines(EndToEnd):
    def test_simulated_faults(self):
        records = 5
        frames = capture_sim_reply(self.workdir, RDD_ALL, "--records", str(records)).split(CR)[:-1]
        rows = [row_of_frame(frame) for frame in frames]
        cases = [
            # option, expected rows, bytes of the reply
            (["--garbage"], rows, records * (3 + 42)),
            # Frame 2's CR is lost: frame 3 is swallowed by it.
            (["--lose-cr", "2"], [rows[0], rows[1], rows[3], rows[4]], records * 42 - 1),
            (["--nak"], [], 3),
            # Cut inside frame 3: two whole records; the open frame is given up by
            # the next request, whose answer is whole.
            (["--stop-after", str(2 * 42 + 20)], rows[:2], 2 * 42 + 20),
        ]
        for options, expected, answer in cases:
            with self.subTest(options=options):
                sim = self.simulator("--records", str(records), *options)
                program = None
                try:
                    program = self.program(sim.device)
                    program.press("Command1")
                    self.assertEqual(sim.wait_answer("RDD ALL", 1), [answer])
                    saved = program.save_until(len(expected))
                    self.assertEqual(saved, csv_bytes(expected))
                    if "--stop-after" in options:
                        program.press("Command4")
                        sim.wait_answer("RDD NOW", 1)
                        now = csv_rows(program.save_until(1))
                        self.assertEqual([len(now), now[0][0]], [1, "0"])
                    self.assertExitedCleanly(program, program.quit_by_close_box())
                finally:
                    # Nothing of this case may be left on screen for the next one.
                    if program:
                        program.stop()
                    sim.stop()
