# SPDX-License-Identifier: Apache-2.0
"""The shared library's C interface, loaded with ctypes, and its numbers."""

import ctypes
import ctypes.util
import enum
import os
import sys
from typing import Optional

# ctypes.CDLL (not PyDLL) releases the GIL around every call into the library.


class Status(enum.IntEnum):
    """How a call ended; 0 to 7 are the programs' exit statuses."""

    OK = 0
    INVALID_ARGUMENT = 1
    INPUT_OPEN_FAILED = 2
    OUTPUT_OPEN_FAILED = 3
    READ_FAILED = 4
    WRITE_FAILED = 5
    CIPHER_FAILED = 6
    LENGTH_UNSUPPORTED = 7
    OUTPUT_TOO_SMALL = 64
    CANCELLED = 65
    OUT_OF_MEMORY = 66


class Schedule(enum.IntEnum):
    """Which program's cipher: singlecrypt's one pass or cascadecrypt's two."""

    SINGLE = 1
    CASCADE = 2


class Direction(enum.IntEnum):
    ENCRYPT = 0
    DECRYPT = 1


# What cryptcore_encrypted_size() gives for a length the format refuses.
REFUSED_LENGTH = 2**64 - 1
# The output room that cryptcore_stream_finish() always has enough of.
FINISH_CAPACITY = 65536
STREAM_ALIGNMENT = 64

PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint64)

LIBRARY_VARIABLE = "CRYPTCORE_LIBRARY"


def _library_name() -> str:
    """The installed library's file name, found where the platform's loader looks."""
    if os.name == "nt":
        # Python no longer searches PATH for a DLL given by name alone.
        return ctypes.util.find_library("cryptcore") or "cryptcore.dll"
    if sys.platform == "darwin":
        return "libcryptcore.1.dylib"
    # The soname, so that only major version 1 is ever loaded.
    return "libcryptcore.so.1"


def _load() -> ctypes.CDLL:
    path = os.environ.get(LIBRARY_VARIABLE) or _library_name()
    try:
        library = ctypes.CDLL(path)
    except OSError as error:
        raise ImportError(
            f"cryptcore cannot load its shared library {path!r} ({error}); install the library, "
            f"or set {LIBRARY_VARIABLE} to its path"
        ) from error
    _declare(library)
    return library


# Every function of cryptcore.h: its result and argument types (the enums are C ints).
_size, _pointer, _enum = ctypes.c_size_t, ctypes.c_void_p, ctypes.c_int
PROTOTYPES = {
    "cryptcore_stream_size": (_size, []),
    "cryptcore_stream_init": (
        _enum,
        [ctypes.POINTER(_pointer), _pointer, _size, _pointer, _size, _enum, _enum],
    ),
    "cryptcore_update_capacity": (_size, [_size]),
    "cryptcore_stream_update": (
        _enum,
        [_pointer, _pointer, _size, _pointer, _size, ctypes.POINTER(_size)],
    ),
    "cryptcore_stream_finish": (_enum, [_pointer, _pointer, _size, ctypes.POINTER(_size)]),
    "cryptcore_stream_wipe": (None, [_pointer]),
    "cryptcore_encrypted_size": (ctypes.c_uint64, [ctypes.c_uint64, _enum]),
    "cryptcore_crypt_file": (
        _enum,
        [ctypes.c_char_p, ctypes.c_char_p, _pointer, _size, _enum, _enum, PROGRESS, _pointer],
    ),
    "cryptcore_status_string": (ctypes.c_char_p, [_enum]),
    "cryptcore_version": (ctypes.c_char_p, []),
}


def _declare(library: ctypes.CDLL) -> None:
    for name, (result, arguments) in PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments


lib = _load()


def status_text(status: int) -> str:
    return lib.cryptcore_status_string(status).decode("ascii", "replace")


def library_version() -> str:
    return lib.cryptcore_version().decode("ascii")


def encrypted_size(length: int, schedule: "Schedule") -> Optional[int]:
    if length < 0:
        raise ValueError("a length is not negative")
    if length >= REFUSED_LENGTH:
        return None
    size = lib.cryptcore_encrypted_size(length, schedule)
    return None if size == REFUSED_LENGTH else size
