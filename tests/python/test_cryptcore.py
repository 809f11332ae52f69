# SPDX-License-Identifier: Apache-2.0
# The Python package against the recorded vectors and the C header, and every
# way a call can end. CRYPTCORE_LIBRARY names the library to test.
import ctypes
import ctypes.util
import hashlib
import io
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import cryptcore
from cryptcore import _native

SOURCE = Path(__file__).resolve().parents[2]
DATA = SOURCE / "tests" / "data"
CHUNK = 65536


def rows(name):
    for line in (DATA / name).read_text().splitlines():
        if line and not line.startswith("#"):
            yield line.split("\t")


def plaintext(length):
    return bytes(i % 251 for i in range(length))


def schedule_of(program):
    return {"singlecrypt": cryptcore.SINGLE, "cascadecrypt": cryptcore.CASCADE}[program]


@pytest.mark.parametrize("program,passphrase,length,size,digest", list(rows("files.tsv")))
def test_recorded_files(program, passphrase, length, size, digest, tmp_path):
    schedule, key, data = schedule_of(program), bytes.fromhex(passphrase), plaintext(int(length))
    if size == "refused":
        assert cryptcore.encrypted_size(len(data), schedule=schedule) is None
        with pytest.raises(cryptcore.LengthUnsupported):
            cryptcore.encrypt(data, key, schedule=schedule)
        return
    blob = cryptcore.encrypt(data, key, schedule=schedule)
    assert (len(blob), hashlib.sha256(blob).hexdigest()) == (int(size), digest)
    assert cryptcore.encrypted_size(len(data), schedule=schedule) == len(blob)
    assert cryptcore.decrypt(blob, key, schedule=schedule) == data
    (tmp_path / "plain").write_bytes(data)
    cryptcore.encrypt_file(tmp_path / "plain", tmp_path / "enc", key, schedule=schedule)
    assert (tmp_path / "enc").read_bytes() == blob
    cryptcore.decrypt_file(str(tmp_path / "enc"), os.fsencode(tmp_path / "dec"), bytearray(key), schedule=schedule)
    assert (tmp_path / "dec").read_bytes() == data


def reference_cbc(key, iv, data):
    """AES-256-CBC with PKCS #7 padding from the platform's libcrypto."""
    crypto = ctypes.CDLL(ctypes.util.find_library("crypto"))
    crypto.EVP_CIPHER_CTX_new.restype = crypto.EVP_aes_256_cbc.restype = ctypes.c_void_p
    context, out, length, total = crypto.EVP_CIPHER_CTX_new(), ctypes.create_string_buffer(len(data) + 32), ctypes.c_int(), 0
    try:
        assert crypto.EVP_EncryptInit_ex(ctypes.c_void_p(context), ctypes.c_void_p(crypto.EVP_aes_256_cbc()), None, key, iv) == 1
        assert crypto.EVP_EncryptUpdate(ctypes.c_void_p(context), out, ctypes.byref(length), data, len(data)) == 1
        total = length.value
        assert crypto.EVP_EncryptFinal_ex(ctypes.c_void_p(context), ctypes.byref(out, total), ctypes.byref(length)) == 1
        return out.raw[: total + length.value]
    finally:
        crypto.EVP_CIPHER_CTX_free(ctypes.c_void_p(context))


# Each passphrase (empty, with zero bytes) reaches the key schedule whole.
@pytest.mark.parametrize("passphrase,key1,iv1,key2,iv2", list(rows("keys.tsv")))
def test_recorded_keys(passphrase, key1, iv1, key2, iv2):
    key = bytes.fromhex(passphrase)
    single = reference_cbc(bytes.fromhex(key1), bytes.fromhex(iv1), b"x" * 20)
    assert cryptcore.encrypt(b"x" * 20, key, schedule=cryptcore.SINGLE) == single
    cascade = reference_cbc(bytes.fromhex(key2), bytes.fromhex(iv2), single)
    assert cryptcore.encrypt(memoryview(b"x" * 20), key, schedule=cryptcore.CASCADE) == cascade


def test_constants_and_functions_match_the_header():
    header = (SOURCE / "core" / "include" / "cryptcore" / "cryptcore.h").read_text()
    enums = {name: int(value) for name, value in re.findall(r"\bCRYPTCORE_(\w+)\s*=\s*(\d+)", header)}
    ours = {e.name: int(e) for kind in (cryptcore.Status, cryptcore.Schedule, _native.Direction) for e in kind}
    assert ours == enums
    assert set(_native.PROTOTYPES) == set(re.findall(r"\b(cryptcore_\w+)\s*\(", header))


