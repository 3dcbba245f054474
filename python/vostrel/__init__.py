"""Mailbox messages with a LEGO Mindstorms NXT brick over a serial link.

A program makes a loop and a control on it, connects, sends numbers and
texts into the brick's ten mailboxes, and is told when the brick sends a
text (NewMail) or has gone silent for 10 seconds (NoPing)::

    import vostrel

    loop = vostrel.DefaultLoop()
    nxt = vostrel.Vostrel(loop)              # port N is /dev/rfcommN

    @nxt.on_new_mail
    def got(mailbox):
        print(mailbox, nxt.ReadText(mailbox))

    if nxt.ConnectNXT(0, 9600) != 0:
        raise SystemExit(nxt.ErrorMessage)
    nxt.SendText(1, "hello")
    loop.run()                               # Ctrl-C ends it

The members keep the control's published names and results: the methods
return 0 (done) or 1 (refused or failed) and leave a status text in
``ErrorMessage`` ("No errores", "Error parameters for send", ...).
Arguments are values; the by-reference write-backs of the control have no
meaning for Python's numbers, so a method returns its result only.

An asyncio program uses ``vostrel.AsyncioLoop()`` instead (see
``vostrel.aio``); ``vostrel.sim.Brick`` is a simulated brick for tests.
"""

from __future__ import annotations

import errno
import io
import os
import stat
from typing import Callable, Iterable

from . import _vostrel
from ._vostrel import (
    AsyncioLoop,
    BluetoothDevice,
    DefaultLoop,
    Error,
    Loop,
    MAILBOX_COUNT,
    Overflow,
    TypeMismatch,
    WATCHDOG_INTERVAL,
    bricks,
)

__all__ = [
    "AsyncioLoop",
    "BluetoothDevice",
    "DefaultLoop",
    "Error",
    "Loop",
    "MAILBOX_COUNT",
    "Overflow",
    "PROPERTY_FILE_LIMIT",
    "TypeMismatch",
    "Vostrel",
    "WATCHDOG_INTERVAL",
    "bricks",
]


# The longest file load_properties reads, in bytes: the three properties'
# lines at their longest (a line of the text form holds at most 1 MiB) with
# room to spare.
PROPERTY_FILE_LIMIT = 4 * 1024 * 1024


def _open_regular_file(path: str | os.PathLike[str]) -> io.BufferedReader:
    """`path` opened for reading, when it is a regular file; OSError naming
    the path otherwise. Checked before opening (a FIFO's open waits for a
    writer, a tty's raises its modem lines) and again on what was opened,
    without waiting, in case the path changed in between."""

    def refuse(mode: int) -> OSError:
        kind = (
            "a FIFO" if stat.S_ISFIFO(mode)
            else "a directory" if stat.S_ISDIR(mode)
            else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
            else "a socket" if stat.S_ISSOCK(mode)
            else "not a regular file"
        )
        return OSError(errno.EINVAL, f"not a regular file ({kind}): {os.fsdecode(path)!r}", path)

    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        raise refuse(mode)
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise refuse(mode)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


