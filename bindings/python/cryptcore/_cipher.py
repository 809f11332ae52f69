# SPDX-License-Identifier: Apache-2.0
"""The cipher in memory: one call, or any number of pieces."""

import ctypes
import threading
from typing import Any, Optional, Tuple, Union

from ._errors import Error, InvalidArgument, LengthUnsupported, error_for
from ._native import FINISH_CAPACITY, STREAM_ALIGNMENT, Direction, Schedule, encrypted_size, lib

Bytes = Union[bytes, bytearray, memoryview]


def schedule_of(schedule: Any) -> Schedule:
    """The schedule a caller named, checked: nothing in a file says which it was."""
    if isinstance(schedule, bool) or not isinstance(schedule, int):
        raise TypeError(f"schedule is cryptcore.SINGLE or cryptcore.CASCADE, not {schedule!r}")
    try:
        return Schedule(schedule)
    except ValueError:
        raise ValueError(f"schedule is cryptcore.SINGLE or cryptcore.CASCADE, not {schedule!r}") from None


def byte_view(data: Any, what: str) -> memoryview:
    """The bytes of a bytes-like object, as a flat view; a str is refused."""
    if isinstance(data, str):
        raise TypeError(f"{what} is bytes-like, not str: encode it first")
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"{what} is bytes-like, not {type(data).__name__}") from None
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    return view.cast("B")


def input_pointer(view: memoryview) -> Tuple[Any, Any]:
    """A pointer to a view's bytes for the library, and the object that keeps them alive."""
    if view.readonly:
        owner: Any = view.obj if type(view.obj) is bytes and len(view.obj) == len(view) else view.tobytes()
        return owner, owner
    array = (ctypes.c_char * len(view)).from_buffer(view)
    return array, array


class Secret:
    """A passphrase copied into memory of its own, which wipe() zeroes."""

    def __init__(self, passphrase: Any) -> None:
        self._copy = bytearray(byte_view(passphrase, "a passphrase"))
        self._array = (ctypes.c_char * len(self._copy)).from_buffer(self._copy)
        self.length = len(self._copy)

    @property
    def pointer(self) -> Any:
        return self._array

    def wipe(self) -> None:
        ctypes.memset(self._array, 0, self.length)

    def __enter__(self) -> "Secret":
        return self

    def __exit__(self, *_: Any) -> None:
        self.wipe()


