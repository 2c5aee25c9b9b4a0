#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora (fuzz/seeds/<target>/) from the shared known vectors and a few cases
of our own. Run it again after peer/test/vectors.json changes; the output is deterministic."""

from __future__ import annotations

import hashlib
import json
import shutil
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
VECTORS = HERE.parent / "peer" / "test" / "vectors.json"

DECODER_OF = {
    "VecF64": "decode_vec_f64",
    "MatF64": "decode_mat_f64",
    "CloseStep": "decode_close_step",
    "VecMatF64": "decode_vec_mat_f64",
}


def frame(kind: int, seq: int, fn_id: int, payload: bytes = b"", version: int = 1, length: int | None = None) -> bytes:
    n = len(payload) if length is None else length
    return struct.pack("<BBHIHHI", version, kind, 0, seq, fn_id, 0, n) + payload


def own_cases() -> dict[str, list[tuple[str, bytes]]]:
    u32 = lambda v: struct.pack("<I", v)  # noqa: E731
    f64 = lambda v: struct.pack("<d", v)  # noqa: E731
    return {
        "decode_vec_f64": [("unaligned_two", u32(2) + struct.pack("<dd", 1.5, -0.0))],
        "decode_mat_f64": [
            ("count_overflow_64", u32(0x80000000) + u32(0x40000000)),
            ("one_by_three", u32(1) + u32(3) + struct.pack("<3d", 1, 2, 3)),
        ],
        "decode_close_step": [("two", u32(2) + struct.pack("<iiiidd", 1, 2, -1, 2, 0.5, 1.0))],
        "decode_vec_mat_f64": [
            ("vector_then_header_cut", u32(1) + struct.pack("<d", 2.0) + u32(1)),
            ("vector_count_huge", u32(0xFFFFFFFF) + bytes(8)),
        ],
        "check_incoming": [
            ("response_empty", frame(2, 1, 15)),
            ("declared_max", frame(2, 1, 15, length=0xFFFFFFFF)),
            ("kind_255", frame(255, 3, 3, b"xyz")),
            ("version_0_ping", frame(4, 9, 9, b"a", version=0)),
        ],
        "error_payload": [
            ("surrogate_and_overlong", struct.pack("<HHI", 1, 2, 9) + b"\xed\xa0\x80\xc0\xaf\xe0\x80\xaf" + b"!"),
            ("cut_four_byte", struct.pack("<HHI", 7, 7, 3) + b"\xf0\x9f\x98"),
            ("max_code_point", struct.pack("<HHI", 0, 0, 8) + b"\xf4\x8f\xbf\xbf\xf4\x90\x80\x80"),
        ],
        "origin": [
            (name, b"\x01" + text)
            for name, text in [
                ("loopback", b"http://127.0.0.1"),
                ("loopback_slash", b"http://127.0.0.1/"),
                ("loopback_port", b"http://127.0.0.1:5173"),
                ("localhost_port_slash", b"http://localhost:3000/"),
                ("https_localhost", b"https://localhost"),
                ("other_loopback", b"http://127.0.0.2"),
                ("longer_address", b"http://127.0.0.10"),
                ("upper_case", b"http://LOCALHOST"),
                ("null", b"null"),
                ("file", b"file://"),
                ("one_slash", b"/"),
                ("three_slashes", b"///"),
                ("suffix_host", b"http://localhost.example.net"),
                ("suffix_address", b"http://127.0.0.1.example.net"),
                ("hosted_first", b"https://ui.tradesim.example"),
                ("hosted_second_path", b"https://app.tradesim.example.io/app/"),
                ("hosted_suffix", b"https://ui.tradesim.example.io"),
                ("tab_inside", b"http://localhost\t"),
                ("control_byte", b"http://localhost\x01"),
                ("high_byte", b"http://localhost\xc3\xa9"),
            ]
        ]
        + [("absent", b"\x00")],
        # choice (0 reset_episode, 1 place_order, 2 place_ticket), flag bits, headroom, then the arguments
        "requests": [
            ("reset_test_index_3", b"\x00\x01\x10" + u32(3)),
            ("order_every_option", b"\x01\x3f\x10" + f64(1.25) + u32(100) + f64(0.01) + f64(2.5) + f64(0) + f64(7)),
            ("order_bare", b"\x01\x03\x00" + f64(1.25) + u32(100)),
            ("ticket_two_levels", b"\x02\x0d\x05" + u32(5) + f64(1.5) + f64(0.0)),
        ],
    }


def main() -> None:
    vectors = json.loads(VECTORS.read_text())
    seeds: dict[str, list[tuple[str, bytes]]] = {}

    def add(target: str, name: str, data: bytes) -> None:
        seeds.setdefault(target, []).append((name, data))

    for v in vectors["payloads"] + vectors["payload_errors"]:
        add(DECODER_OF[v["format"]], v["name"], bytes.fromhex(v["hex"]))
    for v in vectors["frames"] + vectors["frame_errors"]:
        add("check_incoming", v["name"], bytes.fromhex(v["hex"]))
    for v in vectors["error_payloads"]:
        add("error_payload", v["name"], bytes.fromhex(v["hex"]))
    for target, cases in own_cases().items():
        for name, data in cases:
            add(target, name, data)

    out = HERE / "seeds"
    shutil.rmtree(out, ignore_errors=True)
    for target, cases in sorted(seeds.items()):
        d = out / target
        d.mkdir(parents=True)
        for name, data in cases:
            (d / name).write_bytes(data)
        print(f"{target}: {len(cases)} seeds")
    # A digest of everything written, so a stale corpus shows up in review.
    h = hashlib.sha256()
    for p in sorted(out.rglob("*")):
        if p.is_file():
            h.update(p.relative_to(out).as_posix().encode() + b"\0" + p.read_bytes())
    print("digest", h.hexdigest()[:16])


if __name__ == "__main__":
    main()
