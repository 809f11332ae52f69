# SPDX-License-Identifier: Apache-2.0
"""Whole files, as the programs run them, with progress and Ctrl-C."""

import contextlib
import os
import signal
import threading
from typing import Any, Callable, Iterator, Optional, Union

from ._cipher import Bytes, Secret, schedule_of
from ._errors import error_for
from ._native import PROGRESS, Direction, Schedule, lib

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Progress = Callable[[int], Any]


def _path_bytes(path: Path, what: str) -> bytes:
    """A path as the bytes the library opens: the file system's encoding, the
    ANSI code page on Windows."""
    path = os.fspath(path)
    if isinstance(path, str):
        path = path.encode("mbcs") if os.name == "nt" else os.fsencode(path)
    if b"\0" in path:
        raise ValueError(f"the {what} path has an embedded null byte")
    return path


class _Run:
    """What the library's progress callback does for one run: it asks the
    caller's callable, and stops the run for any exception, which the run
    raises once the library has taken its output back."""

    def __init__(self, progress: Optional[Progress]) -> None:
        self.progress = progress
        self.error: Optional[BaseException] = None

    def call(self, _context: Any, bytes_done: int) -> int:
        if self.error is not None:
            return 1
        try:
            if self.progress is not None and self.progress(bytes_done) is False:
                return 1
        except BaseException as error:  # noqa: B902 - re-raised by the run
            self.error = error
            return 1
        return 0

    def keep(self, error: BaseException) -> None:
        if self.error is None:
            self.error = error


@contextlib.contextmanager
def _interrupts_kept_for(run: _Run) -> Iterator[None]:
    """Makes the SIGINT handler's exception (KeyboardInterrupt) stop the run.

    Python runs a signal's handler at its next bytecode, here the first line
    of the progress callback, where an exception would be lost in ctypes. So
    during the run the handler's exception is kept for the run to raise.
    Signals reach only the main thread's handler, so other threads are left as
    they are, as is a SIGINT that Python does not handle.
    """
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or not callable(previous):
        yield
        return

    def keep_interrupt(number: int, frame: Any) -> None:
        try:
            previous(number, frame)
        except BaseException as error:  # noqa: B902 - re-raised by the run
            run.keep(error)

    signal.signal(signal.SIGINT, keep_interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _crypt_file(
    input_path: Path,
    output_path: Path,
    passphrase: Bytes,
    direction: Direction,
    schedule: Schedule,
    progress: Optional[Progress],
) -> None:
    schedule = schedule_of(schedule)
    if progress is not None and not callable(progress):
        raise TypeError("progress is a callable or None")
    input_name, output_name = _path_bytes(input_path, "input"), _path_bytes(output_path, "output")
    run = _Run(progress)
    # Even without a progress callable, the callback lets Ctrl-C stop the run.
    callback = PROGRESS(run.call)
    with Secret(passphrase) as secret, _interrupts_kept_for(run):
        status = lib.cryptcore_crypt_file(
            input_name, output_name, secret.pointer, secret.length, direction, schedule, callback, None
        )
    if run.error is not None:
        raise run.error
    if status:
        raise error_for(status, os.fspath(input_path), os.fspath(output_path))


def encrypt_file(
    input_path: Path,
    output_path: Path,
    passphrase: Bytes,
    *,
    schedule: Schedule,
    progress: Optional[Progress] = None,
) -> None:
    """Encrypts a file into another as singlecrypt (SINGLE) or cascadecrypt
    (CASCADE) does, with the same errors and cleanup: after any failure the
    output file is gone.

    `progress`, if given, is called on this thread with the input bytes done
    so far, a few times a second and once at the end; returning False stops
    the run (Cancelled), and an exception it raises stops the run and is
    raised again, as is Ctrl-C (KeyboardInterrupt). The GIL is released while
    the library works. The format has no integrity check.
    """
    _crypt_file(input_path, output_path, passphrase, Direction.ENCRYPT, schedule, progress)


def decrypt_file(
    input_path: Path,
    output_path: Path,
    passphrase: Bytes,
    *,
    schedule: Schedule,
    progress: Optional[Progress] = None,
) -> None:
    """Decrypts a file into another as singlecrypt (SINGLE) or cascadecrypt
    (CASCADE) does; `progress` and the errors are encrypt_file()'s.

    The format has no integrity check: CipherFailed comes only from a bad
    padding of a short last chunk, so a wrong passphrase or a damaged file
    may also decrypt to noise without an error.
    """
    _crypt_file(input_path, output_path, passphrase, Direction.DECRYPT, schedule, progress)
