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
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

from ._vostrel import AsyncioLoop

if TYPE_CHECKING:
    from . import Vostrel

__all__ = ["AsyncioLoop", "MailIterator", "next_mail"]


async def next_mail(nxt: "Vostrel", mailbox: int, timeout: float | None = None) -> bytes:
    """The next text the brick sends to `mailbox`, taken with ReadText as it
    arrives (bytes, closing NUL included). TimeoutError after `timeout`
    seconds (None: no limit)."""
    future: asyncio.Future[bytes] = asyncio.get_running_loop().create_future()

    def handler(box: int) -> None:
        if box == mailbox and not future.done():
            future.set_result(nxt.ReadText(box))

    nxt.on_new_mail(handler)
    try:
        return await asyncio.wait_for(future, timeout)
    finally:
        nxt.remove_handler(handler)


class MailIterator:
    """Collects ``(mailbox, text)`` from the moment it is made until it is
    closed; iterate it with ``async for``. Texts are taken with ReadText as
    they arrive and queued, so none is lost while the program is busy."""

    def __init__(self, nxt: "Vostrel", mailbox: int | None = None) -> None:
        self._nxt = nxt
        self._mailbox = mailbox
        self._queue: asyncio.Queue[tuple[int, bytes]] = asyncio.Queue()
        self._closed = False
        nxt.on_new_mail(self._on_mail)

    def _on_mail(self, box: int) -> None:
        if self._mailbox is None or box == self._mailbox:
            self._queue.put_nowait((box, self._nxt.ReadText(box)))

    def __aiter__(self) -> "MailIterator":
        return self

    async def __anext__(self) -> tuple[int, bytes]:
        if self._closed:
            raise StopAsyncIteration
        return await self._queue.get()

    async def aclose(self) -> None:
        """Stops collecting; the iteration ends."""
        if not self._closed:
            self._closed = True
            self._nxt.remove_handler(self._on_mail)

    async def __aenter__(self) -> "MailIterator":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()
