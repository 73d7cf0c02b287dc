"""End-to-end: requests and replies, the test playing the counter byte by byte."""

from e2e_driver import *  # noqa: F401,F403 (the driver's helpers and constants)


class RequestsAndReplies(EndToEnd):
    # The test plays the counter: exact command bytes out, exact frames back.
    def test_commands_and_replies_on_the_line(self):
        counter = self.pty_counter()
        program = self.program(counter.device)

        program.press("Command1")
        counter.expect(RDD_ALL, self)
        records = [(n, [(n * 7919 + k * 25013) % 100000 for k in range(5)])
                   for n in range(1, 101)]
        records[0] = (1, [0, 0, 0, 0, 0])
        records[1] = (2, [99999] * 5)
        records[2] = (3, [7, 120, 0, 35, 0])
        # 100 records fill the table; a 101st has no row left and is not kept.
        counter.send(b"".join(data_frame(n, c) for n, c in records)
                     + data_frame(101, [1, 2, 3, 4, 5]))
        saved = program.save_until(100)
        self.assertEqual(saved, csv_bytes([row_of(n, c) for n, c in records]))
        self.assertEqual(saved.split(b"\r\n")[:3],
                         [b'"1","0","0","0","0","0","0"',
                          b'"2","99999","99999","99999","99999","99999","499995"',
                          b'"3","7","120","0","35","0","162"'])
        self.assertTrue(saved.endswith(b'"0","%d","%d","%d","%d","%d","%d"\r\n'
                                       % (*records[99][1], sum(records[99][1]))))

        # RDD NOW starts the table over; junk ahead of the frame is dropped.
        program.press("Command4")
        counter.expect(RDD_NOW, self)
        counter.send(b"xx\r" + data_frame(0, [12, 3400, 5, 67, 89012]))
        now = program.save_until(1)
        self.assertEqual(now, b'"0","12","3400","5","67","89012","92496"\r\n')

        # Declining the clear-all, by its button or by closing the dialog, sends
        # nothing and keeps the table: the next bytes on the line are the
        # confirmed command alone.
        program.clear_all("cancel")
        program.clear_all("close")
        self.assertEqual(program.save_csv(), now)
        program.clear_all("ok")
        counter.expect(CLR_ALL, self)
        counter.send(ACK + CR)
        self.assertEqual(program.save_csv(), b"")

        self.assertExitedCleanly(program, program.quit_by_menu())
        self.assertEqual(counter.rest().hex(" "), (RDD_ALL + RDD_NOW + CLR_ALL).hex(" "))

    # Faulty replies, byte by byte, and what they leave in the table.
    def test_faulty_replies_on_the_line(self):
        counter = self.pty_counter()
        program = self.program(counter.device)
        f = {n: data_frame(n, [n, 10 * n, 100 * n, 1000 * n, 10000 * n]) for n in range(1, 10)}
        row = {n: row_of(n, [n, 10 * n, 100 * n, 1000 * n, 10000 * n]) for n in range(1, 10)}

        # A NAK reply and an ACK store nothing; frame 2 loses its CR, so frame 3
        # becomes part of it and the merged frame shows frame 2's fields.
        program.press("Command1")
        counter.expect(RDD_ALL, self)
        counter.send(f[1] + STX + NAK + CR + ACK + CR + f[2][:-1] + f[3] + f[4])
        self.assertEqual(program.save_until(3), csv_bytes([row[1], row[2], row[4]]))

        # A reply cut half-way: the open frame waits for the rest.
        program.press("Command4")
        counter.expect(RDD_NOW, self)
        counter.send(f[5] + f[6][:20])
        self.assertEqual(program.save_until(1), csv_bytes([row[5]]))
        counter.send(f[6][20:])
        self.assertEqual(program.save_until(2), csv_bytes([row[5], row[6]]))

        # A new request abandons a half-received frame: its rest is dropped until
        # the next lead character.
        counter.send(f[7][:25])
        counter.wait_taken()  # else the click may come first and the half frame after it
        program.press("Command1")
        counter.expect(RDD_ALL, self)
        counter.send(f[7][25:] + f[8])
        self.assertEqual(program.save_until(1), csv_bytes([row[8]]))

        self.assertExitedCleanly(program, program.quit_by_close_box())
        self.assertEqual(counter.rest().hex(" "), (RDD_ALL + RDD_NOW + RDD_ALL).hex(" "))
