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
a table of runs checks the Windows file handling: the input refused as its
own output (by name, hard link or standard stream), no output left after a
failure, NUL to NUL, the standard streams named as paths (as Wine makes them
of Linux descriptors, and as cmd redirects them, the way Windows programs
get them), binary pipes, the output renamed mid-run, a new output that
gets its name only at the end, Ctrl-C mid-run and as the output opens (Wine
turns SIGINT into the console event), a killed run, and a private input's
private output;
and, with the Linux programs, that a passphrase beyond ASCII reaches the .exe
as the bytes of the ANSI code page. Last, a file long enough for two threads
goes through each .exe and back (and gives the Linux program's bytes).
"""
import glob
import hashlib
import itertools
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

STATUS_OUTPUT_OPEN = 3
STATUS_WRITE_FAILED = 5
STATUS_CIPHER_FAILED = 6
STATUS_LENGTH_UNSUPPORTED = 7
# STATUS_CONTROL_C_EXIT, as a Linux caller sees it: Wine passes on its low byte.
STATUS_CONTROL_C_EXIT_UNDER_WINE = 0xC000013A & 0xFF
CHUNK = 65536
# Long enough for any one run under Wine on a loaded machine; a run that
# takes longer has hung, and fails its row instead of holding up the suite.
RUN_TIMEOUT = 120
# How many runs get Ctrl-C the moment they open their output, for each
# program (one in four over an existing output): enough to catch, nearly
# always, a window that one run in five falls into.
CTRL_C_TRIES = 16


def pattern(length):
    return bytes(i % 251 for i in range(length))


def main():
    tsv, emulator, single, cascade = sys.argv[1:5]
    linux_dir = sys.argv[5] if len(sys.argv) > 5 and sys.argv[5] else None
    wrapper = [part for part in emulator.split(";") if part]
    # "cmake -E env VAR=VALUE... wine64": Wine is run here with those variables
    # itself, so that its process is the program's (a signal to it is a
    # console event for the program).
    wine_env = dict(os.environ)
    if wrapper[1:3] == ["-E", "env"]:
        wrapper = wrapper[3:]
        while wrapper and "=" in wrapper[0]:
            name, value = wrapper.pop(0).split("=", 1)
            wine_env[name] = value
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

    def start(program, mode_and_passphrase, source, target, env=None, stdin=subprocess.DEVNULL,
              stdout=None):
        command = wrapper + [exes[program], mode_and_passphrase, source, target]
        return subprocess.Popen(command, stdin=stdin, stdout=stdout, env=env or wine_env)

    def windows(program, mode_and_passphrase, source, target, env=None, stdin=subprocess.DEVNULL,
                stdout=None):
        return start(program, mode_and_passphrase, source, target, env, stdin,
                     stdout).wait(timeout=RUN_TIMEOUT)

    def through_cmd(line):
        # The standard streams as Windows' command interpreter redirects them:
        # the handles programs get on Windows.
        return subprocess.run(wrapper + ["cmd", "/c", line], stdin=subprocess.DEVNULL,
                              env=wine_env, timeout=RUN_TIMEOUT).returncode

    def native(program, mode_and_passphrase, source, target):
        return subprocess.run([linux[program], mode_and_passphrase, source, target],
                              timeout=RUN_TIMEOUT).returncode

    def temporary_files():
        # The hidden files, in the output's folder, that new outputs are
        # written as until their runs succeed.
        return glob.glob(".cryptcore-*.tmp")

    def removed_soon(*paths, seconds=RUN_TIMEOUT):
        # Windows deletes a file marked for deletion as the process that held
        # it ends; Wine's server does so a moment after the process is seen
        # to end, once it has cleaned up after it. A new output's temporary
        # file must go too.
        def left():
            return [path for path in paths if os.path.exists(path)] + temporary_files()

        deadline = time.monotonic() + seconds
        while left() and time.monotonic() < deadline:
            time.sleep(0.05)
        return not left()

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
    # "keep" is open to everyone, so that only the private row makes a
    # private output.
    plain = pattern(1000)
    header = b"HEADER"
    write("keep", plain)
    os.chmod("keep", 0o644)
    os.link("keep", "keep_link")
    write("header_keep", header + plain)
    write("big", pattern(200000))

    def being_written(target):
        # The file a run writes: an existing output itself, a new one under
        # its temporary name.
        if os.path.exists(target):
            return target
        found = temporary_files()
        return found[0] if len(found) == 1 else None

    def started_on_a_pipe(program, mode_and_passphrase, target, first_chunk):
        # A run reading a pipe, once it has written the first chunk.
        run = start(program, mode_and_passphrase, "/dev/stdin", target, stdin=subprocess.PIPE)
        run.stdin.write(first_chunk)
        run.stdin.flush()
        for _ in range(600):
            written = being_written(target)
            if written and os.path.getsize(written) == CHUNK:
                break
            time.sleep(0.1)
        else:
            check(f"{program} {target}: no chunk written within a minute", False)
        return run

    def opened(stream):
        # A standard stream: a file opened in a mode at an offset, or NUL.
        if stream is None:
            return subprocess.DEVNULL
        path, mode, offset = stream
        file = open(path, mode)
        if offset:
            file.seek(offset)
        return file

    for program in exes:
        exe = os.path.basename(exes[program])
        shutil.copy(exes[program], exe)
        windows(program, "eright", "keep", "cipher")
        windows(program, "eright", "big", "cipher_big")
        windows(program, "esecret", "keep", "enc")
        enc = read("enc")
        # name, the run (arguments and standard streams, or a line for cmd),
        # expected status, what files hold afterwards (None: no such file).
        cases = [
            ("the input as its own output", ("esecret", "keep", "keep", None, None),
             STATUS_OUTPUT_OPEN, {"keep": plain}),
            ("a hard link to the input as output", ("esecret", "keep", "keep_link", None, None),
             STATUS_OUTPUT_OPEN, {"keep": plain}),
            ("a wrong passphrase", ("dwrong", "cipher", "out", None, None), STATUS_CIPHER_FAILED,
             {"out": None}),
            ("NUL to NUL", ("esecret", "NUL", "NUL", None, None), 0, {}),
            ("standard input as the output",
             ("esecret", "/dev/stdin", "keep", ("keep", "rb", 0), None), STATUS_OUTPUT_OPEN,
             {"keep": plain}),
            ("standard output as the input",
             ("esecret", "keep", "/dev/stdout", None, ("keep", "ab", 0)), STATUS_OUTPUT_OPEN,
             {"keep": plain}),
            ("standard output written after a header",
             ("esecret", "keep", "/dev/fd/1", None, ("log", "r+b", len(header))), 0,
             {"log": header + enc}),
            ("standard output appended to",
             ("esecret", "keep", "/dev/stdout", None, ("log", "ab", 0)), 0, {"log": header + enc}),
            ("standard input read from where it stands",
             ("esecret", "/dev/stdin", "out", ("header_keep", "rb", len(header)), None), 0,
             {"out": enc}),
            ("cmd: standard output appended to", f"{exe} esecret keep /dev/stdout >> log", 0,
             {"log": header + enc}),
            ("cmd: a failure cuts standard output back", f"{exe} dwrong cipher /dev/stdout >> log",
             STATUS_CIPHER_FAILED, {"log": header}),
            ("cmd: standard output as the input", f"{exe} esecret keep /dev/stdout >> keep",
             STATUS_OUTPUT_OPEN, {"keep": plain}),
        ]
        for name, run, expected, after in cases:
            if os.path.exists("out"):
                os.remove("out")
            write("log", header)
            before = sorted(os.listdir("."))
            if isinstance(run, str):
                status = through_cmd(run)
            else:
                argument, source, target, stdin, stdout = run
                stdin, stdout = opened(stdin), opened(stdout)
                status = windows(program, argument, source, target, stdin=stdin, stdout=stdout)
                for stream in (stdin, stdout):
                    if stream != subprocess.DEVNULL:
                        stream.close()
            check(f"{program} {name}: status {status}, expected {expected}", status == expected)
            check(f"{program} {name}: the input changed", read("keep") == plain)
            for path, data in after.items():
                check(f"{program} {name}: {path} holds other bytes",
                      (read(path) if os.path.exists(path) else None) == data)
            if expected != 0:
                check(f"{program} {name}: left a file behind", sorted(os.listdir(".")) == before)

        # Binary mode on pipes: CR, LF and Ctrl-Z in the plaintext and the
        # ciphertext come through as they are.
        there = subprocess.run(wrapper + [exes[program], "esecret", "/dev/stdin", "/dev/stdout"],
                               input=plain, capture_output=True, env=wine_env)
        back = subprocess.run(wrapper + [exes[program], "dsecret", "/dev/fd/0", "/dev/fd/1"],
                              input=there.stdout, capture_output=True, env=wine_env)
        check(f"{program} through pipes: other bytes",
              there.returncode == 0 and there.stdout == enc and back.returncode == 0 and
              back.stdout == plain)

        # An existing output (written in place) renamed mid-run and another
        # file put under its name, then the run fails: the other file stays,
        # and nothing of the run's own is left. Windows deletes that file
        # whatever its name; Wine, which looks for it by the name it opened,
        # leaves it empty.
        write("race", b"old")
        run = started_on_a_pipe(program, "dright", "race", read("cipher_big")[:CHUNK])
        os.rename("race", "race_moved")
        write("race", b"other")
        run.stdin.write(b"12345")
        run.stdin.close()
        status = run.wait(timeout=RUN_TIMEOUT)
        check(f"{program} output renamed mid-run: status {status}", status == STATUS_CIPHER_FAILED)
        check(f"{program} output renamed mid-run: the other file changed", read("race") == b"other")
        check(f"{program} output renamed mid-run: its bytes are left",
              not os.path.exists("race_moved") or os.path.getsize("race_moved") == 0)
        for path in ("race", "race_moved"):
            if os.path.exists(path):
                os.remove(path)

        # A new output is written under a temporary name and gets its own
        # only once the run has succeeded; a file that took the name
        # meanwhile stays as it is, and the run fails.
        run = started_on_a_pipe(program, "esecret", "fresh", bytes(CHUNK))
        named_early = os.path.exists("fresh")
        write("fresh", b"other")
        run.stdin.close()
        status = run.wait(timeout=RUN_TIMEOUT)
        check(f"{program} a new output's name taken mid-run: status {status}, named early "
              f"{named_early}", status == STATUS_OUTPUT_OPEN and not named_early)
        check(f"{program} a new output's name taken mid-run: the other file changed or the "
              "run's own is left", read("fresh") == b"other" and removed_soon())
        os.remove("fresh")

        if wrapper:
            # Ctrl-C mid-run, as Wine delivers it for SIGINT: the program takes
            # its output back and ends with STATUS_CONTROL_C_EXIT, reading
            # from a pipe, or blocked writing to one that nobody reads.
            run = started_on_a_pipe(program, "esecret", "killed", bytes(CHUNK))
            run.send_signal(signal.SIGINT)
            status = run.wait(timeout=RUN_TIMEOUT)
            run.stdin.close()
            check(f"{program} Ctrl-C mid-run: status {status}, the output left",
                  status == STATUS_CONTROL_C_EXIT_UNDER_WINE and removed_soon("killed"))
            # Ctrl-C the moment a run has made its new output, or emptied an
            # existing one: while it opens the output, before it could take it
            # back. The program waits for the opening and takes that output
            # back too, so no try leaves a file (an existing output goes too,
            # as after any failure).
            left_by = []
            for attempt in range(CTRL_C_TRIES):
                existing = attempt % 4 == 3
                if existing:
                    write("opening", plain)
                run = start(program, "esecret", "/dev/stdin", "opening", stdin=subprocess.PIPE)
                # Looked at without a pause, and the run only now and then:
                # the opening is a matter of milliseconds.
                deadline = time.monotonic() + RUN_TIMEOUT
                for look in itertools.count():
                    if existing:
                        begun = os.stat("opening").st_size == 0
                    else:
                        begun = any(name == "opening" or name.startswith(".cryptcore-")
                                    for name in os.listdir("."))
                    if begun or look % 1000 == 999 and (run.poll() is not None or
                                                        time.monotonic() > deadline):
                        break
                run.send_signal(signal.SIGINT)
                run.wait(timeout=RUN_TIMEOUT)
                run.stdin.close()
                if not removed_soon("opening", seconds=5):
                    left_by.append(attempt)
                    for path in ["opening"] + temporary_files():
                        if os.path.exists(path):
                            os.remove(path)
            check(f"{program} Ctrl-C as the output opens: tries {left_by} of {CTRL_C_TRIES} left "
                  "a file", not left_by)
            # A run killed outright (TerminateProcess, taskkill /f; here Wine's
            # process is sent SIGKILL) cannot take anything back: its new
            # output, never named, goes as the process ends.
            run = started_on_a_pipe(program, "esecret", "killed", bytes(CHUNK))
            run.kill()
            run.wait(timeout=RUN_TIMEOUT)
            run.stdin.close()
            check(f"{program} killed mid-run: a file left", removed_soon("killed"))
            run = start(program, "esecret", "big", "/dev/stdout", stdout=subprocess.PIPE)
            started = run.stdout.read(1)
            run.send_signal(signal.SIGINT)
            status = run.wait(timeout=RUN_TIMEOUT)
            run.stdout.close()
            check(f"{program} Ctrl-C while writing to a full pipe: status {status}",
                  started and status == STATUS_CONTROL_C_EXIT_UNDER_WINE)

            # A new output from an input that nobody else may read is kept as
            # private, and one from an input open to others gets what its
            # folder gives any new file (as one that cmd makes there). Wine
            # shows a file's ACL as its Linux mode.
            through_cmd("echo x> folder_default")
            folder_default = os.stat("folder_default").st_mode & 0o777
            for bits, private in ((0o600, True), (0o644, False)):
                write("in_mode", plain)
                os.chmod("in_mode", bits)
                windows(program, "esecret", "in_mode", "out_mode")
                mode = os.stat("out_mode").st_mode & 0o777
                check(f"{program} output from a {bits:o} input has mode {mode:o}",
                      mode & 0o007 == 0 if private else mode == folder_default)
                os.remove("out_mode")
        else:
            print("skipped: Ctrl-C and the private output's mode (they need Wine)")
        for path in ("cipher", "cipher_big", "enc", "log", "in_mode", "folder_default", exe):
            if os.path.exists(path):
                os.remove(path)
        if linux:
            # A passphrase beyond ASCII reaches the .exe as the bytes of the
            # ANSI code page (Windows-1252 in Wine's default locale), and
            # gives the file the Linux program makes from those bytes.
            ansi = dict(wine_env, LC_ALL="C.UTF-8")
            status = windows(program, "ecaf\u00e9", "keep", "ansi_exe.enc", env=ansi)
            native_status = native(program, b"ecaf\xe9", "keep", "ansi_linux.enc")
            check(f"{program} a passphrase in Windows-1252: not the Linux program's bytes",
                  status == 0 and native_status == 0 and
                  read("ansi_exe.enc") == read("ansi_linux.enc"))

    # A long file, which the .exe serves on two threads: back to the same
    # bytes, and the same ciphertext as the Linux program's.
    long_plain = pattern(80 * 65536 + 1000)
    write("long", long_plain)
    for program in exes:
        status = windows(program, "elong", "long", "long.enc")
        back = windows(program, "dlong", "long.enc", "long.dec") if status == 0 else status
        check(f"{program} a long file: statuses {status} and {back}, or other bytes back",
              status == 0 and back == 0 and read("long.dec") == long_plain)
        if linux:
            check(f"{program} a long file: not the Linux program's bytes",
                  native(program, "elong", "long", "long_linux.enc") == 0 and
                  read("long_linux.enc") == read("long.enc"))

    subprocess.run(["rm", "-rf", work])
    checked = "the recorded vectors and the Linux programs" if linux else "the recorded vectors"
    print(f"checked against {checked}")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
