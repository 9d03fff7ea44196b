#!/usr/bin/env python3
"""The far end of a serial port for the platform tests.

start LINK PIDFILE: makes a pseudo-terminal, links LINK to its terminal
side, and serves it in the background: every byte read comes back
upper-cased. Returns once the link is there.
stop PIDFILE: ends the server and removes its link.
"""
import os
import select
import signal
import sys
import tty


def serve(master, link):
    stop = False

    def on_term(*_):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_term)
    while not stop:
        try:
            ready, _, _ = select.select([master], [], [], 0.5)
        except InterruptedError:
            continue
        if ready:
            try:
                data = os.read(master, 4096)
            except OSError:
                continue
            os.write(master, data.upper())
    if os.path.islink(link):
        os.remove(link)


def main():
    if sys.argv[1] == "start":
        link, pidfile = sys.argv[2], sys.argv[3]
        master, slave = os.openpty()
        tty.setraw(slave)
        if os.path.lexists(link):
            os.remove(link)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        os.symlink(os.ttyname(slave), link)
        pid = os.fork()
        if pid:
            with open(pidfile, "w") as f:
                f.write(str(pid))
            return
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(devnull, fd)
        # The terminal side stays open here too, so that it does not hang
        # up between the test's opens.
        serve(master, link)
        os._exit(0)
    else:
        pidfile = sys.argv[2]
        try:
            with open(pidfile) as f:
                os.kill(int(f.read()), signal.SIGTERM)
            os.remove(pidfile)
        except (OSError, ValueError):
            pass


main()
