#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Windows programs against the recorded vectors and the Linux programs.

Usage: interop_test.py FILES_TSV EMULATOR SINGLE_EXE CASCADE_EXE [LINUX_DIR]

EMULATOR is the command the .exe files run under (Wine), as a CMake list
(';'-separated), or empty on Windows itself. For every row of FILES_TSV the
.exe encrypts the plaintext to exactly the recorded length and SHA-256 (or
refuses it with status 7) and decrypts it back. With LINUX_DIR (a folder
holding the Linux singlecrypt and cascadecrypt) each Linux program also
writes the same bytes as its .exe, and each decrypts the other's file. Then
a few runs check the Windows file handling: the input refused as its own
output (by name or hard link), no output left after a failure, NUL to NUL;
and, with the Linux programs, that a passphrase beyond ASCII reaches the .exe
as the bytes of the ANSI code page.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

STATUS_OUTPUT_OPEN = 3
STATUS_CIPHER_FAILED = 6
STATUS_LENGTH_UNSUPPORTED = 7


def pattern(length):
    return bytes(i % 251 for i in range(length))


def main():
    tsv, emulator, single, cascade = sys.argv[1:5]
    linux_dir = sys.argv[5] if len(sys.argv) > 5 and sys.argv[5] else None
    wrapper = [part for part in emulator.split(";") if part]
    exes = {"singlecrypt": single, "cascadecrypt": cascade}
    linux = None
    if linux_dir:
        linux = {name: os.path.join(linux_dir, name) for name in exes}
        missing = [path for path in linux.values() if not os.access(path, os.X_OK)]
        if missing:
            print(f"FAIL: no Linux program at {', '.join(missing)}")
            return 1
    passed = failed = 0
    work = tempfile.mkdtemp(prefix="interop_test.")
    os.chdir(work)

    def windows(program, mode_and_passphrase, source, target, env=None):
        command = wrapper + [exes[program], mode_and_passphrase, source, target]
        return subprocess.run(command, stdin=subprocess.DEVNULL, env=env).returncode

    def native(program, mode_and_passphrase, source, target):
        return subprocess.run([linux[program], mode_and_passphrase, source, target]).returncode

    def check(label, ok):
        nonlocal passed, failed
        if ok:
            passed += 1
        else:
            failed += 1
            print(f"FAIL: {label}")

    def read(path):
        with open(path, "rb") as file:
            return file.read()

    def write(path, data):
        with open(path, "wb") as file:
            file.write(data)

    rows = []
    with open(tsv) as file:
        for line in file:
            if line.strip() and not line.startswith("#"):
                rows.append(line.rstrip("\n").split("\t"))
    for program, passphrase_hex, plain_length, cipher_length, cipher_sha256 in rows:
        # The passphrases are ASCII: the same bytes on both sides of Wine.
        passphrase = bytes.fromhex(passphrase_hex).decode("ascii")
        label = f"{program} {plain_length} bytes"
        plain = pattern(int(plain_length))
        write("plain", plain)
        for path in ("exe.enc", "exe.dec", "linux.enc", "linux.dec", "exe_of_linux.dec"):
            if os.path.exists(path):
                os.remove(path)
        status = windows(program, "e" + passphrase, "plain", "exe.enc")
        if cipher_length == "refused":
            check(f"{label}: status {status}, expected the refusal",
                  status == STATUS_LENGTH_UNSUPPORTED and not os.path.exists("exe.enc"))
            if linux:
                check(f"{label}: the Linux program encrypts it",
                      native(program, "e" + passphrase, "plain", "linux.enc") ==
                      STATUS_LENGTH_UNSUPPORTED)
            continue
        if status != 0:
            check(f"{label}: encrypting gave status {status}", False)
            continue
        cipher = read("exe.enc")
        check(f"{label}: not the recorded ciphertext",
              len(cipher) == int(cipher_length) and
              hashlib.sha256(cipher).hexdigest() == cipher_sha256)
        status = windows(program, "d" + passphrase, "exe.enc", "exe.dec")
        check(f"{label}: decrypting gave status {status} or other bytes",
              status == 0 and read("exe.dec") == plain)
        if linux:
            status = native(program, "e" + passphrase, "plain", "linux.enc")
            check(f"{label}: the Linux program wrote other bytes",
                  status == 0 and read("linux.enc") == cipher)
            status = native(program, "d" + passphrase, "exe.enc", "linux.dec")
            check(f"{label}: the Linux program could not read the .exe's file",
                  status == 0 and read("linux.dec") == plain)
            status = windows(program, "d" + passphrase, "linux.enc", "exe_of_linux.dec")
            check(f"{label}: the .exe could not read the Linux program's file",
                  status == 0 and read("exe_of_linux.dec") == plain)

    # The Windows file handling: what a run leaves of its input and output.
    plain = pattern(1000)
    write("keep", plain)
    os.link("keep", "keep_link")
    for program in exes:
        windows(program, "eright", "keep", "cipher")
        cases = [
            ("the input as its own output", "esecret", "keep", "keep", STATUS_OUTPUT_OPEN),
            ("a hard link to the input as output", "esecret", "keep", "keep_link",
             STATUS_OUTPUT_OPEN),
            ("a wrong passphrase", "dwrong", "cipher", "out", STATUS_CIPHER_FAILED),
            ("NUL to NUL", "esecret", "NUL", "NUL", 0),
        ]
        for name, argument, source, target, expected in cases:
            before = sorted(os.listdir("."))
            status = windows(program, argument, source, target)
            check(f"{program} {name}: status {status}, expected {expected}", status == expected)
            check(f"{program} {name}: the input changed", read("keep") == plain)
            if expected != 0:
                check(f"{program} {name}: left a file behind", sorted(os.listdir(".")) == before)
        os.remove("cipher")
        if linux:
            # A passphrase beyond ASCII reaches the .exe as the bytes of the
            # ANSI code page (Windows-1252 in Wine's default locale), and
            # gives the file the Linux program makes from those bytes.
            ansi = dict(os.environ, LC_ALL="C.UTF-8")
            status = windows(program, "ecaf\u00e9", "keep", "ansi_exe.enc", env=ansi)
            native_status = native(program, b"ecaf\xe9", "keep", "ansi_linux.enc")
            check(f"{program} a passphrase in Windows-1252: not the Linux program's bytes",
                  status == 0 and native_status == 0 and
                  read("ansi_exe.enc") == read("ansi_linux.enc"))

    subprocess.run(["rm", "-rf", work])
    checked = "the recorded vectors and the Linux programs" if linux else "the recorded vectors"
    print(f"checked against {checked}")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
