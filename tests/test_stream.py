"""The engine's seeded stream, bag shuffle and per-action seed against an independent ChaCha20.

The engine is reached through the small `chacha_dump` program built with the C++ tests; the
reference keystream comes from the `cryptography` package. `CORVELLE_CPP_BUILD` names a build
directory that holds it; without it the program is built into build/cpp-tests.
"""

from __future__ import annotations

import os
import random
import struct
import subprocess
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms
from hypothesis import given
from hypothesis import strategies as st

REPO = Path(__file__).resolve().parent.parent
ZERO = bytes(32)
COUNTING = bytes(range(32))
INT64 = st.integers(min_value=-(2**63), max_value=2**63 - 1)
KEYS = st.binary(min_size=32, max_size=32)


def _unavailable(message: str) -> None:
    if os.environ.get("CI") == "true":
        pytest.fail(message)
    pytest.skip(message)


@pytest.fixture(scope="session")
def chacha_dump() -> Path:
    given_dir = os.environ.get("CORVELLE_CPP_BUILD")
    if given_dir:
        exe = Path(given_dir) / "tests" / "cpp" / "chacha_dump"
        if not exe.is_file():
            pytest.fail(f"CORVELLE_CPP_BUILD={given_dir} holds no tests/cpp/chacha_dump")
        return exe
    build_dir = REPO / "build" / "cpp-tests"
    steps = [
        ["cmake", "-S", str(REPO), "-B", str(build_dir), "-G", "Ninja",
         "-DCORVELLE_MODULE=OFF", "-DCORVELLE_CPP_TESTS=ON"],
        ["cmake", "--build", str(build_dir), "--target", "chacha_dump"],
    ]
    for cmd in steps:
        try:
            done = subprocess.run(cmd, capture_output=True, text=True)
        except OSError as exc:
            _unavailable(f"cannot build chacha_dump: {exc}")
        if done.returncode != 0:
            _unavailable(f"cannot build chacha_dump: {' '.join(cmd)} failed:\n"
                         f"{done.stdout}\n{done.stderr}")
    return build_dir / "tests" / "cpp" / "chacha_dump"


def run_dump(exe: Path, *args: object) -> str:
    done = subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True, check=True)
    return done.stdout.strip()


# --- reference -------------------------------------------------------------------------------


def keystream(key: bytes, nbytes: int) -> bytes:
    # The 16-byte nonce argument is the counter and nonce words 12..15; all zero here.
    enc = Cipher(algorithms.ChaCha20(key, bytes(16)), mode=None).encryptor()
    return enc.update(bytes(nbytes)) + enc.finalize()


class RefStream:
    """The keystream read as little-endian 32-bit words."""

    def __init__(self, key: bytes) -> None:
        self._enc = Cipher(algorithms.ChaCha20(key, bytes(16)), mode=None).encryptor()

    def word(self) -> int:
        return int.from_bytes(self._enc.update(bytes(4)), "little")

    def byte(self) -> int:
        return self.word() & 0xFF


def ref_bounded_index(stream: RefStream, n: int) -> int:
    zone = ((n << (32 - n.bit_length())) - 1) & 0xFFFFFFFF
    while True:
        m = stream.word() * n
        if m & 0xFFFFFFFF <= zone:
            return m >> 32


def ref_shuffle(seed: bytes, ts: int) -> tuple[str, bytes]:
    key = bytearray(seed)
    for k, b in enumerate(struct.pack("<q", ts)):
        key[k] ^= b
    stream = RefStream(bytes(key))
    bag = list("ILJTSZO")
    for n in range(7, 1, -1):
        j = ref_bounded_index(stream, n)
        bag[n - 1], bag[j] = bag[j], bag[n - 1]
    return "".join(bag), bytes(stream.byte() for _ in range(32))


def ref_accept(seed: bytes, action: int, ts: int, idx: int) -> bytes:
    first = RefStream(seed)
    r = bytes(first.byte() for _ in range(16))
    material = struct.pack("<IqI", action, ts, idx) + r
    second = RefStream(material)
    return bytes(second.byte() for _ in range(32))


@pytest.mark.parametrize(
    "seed, bag, new_seed_prefix",
    [
        (ZERO, "ZLJIOTS", "77b86a15"),
        (bytes.fromhex("77b86a15c3b29f559873cb481232299cd5743151ac4b2d63ae198e7bb0a9011f"),
         "SZTIJOL", "cf3d510e"),
    ],
)
def test_reference_shuffle_reproduces_the_known_bags(seed: bytes, bag: str,
                                                     new_seed_prefix: str) -> None:
    got_bag, got_seed = ref_shuffle(seed, 0)
    assert (got_bag, got_seed.hex()[:8]) == (bag, new_seed_prefix)


