"""End-to-end: the port, RTS on the line from start-up to exit."""

import e2e_driver
from e2e_driver import *  # noqa: F401,F403 (the driver's helpers and constants)


class Port(EndToEnd):
    # RTS as the line sees it, through the real serial control and system calls,
    # from start-up through the port dialog and a change of port to the exit.
    def test_rts_on_the_line(self):
        if not e2e_driver.MODEM_LINES:
            self.skipTest("no modem-line library (--modem-lines)")
        com1, com2 = self.pty_counter(), self.pty_counter()
        lines = ModemLines(self.workdir, {com1.device: "COM1", com2.device: "COM2"})
        env = dict(lines.env(), QZ7310_COM2=com2.device)
        request = lambda port: " ".join([port, "write", RDD_ALL.hex(" "), "RTS up"])

        # Opened by the main window's load, RTS raised after the open; the port
        # dialog at start-up drops RTS while it is up and leaves the port open.
        expected = ["COM1 open", "COM1 RTS up", "COM1 RTS down"]
        seen = {}
        program = self.program(com1.device, env,
                                lambda: seen.update(start=lines.wait_steps(len(expected))))
        self.assertEqual(seen["start"], expected)
        # Confirmed with "決定": reopened, RTS raised again.
        expected += ["COM1 close", "COM1 open", "COM1 RTS up"]
        self.assertEqual(lines.wait_steps(len(expected)), expected)

        # A request goes out with RTS raised.
        program.press("Command1")
        com1.expect(RDD_ALL, self)
        expected.append(request("COM1"))
        self.assertEqual(lines.wait_steps(len(expected)), expected)

        # The dialog from the menu, closed by its close box: the same port reopened.
        dialog = program.port_dialog()
        expected.append("COM1 RTS down")
        self.assertEqual(lines.wait_steps(len(expected)), expected)
        program.kb.close_window(dialog)
        program.kb.wait_gone(PORT_TITLE)
        expected += ["COM1 close", "COM1 open", "COM1 RTS up"]
        self.assertEqual(lines.wait_steps(len(expected)), expected)

        # COM2 chosen and confirmed: the old port's RTS is already down when it
        # closes; the new port raises it once open, and requests go out there.
        dialog = program.port_dialog()
        expected.append("COM1 RTS down")
        self.assertEqual(lines.wait_steps(len(expected)), expected)
        program.kb.focus(dialog)
        program.kb.keys("Tab", "Down", "Tab", "space")  # "決定", then the list
        program.kb.wait_gone(PORT_TITLE)
        expected += ["COM1 close", "COM2 open", "COM2 RTS up"]
        self.assertEqual(lines.wait_steps(len(expected)), expected)
        program.press("Command1")
        com2.expect(RDD_ALL, self)
        expected.append(request("COM2"))
        self.assertEqual(lines.wait_steps(len(expected)), expected)

        # The exit drops RTS, then closes the port.
        self.assertExitedCleanly(program, program.quit_by_menu())
        expected += ["COM2 RTS down", "COM2 close"]
        self.assertEqual(lines.steps(), expected)
        self.assertEqual(com1.rest() + com2.rest(), RDD_ALL + RDD_ALL)
