#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks that a running program keeps no copy of its secrets.

Usage: secrets_test.py SINGLE CASCADE

Each program is started on a FIFO as input and kept waiting mid-run: it has
set its keys, encrypted or decrypted a first chunk and written it out, and is
blocked reading the next one. Then, while it waits:

- /proc/PID/cmdline must not show the passphrase (the driver blanks it);
- no writable mapping of the process (heap, static data, stack, anonymous
  memory) may hold the passphrase, the final stretch buffer, any of the chain
  values (every SHA-1 digest of both key-schedule chains) or the digests that
  the AES keys are cut from, all computed here independently of the program;
- as a check on the check, the AES keys themselves, which the run needs, must
  be found, so the scan did see the memory where secrets would be.

The scan reads /proc/PID/mem. The programs make themselves non-dumpable, so
that only a process with CAP_SYS_PTRACE (root) may read their memory: run by
anyone else, the test reports itself skipped (exit status 77).

Under CRYPTCORE_TEST_WRAPPER (qemu-user for a cross build) the process is the
emulator: its command line is the emulator's own, and the emulator keeps
copies of it in its own memory, where the program cannot blank them. The
passphrase is then not looked for (the native build checks that); every other
secret is, in the program's memory and in its registers, which the emulator
keeps in its own.
"""
import hashlib
import os
import shlex
import subprocess
import sys
import tempfile
import time

CHUNK = 65536
STRETCH_ROUNDS = 256
# A passphrase that occurs nowhere else: a hit can only be a copy.
PASSPHRASE = b"Hardening-check passphrase 7c41e9a2d05b"
# Mappings larger than this are sanitizer shadow memory, which holds no data.
MAX_MAPPING = 1 << 30
WRAPPER = [word.encode() for word in shlex.split(os.environ.get("CRYPTCORE_TEST_WRAPPER", ""))]


def sha1(data):
    return hashlib.sha1(data).digest()


def key_schedule(passphrase, cascade):
    """The manual page's key schedule (FILE FORMAT); returns the secrets and the keys it makes."""
    chain_a = [sha1(passphrase)]
    chain_b = [sha1(chain_a[0])] if cascade else []
    stretch = bytearray(range(36))
    for round_ in range(STRETCH_ROUNDS + 1):
        offset = 0 if round_ % 2 == 0 else 16
        stretch[offset:offset + 20] = chain_a[-1]
        if round_ == STRETCH_ROUNDS:
            break
        chain_a.append(sha1(bytes(stretch)))
        if cascade:
            chain_b.append(sha1(chain_b[-1]))

    def halves(value):
        # The key derivation: SHA-1 of the value XORed into 64 bytes of each pad.
        inner = sha1(bytes(b ^ 0x36 for b in value) + bytes([0x36] * 44))
        outer = sha1(bytes(b ^ 0x5C for b in value) + bytes([0x5C] * 44))
        return inner, outer

    secrets = {"passphrase": passphrase, "stretch buffer": bytes(stretch)}
    keys = {}
    for name, chain in (("chain 1", chain_a), ("chain 2", chain_b)):
        for i, value in enumerate(chain):
            secrets[f"{name} value {i}"] = value
        if chain:
            inner, outer = halves(chain[-1])
            keys[f"key of {name}"] = (inner + outer)[:32]
            # The second digest reaches past the key: it must not be kept.
            secrets[f"second key digest of {name}"] = outer
    return secrets, keys


def writable_memory(pid):
    """Yields (description, bytes) for each readable, writable mapping."""
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", 0) as mem:
        for line in maps:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            perms = fields[1]
            name = fields[5] if len(fields) > 5 else "[anonymous]"
            if not perms.startswith("rw") or end - start > MAX_MAPPING or name == "[vvar]":
                continue
            try:
                mem.seek(start)
                data = mem.read(end - start)
            except OSError:
                continue
            yield from nonzero_parts(f"{name} {fields[0]}", data)


def nonzero_parts(where, data, block=1 << 16, overlap=64):
    """Yields the parts of `data` that are not all zero bytes, overlapping
    enough that no secret is split; a sanitizer's mappings are mostly zero."""
    zero = bytes(block)
    start = None
    for at in range(0, len(data), block):
        if data[at:at + block] == zero[:len(data) - at]:
            if start is not None:
                yield where, data[start:at + overlap]
                start = None
        elif start is None:
            start = max(0, at - overlap)
    if start is not None:
        yield where, data[start:]


def wait_for(condition, what, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.02)


def state_of(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0]


def check(program, mode, cascade, work):
    label = f"{os.path.basename(program)} {'decrypting' if mode == 'd' else 'encrypting'}"
    secrets, keys = key_schedule(PASSPHRASE, cascade)
    if WRAPPER:
        del secrets["passphrase"]
    fifo = os.path.join(work, "input")
    output = os.path.join(work, "output")
    for path in (fifo, output):
        if os.path.lexists(path):
            os.unlink(path)
    os.mkfifo(fifo)
    argument = mode.encode() + PASSPHRASE
    process = subprocess.Popen(WRAPPER + [program, argument, fifo, output])
    problems = []
    try:
        with open(fifo, "wb", 0) as writer:
            # A whole chunk and the start of the next: the first chunk is
            # transformed and written, then the program waits for the rest.
            writer.write(os.urandom(CHUNK + 100))
            wait_for(lambda: os.path.exists(output) and os.path.getsize(output) == CHUNK,
                     f"{label}: the first chunk was never written")
            wait_for(lambda: state_of(process.pid) == "S",
                     f"{label}: the program never waited for input")

            with open(f"/proc/{process.pid}/cmdline", "rb") as cmdline:
                if not WRAPPER and PASSPHRASE in cmdline.read():
                    problems.append("/proc/PID/cmdline shows the passphrase")

            found_keys = set()
            scanned = 0
            for where, data in writable_memory(process.pid):
                scanned += len(data)
                for name, value in secrets.items():
                    at = data.find(value)
                    if at >= 0:
                        problems.append(f"{name} found in {where} at offset {at:#x}")
                for name, value in keys.items():
                    if value in data:
                        found_keys.add(name)
            for name in keys:
                if name not in found_keys:
                    problems.append(f"{name} not found: the scan cannot be trusted")
            print(f"{label}: scanned {scanned} bytes for {len(secrets)} secrets "
                  f"and {len(keys)} keys")
    finally:
        if process.poll() is None:
            try:
                status = process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                status = process.wait()
        status = process.returncode
    # The input ends in 100 bytes, not whole blocks: a decryption fails there.
    expected = 0 if mode == "e" else 6
    if status != expected:
        problems.append(f"exit status {status}, expected {expected}")
    return [f"{label}: {p}" for p in problems]


SKIPPED = 77


def main():
    single, cascade = (os.path.realpath(p) for p in sys.argv[1:3])
    if os.geteuid() != 0:
        print("skipped: only root may read the memory of a non-dumpable program")
        return SKIPPED
    if WRAPPER:
        print("under an emulator: the passphrase checks are skipped, as the emulator's own "
              "command line and its copies of it hold the passphrase")
    problems = []
    checks = 0
    with tempfile.TemporaryDirectory() as work:
        for program, is_cascade in ((single, False), (cascade, True)):
            for mode in ("e", "d"):
                found = check(program, mode, is_cascade, work)
                checks += 1
                problems += found
                for problem in found:
                    print("FAIL:", problem)
    failed = len({p.split(":")[0] for p in problems})
    print(f"{checks - failed} passed, {failed} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
