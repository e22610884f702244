"""Every ```python and ```sh block of README.md and docs/*.md runs, so the documents cannot
drift from the code.

The blocks of one page run in order, in one scratch folder holding a copy of examples/
(the paths the documents use are those of a checkout's top folder), the Python blocks
sharing one namespace. A Python block with ``>>>`` prompts is a doctest: its printed
output must match. A shell block runs under ``bash -e -o pipefail`` with the installed
``quillon`` on PATH. A block whose fence says ``no-run`` (``` ```sh no-run ```) shows
what cannot run here: installing, or a cluster the tests do not have.
"""

from __future__ import annotations

import doctest
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w+)([^\n]*)\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def blocks(page: Path) -> list[tuple[str, int, str]]:
    """The runnable blocks of a page: (language, line of the fence, code)."""
    text = page.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        language, info, code = match.groups()
        if language in ("python", "sh") and "no-run" not in info.split():
            found.append((language, text.count("\n", 0, match.start()) + 1, code))
    return found


# The package's optional extras: a page that uses one is skipped where it is
# not installed (the sanitizer run has no Dask); the test script installs them all.
EXTRAS = {"dask", "distributed", "pandas", "polars", "pyarrow", "duckdb"}
IMPORTED = re.compile(r"^\s*(?:>>>\s*)?(?:import|from)\s+(\w+)", re.MULTILINE)


def run_python(code: str, name: str, line: int, namespace: dict[str, object]) -> None:
    for module in set(IMPORTED.findall(code)) & EXTRAS:
        pytest.importorskip(module)
    if ">>>" in code:
        test = doctest.DocTestParser().get_doctest(code, namespace, name, name, line)
        runner = doctest.DocTestRunner(verbose=False, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        runner.run(test, out=lambda report: pytest.fail(f"{name}:{line}: {report}", pytrace=False),
                   clear_globs=False)
        namespace.update(test.globs)
    else:
        exec(compile(code, f"{name}:{line}", "exec"), namespace)


def run_sh(code: str, name: str, line: int, folder: Path) -> None:
    environment = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", code], cwd=folder, env=environment,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"{name}:{line} exited {result.returncode}\n{result.stdout}{result.stderr}"


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_code_blocks_of_the_page_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    shutil.copytree(REPO / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    name = str(page.relative_to(REPO))
    namespace: dict[str, object] = {"__name__": "__main__"}
    for language, line, code in blocks(page):
        if language == "python":
            run_python(code, name, line, namespace)
        else:
            run_sh(code, name, line, tmp_path)


def test_the_pattern_finds_every_fence() -> None:
    # A fence it missed (an indented one, a typo after the backticks) would pass unrun.
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        opened = len(re.findall(r"^\s*```(?:python|sh)\b", text, re.MULTILINE))
        found = sum(match.group(1) in ("python", "sh") for match in FENCE.finditer(text))
        assert found == opened, page.name