def test_reference_accept_reproduces_the_known_seed() -> None:
    assert ref_accept(ZERO, 0, 0, 0).hex()[:8] == "b624fe5f"


# --- stream ----------------------------------------------------------------------------------


def test_zero_key_stream_starts_with_the_standard_keystream(chacha_dump: Path) -> None:
    out = run_dump(chacha_dump, ZERO.hex(), 16)
    assert out.startswith("76b8e0ad")
    assert out == keystream(ZERO, 64).hex()


# Lengths in words around the 16-word block boundaries.
@pytest.mark.parametrize("words", [0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 49, 100, 1000, 4097])
@pytest.mark.parametrize("key", [ZERO, COUNTING, bytes([0xFF] * 32)], ids=["zero", "counting", "ones"])
def test_stream_matches_reference_across_blocks(chacha_dump: Path, key: bytes, words: int) -> None:
    assert run_dump(chacha_dump, key.hex(), words) == keystream(key, 4 * words).hex()


@pytest.mark.parametrize("case", range(40))
def test_stream_matches_reference_for_random_keys(chacha_dump: Path, case: int) -> None:
    rng = random.Random(case)
    key = rng.randbytes(32)
    words = rng.randrange(1, 400)
    assert run_dump(chacha_dump, key.hex(), words) == keystream(key, 4 * words).hex()


@given(key=KEYS, words=st.integers(min_value=0, max_value=200))
def test_stream_matches_reference_property(chacha_dump: Path, key: bytes, words: int) -> None:
    assert run_dump(chacha_dump, key.hex(), words) == keystream(key, 4 * words).hex()


# --- shuffle and per-action seed -------------------------------------------------------------


@pytest.mark.parametrize(
    "seed, ts, expected",
    [
        (ZERO, 0, "ZLJIOTS 77b86a15c3b29f559873cb481232299cd5743151ac4b2d63ae198e7bb0a9011f"),
        (bytes.fromhex("77b86a15c3b29f559873cb481232299cd5743151ac4b2d63ae198e7bb0a9011f"), 0,
         "SZTIJOL cf3d510e2be93728ef58510e3030cc721eebc677e5b4335906d84de1dd75c94d"),
    ],
)
def test_shuffle_known_bags(chacha_dump: Path, seed: bytes, ts: int, expected: str) -> None:
    assert run_dump(chacha_dump, "shuffle", seed.hex(), ts) == expected


def test_shuffle_chain_matches_reference(chacha_dump: Path) -> None:
    seed = COUNTING
    for step in range(30):
        ts = step * 1_000_003 - 7
        bag, new_seed = ref_shuffle(seed, ts)
        assert run_dump(chacha_dump, "shuffle", seed.hex(), ts) == f"{bag} {new_seed.hex()}"
        seed = new_seed


@given(seed=KEYS, ts=INT64)
def test_shuffle_matches_reference(chacha_dump: Path, seed: bytes, ts: int) -> None:
    bag, new_seed = ref_shuffle(seed, ts)
    assert run_dump(chacha_dump, "shuffle", seed.hex(), ts) == f"{bag} {new_seed.hex()}"


def test_accept_event_known_seed(chacha_dump: Path) -> None:
    out = run_dump(chacha_dump, "accept", ZERO.hex(), 0, 0, 0)
    assert out == "b624fe5f4aa8699110fece1a22897b0f74f506f8723e022e0baa934d1590bf11"


@given(seed=KEYS, action=st.integers(min_value=0, max_value=7), ts=INT64,
       idx=st.integers(min_value=0, max_value=65535))
def test_accept_event_matches_reference(chacha_dump: Path, seed: bytes, action: int, ts: int,
                                        idx: int) -> None:
    out = run_dump(chacha_dump, "accept", seed.hex(), action, ts, idx)
    assert out == ref_accept(seed, action, ts, idx).hex()


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["00" * 31, "4"],
        ["zz" * 32, "4"],
        ["00" * 32, "-1"],
        ["00" * 32, "x"],
        ["shuffle", "00" * 32, "9223372036854775808"],
        ["accept", "00" * 32, "8", "0", "0"],
        ["accept", "00" * 32, "0", "0", "65536"],
    ],
)
def test_chacha_dump_refuses_bad_arguments(chacha_dump: Path, args: list[str]) -> None:
    done = subprocess.run([str(chacha_dump), *args], capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr.startswith("chacha_dump: ")