class _Stream:
    """One run of the library's stream, in 64-byte aligned memory of its own."""

    def __init__(self, passphrase: Any, schedule: Any, direction: Direction) -> None:
        self._handle: Optional[ctypes.c_void_p] = None
        self._ended: Optional[str] = None
        self._lock = threading.Lock()
        schedule = schedule_of(schedule)
        size = lib.cryptcore_stream_size()
        self._memory = ctypes.create_string_buffer(size + STREAM_ALIGNMENT - 1)
        address = ctypes.addressof(self._memory)
        self._aligned = address + (-address % STREAM_ALIGNMENT)
        self._memory_size = size
        handle = ctypes.c_void_p()
        with Secret(passphrase) as secret:
            status = lib.cryptcore_stream_init(
                ctypes.byref(handle), self._aligned, size, secret.pointer, secret.length, direction, schedule
            )
        if status:
            raise error_for(status)
        self._handle = handle

    def _running(self) -> ctypes.c_void_p:
        if self._handle is None:
            raise InvalidArgument(f"this {type(self).__name__} {self._ended or 'has ended'}")
        return self._handle

    def _failed(self, status: int) -> Error:
        self._wipe("ended with an error")
        return error_for(status)

    def _update_into(self, view: memoryview, output: bytearray, offset: int) -> int:
        """Passes a view's bytes through, writing at `offset`; returns the bytes written."""
        handle = self._running()
        pointer, _owner = input_pointer(view)
        room = (ctypes.c_char * (len(output) - offset)).from_buffer(output, offset)
        written = ctypes.c_size_t()
        status = lib.cryptcore_stream_update(handle, pointer, len(view), room, len(room), ctypes.byref(written))
        del room, pointer, _owner
        if status:
            raise self._failed(status)
        return written.value

    def _finish_into(self, output: bytearray, offset: int) -> int:
        handle = self._running()
        room = (ctypes.c_char * (len(output) - offset)).from_buffer(output, offset)
        written = ctypes.c_size_t()
        status = lib.cryptcore_stream_finish(handle, room, len(room), ctypes.byref(written))
        del room
        if status:
            raise self._failed(status)
        self._wipe("was finalized")
        return written.value

    def update(self, data: Bytes) -> bytes:
        """Takes all of `data` and gives back every 65,536-byte chunk it completes.

        The bytes of a last partial chunk wait for finalize(); so the output of
        a short update is often empty.
        """
        view = byte_view(data, "data")
        with self._lock:
            output = bytearray(lib.cryptcore_update_capacity(len(view)))
            written = self._update_into(view, output, 0)
        del output[written:]
        return bytes(output)

    def finalize(self) -> bytes:
        """Ends the run and gives back its last bytes; the keys are wiped.

        Raises CipherFailed (decrypting: a bad padding, from a wrong passphrase
        or a damaged file) or LengthUnsupported (encrypting: a tail too long to
        pad). Neither says anything about the chunks handed back before.
        """
        with self._lock:
            output = bytearray(FINISH_CAPACITY)
            written = self._finish_into(output, 0)
        del output[written:]
        return bytes(output)

    def whole(self, data: Any) -> bytes:
        """All of `data` in one update and the finish, into one buffer."""
        view = byte_view(data, "data")
        with self._lock:
            output = bytearray(lib.cryptcore_update_capacity(len(view)) + FINISH_CAPACITY)
            try:
                written = self._update_into(view, output, 0)
                written += self._finish_into(output, written)
            finally:
                self._wipe("has ended")
        del output[written:]
        return bytes(output)

    def _wipe(self, why: str) -> None:
        if self._handle is not None:
            lib.cryptcore_stream_wipe(self._handle)
            self._handle = None
            self._ended = why
        ctypes.memset(self._aligned, 0, self._memory_size)

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            self._wipe("was dropped")


class Encryptor(_Stream):
    """Encrypts in pieces: the concatenated outputs of update() and finalize()
    are exactly the file singlecrypt (SINGLE) or cascadecrypt (CASCADE) writes.

    The format has no integrity check: nothing it writes lets a reader tell a
    damaged or altered file from the original.
    """

    def __init__(self, passphrase: Bytes, *, schedule: Schedule) -> None:
        super().__init__(passphrase, schedule, Direction.ENCRYPT)


class Decryptor(_Stream):
    """Decrypts in pieces what singlecrypt (SINGLE) or cascadecrypt (CASCADE) wrote.

    The format has no integrity check: a wrong passphrase or a damaged file is
    noticed only by the padding of a short last chunk, at finalize(); a file of
    whole 65,536-byte chunks decrypts to noise under any passphrase without an
    error. Do not act on the bytes before finalize() has succeeded.
    """

    def __init__(self, passphrase: Bytes, *, schedule: Schedule) -> None:
        super().__init__(passphrase, schedule, Direction.DECRYPT)


def encrypt(data: Bytes, passphrase: Bytes, *, schedule: Schedule) -> bytes:
    """The file singlecrypt (SINGLE) or cascadecrypt (CASCADE) writes for `data`.

    Raises LengthUnsupported, before any work, for a length the format cannot
    hold. The format has no integrity check.
    """
    view = byte_view(data, "data")
    if encrypted_size(len(view), schedule_of(schedule)) is None:
        raise LengthUnsupported()
    return Encryptor(passphrase, schedule=schedule).whole(view)


def decrypt(data: Bytes, passphrase: Bytes, *, schedule: Schedule) -> bytes:
    """The plaintext of a file singlecrypt (SINGLE) or cascadecrypt (CASCADE) wrote.

    Raises CipherFailed for a bad padding. The format has no integrity check,
    so a wrong passphrase or a damaged file may also decrypt to noise without
    an error.
    """
    return Decryptor(passphrase, schedule=schedule).whole(data)
