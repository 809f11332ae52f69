# SPDX-License-Identifier: Apache-2.0
"""Encrypt and decrypt in the format of singlecrypt and cascadecrypt.

The same bytes as the programs, through the shared library's C interface:
in memory (encrypt, decrypt, or Encryptor and Decryptor in pieces), as file
objects (open) or whole files (encrypt_file, decrypt_file). Every call takes
the schedule, SINGLE (singlecrypt) or CASCADE (cascadecrypt), as a keyword:
nothing in a file says which program wrote it. Passphrases are bytes; the
programs take the bytes of their command line argument as they are.

The format has no integrity check. A wrong passphrase or a damaged file is
noticed only when the padding of a short last chunk is wrong (CipherFailed);
otherwise either decrypts to noise without an error, and an altered file
cannot be told from the original.
"""

from typing import Optional

from ._cipher import Decryptor, Encryptor, decrypt, encrypt, schedule_of
from ._errors import (
    Cancelled,
    CipherFailed,
    Error,
    InputOpenFailed,
    InvalidArgument,
    LengthUnsupported,
    OutOfMemory,
    OutputOpenFailed,
    ReadFailed,
    WriteFailed,
)
from ._files import decrypt_file, encrypt_file
from ._native import Schedule, Status, library_version
from ._native import encrypted_size as _encrypted_size
from ._streams import open

SINGLE = Schedule.SINGLE
CASCADE = Schedule.CASCADE

__version__ = "1.0.0"


def encrypted_size(length: int, *, schedule: Schedule) -> Optional[int]:
    """The length of the file that encrypting `length` bytes makes, or None
    for a length the format refuses (LengthUnsupported): check it before a
    long stream, as that refusal otherwise comes only at the end."""
    return _encrypted_size(length, schedule_of(schedule))


__all__ = [
    "CASCADE",
    "SINGLE",
    "Cancelled",
    "CipherFailed",
    "Decryptor",
    "Encryptor",
    "Error",
    "InputOpenFailed",
    "InvalidArgument",
    "LengthUnsupported",
    "OutOfMemory",
    "OutputOpenFailed",
    "ReadFailed",
    "Schedule",
    "Status",
    "WriteFailed",
    "decrypt",
    "decrypt_file",
    "encrypt",
    "encrypt_file",
    "encrypted_size",
    "library_version",
    "open",
]
