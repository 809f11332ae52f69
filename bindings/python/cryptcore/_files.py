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


# The signals that stop the programs after they took their output back; by
# default they end a Python process at once, and would leave a partial output.
_ENDING_SIGNALS = [getattr(signal, name) for name in ("SIGTERM", "SIGHUP", "SIGQUIT") if hasattr(signal, name)]


class _Run:
    """What the library's progress callback does for one run: it asks the
    caller's callable, and stops the run for any exception, which the run
    raises once the library has taken its output back, or for a signal."""

    def __init__(self, progress: Optional[Progress]) -> None:
        self.progress = progress
        self.error: Optional[BaseException] = None
        self.ending_signal: Optional[int] = None

    def call(self, _context: Any, bytes_done: int) -> int:
        if self.error is not None or self.ending_signal is not None:
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
def _signals_stop(run: _Run) -> Iterator[None]:
    """Makes Ctrl-C and the signals that end a process stop the run first.

    Python runs a signal's handler at its next bytecode, here the first line
    of the progress callback, where an exception would be lost in ctypes. So
    during the run the SIGINT handler's exception (KeyboardInterrupt) is kept
    for the run to raise. SIGTERM, SIGHUP and SIGQUIT, if left to their
    default, stop the run and are raised again once it has taken its output
    back, as the programs do. Signals reach only the main thread's handlers,
    so a run on another thread leaves them alone.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    restore = {}
    interrupt = signal.getsignal(signal.SIGINT)
    if callable(interrupt):

        def keep_interrupt(number: int, frame: Any) -> None:
            try:
                interrupt(number, frame)
            except BaseException as error:  # noqa: B902 - re-raised by the run
                run.keep(error)

        restore[signal.SIGINT] = interrupt
        signal.signal(signal.SIGINT, keep_interrupt)

    def stop(number: int, _frame: Any) -> None:
        run.ending_signal = run.ending_signal or number

    for number in _ENDING_SIGNALS:
        if signal.getsignal(number) == signal.SIG_DFL:
            restore[number] = signal.SIG_DFL
            signal.signal(number, stop)
    try:
        yield
    finally:
        for number, handler in restore.items():
            signal.signal(number, handler)
    if run.ending_signal is not None:
        signal.raise_signal(run.ending_signal)


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
    with Secret(passphrase) as secret, _signals_stop(run):
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
    raised again, as is Ctrl-C (KeyboardInterrupt); SIGTERM, SIGHUP and
    SIGQUIT end the process once the output is taken back. The GIL is
    released while the library works. The format has no integrity check.
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
