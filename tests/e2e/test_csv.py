"""End-to-end: the simulator's records read out and saved as CSV, cleared and read again."""

from e2e_driver import *  # noqa: F401,F403 (the driver's helpers and constants)


class Csv(EndToEnd):
    def test_read_all_100_records_from_the_simulator(self):
        # The records, read from a simulator of the same seed by this script itself.
        reply = capture_sim_reply(self.workdir, RDD_ALL, "--records", "100", "--seed", "4242")
        frames = reply.split(CR)
        self.assertEqual(frames[-1], b"")
        frames = frames[:-1]
        self.assertEqual(len(frames), 100)
        for frame in frames:
            self.assertRegex(frame, rb"^\x02D\d\d( \d{5}){5} \d{6}$")
        expected = [row_of_frame(frame) for frame in frames]
        self.assertEqual([r[0] for r in expected], [str(n % 100) for n in range(1, 101)])

        sim = self.simulator("--records", "100", "--seed", "4242")
        program = self.program(sim.device)
        program.press("Command1")
        self.assertEqual(sim.wait_answer("RDD ALL", 1), [100 * 42])
        saved = program.save_until(100)
        self.assertEqual(csv_rows(saved), expected)
        self.assertEqual(saved, csv_bytes(expected))
        self.assertExitedCleanly(program, program.quit_by_close_box())

    def test_clear_all_then_read_all_and_read_now(self):
        sim = self.simulator("--records", "100")
        program = self.program(sim.device)
        program.press("Command1")
        self.assertEqual(len(csv_rows(program.save_until(100))), 100)

        program.clear_all("ok")
        self.assertEqual(sim.wait_answer("CLR ALL", 1), [2])  # ACK CR
        program.press("Command1")
        self.assertEqual(sim.wait_answer("RDD ALL", 2), [100 * 42, 0])
        self.assertEqual(program.save_csv(), b"")

        program.press("Command4")
        self.assertEqual(sim.wait_answer("RDD NOW", 1), [42])
        rows = csv_rows(program.save_until(1))
        self.assertEqual(len(rows), 1)
        number, *counts, total = rows[0]
        self.assertEqual(number, "0")
        self.assertTrue(all(c.isdigit() and int(c) <= 99999 and str(int(c)) == c for c in counts),
                        counts)
        self.assertEqual(int(total), sum(map(int, counts)))
        self.assertExitedCleanly(program, program.quit_by_menu())
