"""asyncio support: run a control inside an asyncio program.

    import asyncio, vostrel

    async def main():
        nxt = vostrel.Vostrel(vostrel.AsyncioLoop(), ports={0: "/dev/rfcomm0"})
        nxt.ConnectNXT(0, 9600)
        nxt.SendText(1, "hello")
        print(await nxt.next_mail(1, timeout=5))
        async for mailbox, text in nxt.mails():
            print(mailbox, text)

    asyncio.run(main())

``AsyncioLoop`` serves the control from the running asyncio loop itself
(add_reader and call_at): no thread, and handlers run as asyncio callbacks.

Who gets a text: the control empties a mailbox when it is read. While
``next_mail`` waiters or ``mails()`` iterators want a mailbox, its text is
read once, as it arrives and before the handlers registered with
``on_new_mail`` run, and the same bytes go to every one of them; those
handlers are still called, and find the slot empty (``ReadText`` returns
``b''``). When no helper wants the mailbox, the text stays in the slot for
the handlers.
"""

from __future__ import annotations

import asyncio
import weakref
from typing import TYPE_CHECKING, Callable

from ._vostrel import AsyncioLoop

if TYPE_CHECKING:
    from . import Vostrel

__all__ = ["AsyncioLoop", "MailIterator", "next_mail"]


def _check_mailbox(mailbox: int | None, what: str, any_allowed: bool = True) -> None:
    # The brick's texts arrive for mailboxes 0 to 9 only: any other never comes.
    if mailbox is None and not any_allowed:
        raise ValueError(f"{what}: a mailbox 0 to 9, not None (mails() takes None for every mailbox)")
    if mailbox is not None and not (isinstance(mailbox, int) and 0 <= mailbox <= 9):
        raise ValueError(f"{what}: mailbox {mailbox!r} is not 0 to 9, where the brick's texts arrive")


def _asyncio_loop_of(nxt: "Vostrel", what: str) -> asyncio.AbstractEventLoop:
    loop = nxt.loop
    if not isinstance(loop, AsyncioLoop):
        raise RuntimeError(
            f"{what} needs a control on an AsyncioLoop; this one runs on a {type(loop).__name__}, "
            "whose mail arrives only while its run() runs: register a handler with on_new_mail"
        )
    return loop.asyncio_loop


def _check_running(nxt: "Vostrel", what: str) -> None:
    if asyncio.get_running_loop() is not _asyncio_loop_of(nxt, what):
        raise RuntimeError(f"{what}: the control's AsyncioLoop wraps another asyncio loop than the running one")


class _Taker:
    """A helper's wish for the texts of one mailbox (None: every one), as
    the control's NewMail hands them out."""

    __slots__ = ("mailbox", "deliver")

    def __init__(self, mailbox: int | None, deliver: Callable[[int, bytes], None]) -> None:
        self.mailbox = mailbox
        self.deliver = deliver

    def wants(self, mailbox: int) -> bool:
        return self.mailbox is None or self.mailbox == mailbox


async def next_mail(nxt: "Vostrel", mailbox: int, timeout: float | None = None) -> bytes:
    """The next text the brick sends to `mailbox` (0 to 9), read as it
    arrives (bytes, closing NUL included), shared with the other helpers
    waiting for it. TimeoutError after `timeout` seconds (None: no limit);
    ValueError for another mailbox; RuntimeError when the control does not
    run on an AsyncioLoop of the running asyncio loop."""
    _check_mailbox(mailbox, "next_mail", any_allowed=False)
    _check_running(nxt, "next_mail")
    future: asyncio.Future[bytes] = asyncio.get_running_loop().create_future()

    def deliver(box: int, text: bytes) -> None:
        if not future.done():
            future.set_result(text)

    taker = _Taker(mailbox, deliver)
    nxt._add_taker(taker)
    try:
        return await asyncio.wait_for(future, timeout)
    finally:
        nxt._remove_taker(taker)


_CLOSED = object()  # wakes the tasks waiting in __anext__ when the iterator closes


class MailIterator:
    """Collects ``(mailbox, text)`` from the moment it is made until it is
    closed or dropped; iterate it with ``async for``. Texts are read as they
    arrive and queued, so none is lost while the program is busy; they are
    shared with the other helpers that want them.

    Close it with ``aclose()`` or an ``async with`` block: the iteration
    ends, also for tasks waiting in ``__anext__``. An iterator left without
    closing (``break`` out of ``async for``) stops collecting once it is
    garbage: the control holds it only weakly.
    """

    def __init__(self, nxt: "Vostrel", mailbox: int | None = None) -> None:
        _check_mailbox(mailbox, "mails")
        _asyncio_loop_of(nxt, "mails")
        self._nxt = nxt
        self._queue: asyncio.Queue[object] = asyncio.Queue()
        self._closed = False
        queue_ref = weakref.ref(self._queue)

        # Holds the queue weakly, so the control keeps nothing of ours alive.
        def deliver(box: int, text: bytes) -> None:
            queue = queue_ref()
            if queue is not None:
                queue.put_nowait((box, text))

        self._taker = _Taker(mailbox, deliver)
        nxt._add_taker(self._taker)
        self._unregister = weakref.finalize(self, nxt._remove_taker, self._taker)
        self._unregister.atexit = False

    def __aiter__(self) -> "MailIterator":
        return self

    async def __anext__(self) -> tuple[int, bytes]:
        if self._closed:
            raise StopAsyncIteration
        _check_running(self._nxt, "mails")
        item = await self._queue.get()
        if item is _CLOSED:
            self._queue.put_nowait(_CLOSED)  # for the next waiter
            raise StopAsyncIteration
        return item  # type: ignore[return-value]

    async def aclose(self) -> None:
        """Stops collecting; the iteration ends, for the tasks waiting in
        ``__anext__`` too (StopAsyncIteration). Again: nothing."""
        if not self._closed:
            self._closed = True
            self._unregister()
            self._queue.put_nowait(_CLOSED)

    async def __aenter__(self) -> "MailIterator":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()
