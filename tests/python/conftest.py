"""Fixtures: the decode server and the serial reader as processes of their
own, the two emulated USB modules of this process (see run.sh), and the
scanid program as the reference reader."""

from __future__ import annotations

import json
import os
import re
import socket
import subprocess
import time
from pathlib import Path
from typing import Iterator, List, Optional

import pytest

CONTROL = Path(os.environ["SIM_READER_CONTROL"])


def announced(proc: subprocess.Popen, pattern: str, seconds: float = 20) -> str:
    """The first group of `pattern` in what `proc` prints."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        m = re.search(pattern, line)
        if m:
            return m.group(1)
    raise RuntimeError(f"{proc.args[0]} did not announce {pattern!r}")


def child_env(**extra: str) -> dict:
    """The environment of a program of the build: without this process's
    emulated modules."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.startswith("SIM_READER_")}
    env.update(extra)
    return env


@pytest.fixture(scope="session")
def server() -> Iterator[tuple]:
    proc = subprocess.Popen([os.environ["SIM_SERVER"], "--port", "0"], stdout=subprocess.PIPE,
                            text=True, env=child_env())
    try:
        yield ("127.0.0.1", int(announced(proc, r"listening on 127\.0\.0\.1:(\d+)")))
    finally:
        proc.terminate()
        proc.wait(10)


@pytest.fixture
def refusing_port() -> Iterator[int]:
    """A loopback port where nothing listens (bound, so nobody else takes it)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    try:
        yield s.getsockname()[1]
    finally:
        s.close()


class UsbModule:
    """One of this process's emulated modules, driven through its FIFO."""

    def __init__(self, port: str) -> None:
        self.port = port
        self.name = f"usb:{port}"

    def run(self, commands: str) -> None:
        with open(CONTROL / self.port, "w") as fifo:
            fifo.write(commands + "\n")


@pytest.fixture
def usb() -> Iterator[List[UsbModule]]:
    modules = [UsbModule("1-1"), UsbModule("1-2")]
    yield modules
    for m in modules:
        m.run("remove")
    time.sleep(0.3)  # the next test starts with both readers empty


class SerialModule:
    """sim-reader on a pseudo-terminal."""

    def __init__(self) -> None:
        self.proc = subprocess.Popen([os.environ["SIM_READER"], "--latency", "0"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=child_env())
        self.device = announced(self.proc, r"device: (\S+)")
        self.name = f"serial:{self.device}@115200"

    def run(self, commands: str) -> None:
        self.proc.stdin.write(commands + "\n")
        self.proc.stdin.flush()

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.terminate()
        self.proc.wait(10)


@pytest.fixture
def serial() -> Iterator[SerialModule]:
    module = SerialModule()
    yield module
    module.close()


def scanid_cli(args: List[str], env: Optional[dict] = None) -> dict:
    """What `scanid read --json` prints, parsed."""
    out = subprocess.run([os.environ["SCANID_CLI"], "read", "--json", *args], capture_output=True,
                         text=True, timeout=60, env=env or child_env())
    return json.loads(out.stdout)


@pytest.fixture(scope="session")
def catalogue_size() -> int:
    usage = subprocess.run([os.environ["SIM_READER"], "--help"], capture_output=True, text=True).stdout
    return int(re.search(r"identity card N \(1\.\.(\d+)\)", usage).group(1))
