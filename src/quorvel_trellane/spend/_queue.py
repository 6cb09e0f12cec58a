"""The writers' queue of one SQLite file: a kernel lock on a file beside it, waited for until a deadline.

Writers wait for the file in the kernel, on ``flock`` of ``<file>-queue``:
woken the moment the writer before them is done, taking no CPU meanwhile.
SQLite's busy handler alone sleeps in growing steps (up to 100 ms) and
lets the writer that just finished take the file again, so a process
could starve for seconds. The lock goes with a writer that dies.

``flock`` has no timeout of its own. A writer that finds the lock taken
waits for it on a thread of its own, for what is left of its operation's
timeout; past it, the waiter is abandoned (it gives the lock back as soon
as it gets it) and the writer raises what SQLite raises for a file locked
too long. While an abandoned waiter is still blocked (the holder is
stuck), later writers poll every few milliseconds instead of leaving
another thread behind each.
"""

from __future__ import annotations

import errno
import logging
import os
import sqlite3
import stat
import threading
import time
from typing import Final

try:
    import fcntl
except ModuleNotFoundError:  # not on Windows: SQLite's busy handler waits alone
    fcntl = None  # type: ignore[assignment]

__all__ = ["Queue", "QueueState", "locked"]

_LOG: Final = logging.getLogger("quorvel_trellane.spend")
_POLL: Final = 0.005  # seconds between two tries while an abandoned waiter is blocked


def locked(path: str, timeout: float) -> sqlite3.OperationalError:
    """What a writer raises when the file stayed locked past its timeout, as SQLite words it."""
    return sqlite3.OperationalError(f"database is locked: {path} was not free within the timeout of {timeout} s")


class QueueState:
    """What the queues of one store share: how many abandoned waiters are still blocked."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.lock = threading.Lock()
        self.stuck = 0

    def open(self) -> int:
        """A descriptor of the queue's file (-1: none, the busy handler waits alone).

        Created with the database file's mode, so that every process that
        may write the database may queue; never through a symbolic link.
        """
        path = self.path
        if fcntl is None or path == ":memory:" or path.startswith("file:"):
            return -1
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode) & 0o666
        except OSError:
            mode = 0o600
        try:
            fd = os.open(path + "-queue", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, mode)
        except OSError as exc:
            if exc.errno == errno.ELOOP:
                _LOG.warning("a symbolic link stands at %s-queue: not followed, writers wait without the queue", path)
            return -1  # a read-only directory, say
        try:
            if stat.S_IMODE(os.fstat(fd).st_mode) != mode:
                os.fchmod(fd, mode)  # the umask narrowed it, or an older version made it
        except OSError:
            pass  # another user's file: its mode is theirs
        return fd


class Queue:
    """One connection pair's place in the queue: a descriptor of its own (flock locks per open file)."""

    __slots__ = ("fd", "state")

    def __init__(self, state: QueueState) -> None:
        self.state = state
        self.fd = state.open()

    def enter(self) -> bool:
        """Take the queue's lock if it is free at once; False when it must be waited for."""
        if self.fd < 0:
            return True
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        return True

    def wait(self, deadline: float, timeout: float) -> None:
        """Take the queue's lock by ``deadline`` (``time.monotonic``), or raise as SQLite does."""
        state = self.state
        if state.stuck:
            while True:
                if self.enter():
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    raise locked(state.path, timeout)
                time.sleep(min(_POLL, left))
        waiter = _Waiter(self.fd, state)
        threading.Thread(target=waiter.run, name="quorvel-spend-queue", daemon=True).start()
        if waiter.obtained.wait(max(0.0, deadline - time.monotonic())) or not waiter.abandon():
            return
        # The waiter keeps the descriptor, and closes it once it has the lock.
        self.fd = state.open()
        raise locked(state.path, timeout)

    def leave(self) -> None:
        if self.fd >= 0:
            fcntl.flock(self.fd, fcntl.LOCK_UN)

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


class _Waiter:
    """One blocking wait for the queue's lock, on a thread of its own."""

    def __init__(self, fd: int, state: QueueState) -> None:
        self.fd = fd
        self.state = state
        self.obtained = threading.Event()
        self.abandoned = False

    def run(self) -> None:
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX)
        except OSError:
            pass  # the writer goes on without the queue: SQLite's busy handler still waits
        with self.state.lock:
            if not self.abandoned:
                self.obtained.set()
                return
            self.state.stuck -= 1
        os.close(self.fd)  # and the lock with it

    def abandon(self) -> bool:
        """Give up waiting: True unless the lock was obtained meanwhile (then it is the writer's)."""
        with self.state.lock:
            if self.obtained.is_set():
                return False
            self.abandoned = True
            self.state.stuck += 1
            return True
