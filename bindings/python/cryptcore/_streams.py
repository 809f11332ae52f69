# SPDX-License-Identifier: Apache-2.0
"""cryptcore.open(): the cipher as a binary file object over another."""

import builtins
import io
import os
from typing import Any, BinaryIO, Optional, Union

from ._cipher import Bytes, Decryptor, Encryptor, byte_view
from ._native import Schedule

CHUNK = 65536


class _Adapter(io.RawIOBase):
    """The cipher between a caller and the file object it reads or writes."""

    def __init__(self, raw: Any, owns_raw: bool, cipher: Union[Encryptor, Decryptor], mode: str) -> None:
        super().__init__()
        self._raw = raw
        self._owns_raw = owns_raw
        self._cipher = cipher
        self.mode = mode

    @property
    def name(self) -> Any:
        return self._raw.name

    def close(self) -> None:
        if self.closed:
            return
        try:
            self._end()
        finally:
            try:
                self._cipher._wipe("was closed")
                if self._owns_raw:
                    self._raw.close()
            finally:
                super().close()

    def _end(self) -> None:
        pass


class _Reader(_Adapter):
    """Reads the plaintext of the ciphertext in a readable binary file object."""

    def __init__(self, raw: Any, owns_raw: bool, cipher: Decryptor) -> None:
        super().__init__(raw, owns_raw, cipher, "rb")
        self._pending = memoryview(b"")
        self._at_end = False

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> Optional[int]:
        target = memoryview(buffer).cast("B")
        while not self._pending and not self._at_end:
            data = self._raw.read(CHUNK)
            if data is None:
                return None
            if data:
                self._pending = memoryview(self._cipher.update(data))
            else:
                # Only here does a wrong passphrase or a damaged file show;
                # after that error, every read raises again.
                self._pending = memoryview(self._cipher.finalize())
                self._at_end = True
        count = min(len(target), len(self._pending))
        target[:count] = self._pending[:count]
        self._pending = self._pending[count:]
        return count


class _Writer(_Adapter):
    """Writes the ciphertext of what it is given to a writable binary file object."""

    def __init__(self, raw: Any, owns_raw: bool, cipher: Encryptor) -> None:
        super().__init__(raw, owns_raw, cipher, "wb")

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = byte_view(data, "data")
        self._write_out(self._cipher.update(view))
        return len(view)

    def _write_out(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            written = self._raw.write(view)
            if written is None:
                raise BlockingIOError(0, "the file object took no bytes; a cipher stream needs a blocking one")
            view = view[written:]

    def _end(self) -> None:
        # Pads the last partial chunk: LengthUnsupported if it is too long.
        self._write_out(self._cipher.finalize())
        self._raw.flush()


def open(  # noqa: A001 - named after the built-in it mirrors, as gzip.open is
    file: Any, mode: str, passphrase: Bytes, *, schedule: Schedule
) -> BinaryIO:
    """A binary file object that decrypts ("rb") or encrypts ("wb") the file
    singlecrypt (SINGLE) or cascadecrypt (CASCADE) reads and writes.

    `file` is a path, which is opened and closed with the stream, or a binary
    file object, which is left open. Closing a writer pads the last partial
    chunk and writes it (LengthUnsupported if it is too long to pad); data
    written before is not checked. Reading raises CipherFailed at the end for
    a bad padding; the format has no integrity check, so a wrong passphrase
    or a damaged file may also read as noise without an error.
    """
    if mode not in ("rb", "wb"):
        raise ValueError(f"mode is 'rb' or 'wb', not {mode!r}")
    cipher: Union[Encryptor, Decryptor]
    cipher = Decryptor(passphrase, schedule=schedule) if mode == "rb" else Encryptor(passphrase, schedule=schedule)
    owns_raw = isinstance(file, (str, bytes, os.PathLike))
    raw = builtins.open(file, mode, buffering=0) if owns_raw else file
    if mode == "rb":
        return io.BufferedReader(_Reader(raw, owns_raw, cipher), CHUNK)  # type: ignore[arg-type,return-value]
    return io.BufferedWriter(_Writer(raw, owns_raw, cipher), CHUNK)  # type: ignore[arg-type,return-value]
