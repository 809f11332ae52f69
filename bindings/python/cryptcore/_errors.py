# SPDX-License-Identifier: Apache-2.0
"""The exceptions, one per status the library gives back."""

from typing import Dict, Optional, Type, Union

from ._native import Status, status_text


class Error(Exception):
    """A call failed; ``status`` is the number the programs exit with for it."""

    status: int = -1

    def __init__(self, message: Optional[str] = None) -> None:
        super().__init__(message or status_text(self.status))

    def __str__(self) -> str:
        # The message alone: OSError's form wants an errno the library does not give.
        return str(self.args[0])


class InvalidArgument(Error, ValueError):
    """An argument the library refuses, or a stream used after it ended."""

    status = Status.INVALID_ARGUMENT


class InputOpenFailed(Error, OSError):
    """The input file cannot be opened, or is a directory."""

    status = Status.INPUT_OPEN_FAILED


class OutputOpenFailed(Error, OSError):
    """The output file cannot be opened, or is the input itself."""

    status = Status.OUTPUT_OPEN_FAILED


class ReadFailed(Error, OSError):
    """Reading the input failed before its end."""

    status = Status.READ_FAILED


class WriteFailed(Error, OSError):
    """Writing or closing the output failed."""

    status = Status.WRITE_FAILED


class CipherFailed(Error):
    """A wrong passphrase or a damaged file, as far as the format can tell.

    The format has no integrity check: only a bad padding of a short last
    chunk shows either, so a wrong passphrase may also decrypt to noise
    without this error.
    """

    status = Status.CIPHER_FAILED


class LengthUnsupported(Error):
    """A plaintext whose last partial chunk is too long to pad: the format cannot hold it."""

    status = Status.LENGTH_UNSUPPORTED


class Cancelled(Error):
    """The progress callable returned False: the run stopped and its output was taken back."""

    status = Status.CANCELLED


class OutOfMemory(Error, MemoryError):
    """A file run could not allocate its workspace; nothing was opened."""

    status = Status.OUT_OF_MEMORY


_BY_STATUS: Dict[int, Type[Error]] = {
    error.status: error
    for error in (
        InvalidArgument,
        InputOpenFailed,
        OutputOpenFailed,
        ReadFailed,
        WriteFailed,
        CipherFailed,
        LengthUnsupported,
        Cancelled,
        OutOfMemory,
    )
}

PathName = Union[str, bytes]


def error_for(status: int, input_path: Optional[PathName] = None, output_path: Optional[PathName] = None) -> Error:
    """The exception for a failed call's status, naming the file it concerns."""
    kind = _BY_STATUS.get(status)
    if kind is None:
        # Only a broken binding can get here (OUTPUT_TOO_SMALL, or a number
        # the library added later): keep the number.
        error = Error(f"{status_text(status)} (status {status})")
        error.status = status
        return error
    if not issubclass(kind, OSError):
        return kind()
    concerns_input = status in (Status.INPUT_OPEN_FAILED, Status.READ_FAILED)
    path = input_path if concerns_input else output_path
    error = kind(f"{status_text(status)}: {path!r}" if path is not None else None)
    error.filename = path  # type: ignore[attr-defined]
    return error
