# Type stubs of the vostrel package.
import os
from typing import Callable, Mapping, TypeVar

from . import aio as aio
from . import sim as sim
from ._vostrel import (
    MAILBOX_COUNT as MAILBOX_COUNT,
    WATCHDOG_INTERVAL as WATCHDOG_INTERVAL,
    AsyncioLoop as AsyncioLoop,
    BluetoothDevice as BluetoothDevice,
    Control,
    DefaultLoop as DefaultLoop,
    Error as Error,
    Loop as Loop,
    Overflow as Overflow,
    TypeMismatch as TypeMismatch,
    bricks as bricks,
)

PROPERTY_FILE_LIMIT: int

_MailHandler = TypeVar("_MailHandler", bound=Callable[[int], object])
_PingHandler = TypeVar("_PingHandler", bound=Callable[[], object])

class Vostrel(Control):
    def __init__(self, loop: Loop, ports: Mapping[int, str | os.PathLike[str]] | None = ...) -> None: ...
    def on_new_mail(self, handler: _MailHandler) -> _MailHandler: ...
    def on_no_ping(self, handler: _PingHandler) -> _PingHandler: ...
    def remove_handler(self, handler: Callable[..., object]) -> None: ...
    def NewMail(self, mailbox: int) -> None: ...
    def NoPing(self) -> None: ...
    def save_properties(self, path: str | os.PathLike[str]) -> None: ...
    def load_properties(self, path: str | os.PathLike[str]) -> None: ...
    async def next_mail(self, mailbox: int, timeout: float | None = ...) -> bytes: ...
    def mails(self, mailbox: int | None = ...) -> aio.MailIterator: ...
    def _add_taker(self, taker: aio._Taker) -> None: ...
    def _remove_taker(self, taker: aio._Taker) -> None: ...

__all__ = [
    "AsyncioLoop",
    "DefaultLoop",
    "Error",
    "Loop",
    "MAILBOX_COUNT",
    "Overflow",
    "PROPERTY_FILE_LIMIT",
    "TypeMismatch",
    "Vostrel",
    "WATCHDOG_INTERVAL",
]
