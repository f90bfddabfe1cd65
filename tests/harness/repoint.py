#!/usr/bin/env python3
"""Plays an attacker who repoints a link at the worst moment: it waits until a
file in WATCHED is closed after writing (inotify's IN_CLOSE_WRITE), sleeps
DELAY_MS, then replaces the symbolic link LINK by one to NEW_TARGET in one
atomic rename. It writes READY once it is watching, and gives up after 60 s.

    repoint.py WATCHED LINK NEW_TARGET READY [DELAY_MS]
"""
import ctypes
import os
import select
import sys
import time

IN_CLOSE_WRITE = 0x8


def main():
    watched, link, new_target, ready = sys.argv[1:5]
    delay = int(sys.argv[5]) / 1000.0 if len(sys.argv) > 5 else 0.01
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK)
    if fd < 0 or libc.inotify_add_watch(fd, watched.encode(), IN_CLOSE_WRITE) < 0:
        sys.exit("repoint: cannot watch " + watched)
    open(ready, "w").close()
    if not select.select([fd], [], [], 60)[0]:
        sys.exit(0)
    time.sleep(delay)
    os.symlink(new_target, link + ".new")
    os.rename(link + ".new", link)


if __name__ == "__main__":
    main()
