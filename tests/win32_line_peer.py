#!/usr/bin/env python3
"""The far end of a serial line for test_win32_serial under Wine: a pseudo-terminal
whose slave path is printed first; every byte that comes is sent back. After
"BYE" CR it sends "last" CR, waits a moment and closes its end, as a line that goes
away. scripts/windows --check sets Wine's COM1 to the printed path."""
import os
import pty
import select
import sys
import time
import tty

master, slave = pty.openpty()
tty.setraw(master)
tty.setraw(slave)
print(os.ttyname(slave), flush=True)
seen = b""
while True:
    select.select([master], [], [])
    data = os.read(master, 4096)
    os.write(master, data)
    seen = (seen + data)[-8:]
    if b"BYE\r" in seen:
        os.write(master, b"last\r")
        time.sleep(0.5)  # read by the program before the line goes
        os.close(master)
        os.close(slave)
        sys.exit(0)
