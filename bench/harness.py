"""Shared machinery of the Python benchmarks: running one task of workers.py
in a child process, repeating it, and describing the machine.

Only the standard library is used, so that this runs under any interpreter:
the project's venv for quillon and the peers' venv for the others.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
WORKERS = HERE / "workers.py"
PROJECT_PYTHON = REPO / ".venv" / "bin" / "python"
PEERS_PYTHON = HERE / ".venv" / "bin" / "python"


@dataclass
class Run:
    ok: bool
    seconds: float = 0.0
    cpu_seconds: float = 0.0
    value: int = 0
    peak_rss: int = 0
    baseline_rss: int = 0
    error: str = ""
    detail: dict[str, float] = field(default_factory=dict)


@dataclass
class Measurement:
    """The runs of one task on one input; `runs` excludes the warm-up."""

    task: str
    input_bytes: int
    runs: list[Run] = field(default_factory=list)
    error: str = ""

    @property
    def ok(self) -> bool:
        return not self.error and bool(self.runs)

    @property
    def seconds(self) -> float:
        return statistics.median(r.seconds for r in self.runs)

    @property
    def cpu_seconds(self) -> float:
        return statistics.median(r.cpu_seconds for r in self.runs)

    @property
    def peak_rss(self) -> float:
        return statistics.median(r.peak_rss for r in self.runs)

    @property
    def baseline_rss(self) -> float:
        return statistics.median(r.baseline_rss for r in self.runs)

    @property
    def value(self) -> int:
        return self.runs[-1].value

    def detail(self, key: str) -> float:
        return statistics.median(r.detail.get(key, 0.0) for r in self.runs)

    @property
    def mb_per_s(self) -> float:
        return self.input_bytes / self.seconds / 1e6

    @property
    def rss_ratio(self) -> float:
        return self.peak_rss / self.input_bytes


def run_task(python: Path | str, task: str, src: Path, dst: Path, timeout: float) -> Run:
    """One child process. Its peak RSS is the ru_maxrss that wait4 reports
    for it, so it covers the whole child, interpreter and imports included."""
    dst.unlink(missing_ok=True)
    with tempfile.TemporaryFile() as err:
        child = subprocess.Popen([str(python), str(WORKERS), task, str(src), str(dst)], stdout=subprocess.PIPE, stderr=err)
        lock = threading.Lock()
        expired = False

        def expire() -> None:
            nonlocal expired
            with lock:
                if child.returncode is None:
                    expired = True
                    child.kill()

        timer = threading.Timer(timeout, expire)
        timer.start()
        assert child.stdout is not None
        out = child.stdout.read().decode("utf-8", "replace")
        child.stdout.close()
        with lock:
            _, status, usage = os.wait4(child.pid, 0)
            child.returncode = os.waitstatus_to_exitcode(status)
        timer.cancel()
        err.seek(0)
        err_text = err.read().decode("utf-8", "replace")
    if expired:
        return Run(ok=False, error=f"no result within {timeout:.0f} s")
    try:
        report = json.loads(out.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        tail = (err_text or out).strip().splitlines()[-3:]
        return Run(ok=False, error=f"child exited {child.returncode}: {' / '.join(tail)}"[:500])
    if not report.get("ok"):
        return Run(ok=False, error=str(report.get("error", "unknown error")))
    return Run(
        ok=True,
        seconds=float(report["seconds"]),
        cpu_seconds=float(report["cpu_seconds"]),
        value=int(report["value"]),
        peak_rss=usage.ru_maxrss * 1024,
        baseline_rss=int(report["baseline_rss_bytes"]),
        detail=dict(report.get("detail", {})),
    )


def warm_page_cache(path: Path) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def describe_machine(pythons: dict[str, Path | str]) -> dict[str, str]:
    cpu = "unknown"
    flags: set[str] = set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name") and cpu == "unknown":
                cpu = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    simd = ", ".join(f for f in ("sse4_2", "avx2", "avx512f", "avx512bw") if f in flags) or "none listed"
    ram = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                ram = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    os_name = platform.system()
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                os_name = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    versions = {}
    for label, python in pythons.items():
        try:
            versions[label] = subprocess.run(
                [str(python), "-c", "import sys; print(sys.version.split()[0])"],
                capture_output=True,
                text=True,
                check=True,
            ).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            versions[label] = "unavailable"
    return {
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "cpu": cpu,
        "simd": simd,
        "cores": str(os.cpu_count()),
        "ram": ram,
        "os": f"{os_name}, Linux {platform.release()}",
        "python": ", ".join(f"{v} ({k})" for k, v in versions.items()),
        "load": load_average(),
    }


def load_average() -> str:
    try:
        return " ".join(Path("/proc/loadavg").read_text().split()[:3])
    except OSError:
        return "unknown"


def measure(
    python: Path | str, task: str, src: Path, dst: Path, runs: int, timeout: float, warmup: bool = True
) -> Measurement:
    """Median-ready runs of one task; a failed run ends the measurement,
    since the same input fails the same way again."""
    m = Measurement(task=task, input_bytes=src.stat().st_size)
    for i in range(runs + (1 if warmup else 0)):
        run = run_task(python, task, src, dst, timeout)
        if not run.ok:
            m.error = run.error
            break
        if i > 0 or not warmup:
            m.runs.append(run)
    dst.unlink(missing_ok=True)
    return m


def fmt_mb(n: float) -> str:
    return f"{n / 1e6:,.0f} MB"


def ratio(a: float, b: float) -> str:
    return f"{a / b:.1f}x" if b else "n/a"


def stderr(*args: object) -> None:
    print(*args, file=sys.stderr, flush=True)