def pieces(data, cuts):
    edges = [0, *sorted(cuts), len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


def check_any_split(length, cuts, start, schedule):
    """Encrypting and decrypting in any pieces gives what one call does."""
    data = random.Random(start).randbytes(length)
    if cryptcore.encrypted_size(length, schedule=schedule) is None:
        return
    blob = cryptcore.encrypt(data, b"split", schedule=schedule)
    encryptor = cryptcore.Encryptor(b"split", schedule=schedule)
    assert b"".join(map(encryptor.update, pieces(data, cuts))) + encryptor.finalize() == blob
    decryptor = cryptcore.Decryptor(bytearray(b"split"), schedule=schedule)
    cuts = [cut * len(blob) // max(length, 1) for cut in cuts]
    assert b"".join(decryptor.update(bytearray(p)) for p in pieces(blob, cuts)) + decryptor.finalize() == data


try:
    from hypothesis import given, settings, strategies

    @settings(max_examples=150, deadline=None)
    @given(
        strategies.integers(0, 3 * CHUNK + 100).flatmap(
            lambda n: strategies.tuples(strategies.just(n), strategies.lists(strategies.integers(0, n), max_size=6))
        ),
        strategies.integers(0, 2**32),
        strategies.sampled_from([cryptcore.SINGLE, cryptcore.CASCADE]),
    )
    def test_any_split_equals_one_call(length_and_cuts, start, schedule):
        check_any_split(*length_and_cuts, start, schedule)

except ImportError:

    def test_any_split_equals_one_call():
        generator = random.Random(20)
        for _ in range(150):
            length = generator.choice([generator.randrange(3 * CHUNK + 100), generator.randrange(100)])
            cuts = [generator.randrange(length + 1) for _ in range(generator.randrange(7))]
            check_any_split(length, cuts, generator.randrange(2**32), generator.choice(list(cryptcore.Schedule)))


def test_writer_and_reader_stream_the_format(tmp_path):
    data = plaintext(3 * CHUNK + 1000)
    blob = cryptcore.encrypt(data, b"pw", schedule=cryptcore.CASCADE)
    sink = io.BytesIO()
    with cryptcore.open(sink, "wb", b"pw", schedule=cryptcore.CASCADE) as writer:
        shutil.copyfileobj(io.BytesIO(data), writer, 1000)
    assert sink.getvalue() == blob and not sink.closed
    with cryptcore.open(io.BytesIO(blob), "rb", b"pw", schedule=cryptcore.CASCADE) as reader:
        assert reader.readable() and not reader.writable()
        parts = iter(lambda: reader.read(777), b"")
        assert b"".join(parts) == data
    (tmp_path / "enc").write_bytes(blob)
    with cryptcore.open(tmp_path / "enc", "rb", b"pw", schedule=cryptcore.CASCADE) as reader:
        copy = io.BytesIO()
        shutil.copyfileobj(reader, copy)
    assert copy.getvalue() == data and reader.closed


def refusing_writer(sink):
    writer = cryptcore.open(sink, "wb", b"pw", schedule=cryptcore.CASCADE)
    writer.write(plaintext(65519))
    writer.close()


def damaged_reader(_sink):
    blob = bytearray(cryptcore.encrypt(plaintext(1000), b"pw", schedule=cryptcore.SINGLE))
    blob[-1] ^= 1
    cryptcore.open(io.BytesIO(blob), "rb", b"pw", schedule=cryptcore.SINGLE).read()


def spent_encryptor(_sink):
    encryptor = cryptcore.Encryptor(b"pw", schedule=cryptcore.SINGLE)
    encryptor.finalize()
    encryptor.update(b"more")


def stop_at_first_call(done):
    return False


def raise_in_callback(done):
    raise LookupError(done)


def interrupt_in_callback(done):
    signal.raise_signal(signal.SIGINT)


# Each failure of a file run: (input, output, passphrase, progress, error).
# The input is 100,000 bytes of plaintext or ciphertext (under "pw"); after
# every failure no output is left.
FILE_FAILURES = {
    "missing input": ("missing", "out", "encrypt", None, cryptcore.InputOpenFailed),
    "output in a missing folder": ("in", "missing/out", "encrypt", None, cryptcore.OutputOpenFailed),
    "output is the input": ("in", "in", "encrypt", None, cryptcore.OutputOpenFailed),
    "unreadable input": ("/proc/self/mem", "out", "encrypt", None, cryptcore.ReadFailed),
    "full device": ("in", "/dev/full", "encrypt", None, cryptcore.WriteFailed),
    "wrong passphrase": ("enc", "out", "decrypt", None, cryptcore.CipherFailed),
    "progress says stop": ("in", "out", "encrypt", stop_at_first_call, cryptcore.Cancelled),
    "progress raises": ("in", "out", "encrypt", raise_in_callback, LookupError),
    "interrupted in progress": ("enc", "out", "decrypt", interrupt_in_callback, KeyboardInterrupt),
}


@pytest.mark.parametrize("case", FILE_FAILURES, ids=str)
def test_file_run_failures(case, tmp_path, monkeypatch):
    input_name, output_name, direction, progress, error = FILE_FAILURES[case]
    monkeypatch.chdir(tmp_path)
    Path("in").write_bytes(plaintext(100000))
    Path("enc").write_bytes(cryptcore.encrypt(plaintext(100000), b"pw", schedule=cryptcore.SINGLE))
    run = cryptcore.encrypt_file if direction == "encrypt" else cryptcore.decrypt_file
    passphrase = b"wrong" if case == "wrong passphrase" else b"pw"
    with pytest.raises(error) as raised:
        run(input_name, output_name, passphrase, schedule=cryptcore.SINGLE, progress=progress)
    if isinstance(raised.value, cryptcore.Error):
        assert raised.value.status == error.status
    if isinstance(raised.value, OSError):
        assert raised.value.filename in (input_name, output_name)
        assert str(raised.value).endswith(repr(raised.value.filename))
    assert not Path("out").exists() and Path("in").read_bytes() == plaintext(100000)


@pytest.mark.parametrize(
    "make_error,error",
    [
        (refusing_writer, cryptcore.LengthUnsupported),
        (damaged_reader, cryptcore.CipherFailed),
        (spent_encryptor, cryptcore.InvalidArgument),
        (lambda _: cryptcore.encrypt(b"data", "pw", schedule=cryptcore.SINGLE), TypeError),
        (lambda _: cryptcore.Decryptor(b"pw", schedule=3), ValueError),
        (lambda _: cryptcore.decrypt(b"data", b"pw"), TypeError),
        (lambda _: cryptcore.open(io.BytesIO(), "ab", b"pw", schedule=cryptcore.SINGLE), ValueError),
        (lambda _: cryptcore.encrypt_file("in\0x", "out", b"pw", schedule=cryptcore.SINGLE), ValueError),
    ],
)
def test_errors_in_memory(make_error, error):
    with pytest.raises(error) as raised:
        make_error(io.BytesIO())
    if issubclass(error, cryptcore.Error):
        assert raised.value.status == error.status


# A run that a signal stops while the library works, with no Python running:
# the output is taken back before the process ends as the signal says.
ENDLESS_RUN = """
import resource, signal, sys, cryptcore
signal.signal(signal.SIGINT, signal.default_int_handler)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 30, 1 << 30))
cryptcore.encrypt_file("/dev/zero", sys.argv[1], b"pw", schedule=cryptcore.SINGLE)
"""


def output_descriptors(pid, folder):
    """The /proc paths of the files that process `pid` has open in `folder`."""
    found = []
    for name in os.listdir(f"/proc/{pid}/fd"):
        path = f"/proc/{pid}/fd/{name}"
        try:
            if os.readlink(path).startswith(f"{folder}/"):
                found.append(path)
        except OSError:
            pass
    return found


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM], ids=lambda n: n.name)
def test_signal_takes_the_output_back(number, tmp_path):
    output = tmp_path / "out"
    run = subprocess.Popen([sys.executable, "-c", ENDLESS_RUN, output], stderr=subprocess.PIPE)
    try:
        # A new output has no name until the run succeeds: it is found among
        # the process's open files, in the output's folder.
        for _ in range(1000):
            if any(os.stat(fd).st_size > 0 for fd in output_descriptors(run.pid, tmp_path)):
                break
            time.sleep(0.01)
        run.send_signal(number)
        _, errors = run.communicate(timeout=30)
    finally:
        run.kill()
    assert run.returncode == -number, errors.decode()
    assert (b"KeyboardInterrupt" in errors) == (number == signal.SIGINT)
    assert not output.exists()