class Vostrel(_vostrel.Control):
    """The control: one serial link to one NXT brick.

    ``Vostrel(loop, ports=None)``: made on a ``DefaultLoop`` or an
    ``AsyncioLoop``; ``ports`` maps port numbers to device paths
    (``{0: "/dev/pts/3"}``), replacing the default N -> /dev/rfcommN.

    Events: register callables with ``on_new_mail`` / ``on_no_ping`` (also
    as decorators), or subclass and override ``NewMail(self, mailbox)`` and
    ``NoPing(self)``. They run synchronously on the loop's thread and may
    call any member (ReadText, SendText, DisconnectNXT, ...). An exception
    from a handler goes to ``sys.unraisablehook`` (printed by default) and
    the loop goes on; the other handlers still run. KeyboardInterrupt and
    SystemExit end the loop's run instead.

    Errors: the methods report failure through their result and
    ``ErrorMessage``; ``vostrel.Error`` (``.number``) is raised only where
    the control raises one (ReadText(-32768): error 6) and for arguments a
    16- or 32-bit parameter cannot take (``vostrel.Overflow``, 6;
    ``vostrel.TypeMismatch``, 13).

    Threading: a control belongs to the thread that made it, which also
    runs its loop (every control of a loop is made on one thread). A member
    called from another thread raises RuntimeError; other threads reach it
    through ``DefaultLoop.post`` (or the asyncio loop's
    ``call_soon_threadsafe``). Its last reference may go anywhere: while the
    loop may be inside it, the loop's thread destroys it.
    """

    def __init__(self, loop: Loop, ports: dict[int, str | os.PathLike[str]] | None = None) -> None:
        self._new_mail_handlers: list[Callable[[int], object]] = []
        self._no_ping_handlers: list[Callable[[], object]] = []
        self._takers: list[aio._Taker] = []  # next_mail and mails(), see vostrel.aio
        super().__init__(loop, ports)

    # --- events -------------------------------------------------------------------
    def on_new_mail(self, handler: Callable[[int], object]) -> Callable[[int], object]:
        """Calls ``handler(mailbox)`` on every NewMail, after those registered
        earlier. Returns the handler, so it serves as a decorator. TypeError
        for an object that cannot be called."""
        _check_callable(handler, "on_new_mail")
        self._new_mail_handlers.append(handler)
        return handler

    def on_no_ping(self, handler: Callable[[], object]) -> Callable[[], object]:
        """Calls ``handler()`` on every NoPing. Returns the handler. TypeError
        for an object that cannot be called."""
        _check_callable(handler, "on_no_ping")
        self._no_ping_handlers.append(handler)
        return handler

    def remove_handler(self, handler: Callable[..., object]) -> None:
        """Stops calling `handler` (registered with on_new_mail or on_no_ping).
        ValueError when it is not registered."""
        for handlers in (self._new_mail_handlers, self._no_ping_handlers):
            if handler in handlers:
                handlers.remove(handler)
                return
        raise ValueError(f"{handler!r} is not a registered handler")

    def NewMail(self, mailbox: int) -> None:
        """Event: a text from the brick has just been stored for `mailbox`
        (0 to 9); take it with ReadText. Hands the text to the asyncio
        helpers waiting for it (next_mail, mails(): read once, for all of
        them), then calls the registered handlers, which find the slot
        empty when a helper took the text. A subclass that overrides it
        calls ``super().NewMail(mailbox)`` to keep both."""
        if self._takers:
            takers = [t for t in self._takers if t.wants(mailbox)]
            if takers:
                text = self.ReadText(mailbox)
                _call_each([t.deliver for t in takers], (mailbox, text))
        _call_each(self._new_mail_handlers, (mailbox,))

    def NoPing(self) -> None:
        """Event: the brick has sent nothing for one watchdog interval while
        PingNXT is True. Calls the registered handlers."""
        _call_each(self._no_ping_handlers, ())

    # --- persistence ------------------------------------------------------------
    def save_properties(self, path: str | os.PathLike[str]) -> None:
        """Writes the three persisted properties to `path` in the project's
        property-bag text form ("Connection = Boolean -1" ...). OSError when
        the file cannot be written."""
        text = self._properties_to_text()
        with open(path, "w", encoding="ascii", newline="\n") as f:
            f.write(text)

    def load_properties(self, path: str | os.PathLike[str]) -> None:
        """Restores the persisted properties from a file save_properties (or
        the C++ MemoryPropertyBag) wrote. OSError when it cannot be read or
        is not a regular file (a FIFO, a device: refused without opening it
        for good, so nothing waits for a writer or touches a line);
        vostrel.Error 321 naming the line when it is malformed, or when it is
        longer than PROPERTY_FILE_LIMIT bytes; vostrel.Error naming the
        property for a value that does not convert. Nothing is restored on a
        failure."""
        with _open_regular_file(path) as f:
            # Read no further than the limit: a runaway file would fill the
            # memory otherwise.
            text = f.read(PROPERTY_FILE_LIMIT + 1)
        if len(text) > PROPERTY_FILE_LIMIT:
            raise Error(
                321,
                f"property file {path!r} is longer than {PROPERTY_FILE_LIMIT} bytes, "
                "more than the three properties take; nothing restored",
            )
        self._properties_from_text(text)

    # --- asyncio conveniences (the control must run on an AsyncioLoop) -----------
    async def next_mail(self, mailbox: int, timeout: float | None = None) -> bytes:
        """Waits for the next text the brick sends to `mailbox` (0 to 9) and
        returns it as ReadText does (bytes, closing NUL included; the slot
        is emptied). Other helpers waiting for it get the same text; see
        NewMail for the handlers. TimeoutError after `timeout` seconds;
        ValueError for another mailbox; RuntimeError unless the control runs
        on an AsyncioLoop of the running asyncio loop."""
        return await aio.next_mail(self, mailbox, timeout)

    def mails(self, mailbox: int | None = None) -> "aio.MailIterator":
        """An async iterator of ``(mailbox, text)`` for every text the brick
        sends from now on (to `mailbox`, 0 to 9, only, when given); each text
        is read as it arrives, so none is lost or overwritten while the
        program awaits something else (see NewMail for who else gets it).
        ``async for box, text in nxt.mails(): ...``; close it (``aclose()``
        or leaving an ``async with``) to stop collecting; one that is simply
        dropped stops once it is garbage. RuntimeError unless the control
        runs on an AsyncioLoop."""
        return aio.MailIterator(self, mailbox)

    def _add_taker(self, taker: "aio._Taker") -> None:
        self._takers.append(taker)

    def _remove_taker(self, taker: "aio._Taker") -> None:
        self._takers.remove(taker)

    def __repr__(self) -> str:
        return (
            f"<vostrel.Vostrel Connection={self.Connection!r} "
            f"ErrorMessage={self.ErrorMessage!r} PingNXT={self.PingNXT!r}>"
        )


def _check_callable(handler: object, what: str) -> None:
    # Refused here: a non-callable would fail on every later event instead.
    if not callable(handler):
        raise TypeError(f"{what} takes a callable, not {type(handler).__name__}: {handler!r}")


def _call_each(handlers: Iterable[Callable[..., object]], args: tuple) -> None:
    # A copy: a handler may add or remove handlers. Each runs even when an
    # earlier one failed; a failure is reported, never dropped.
    for handler in tuple(handlers):
        try:
            handler(*args)
        except Exception as error:  # noqa: BLE001 - reported, never dropped
            _vostrel._report_handler_error(error, handler)


from . import aio, sim  # noqa: E402  (vostrel.aio and vostrel.sim without a second import)
