"""The documentation's Python examples run as they stand.

Every ```python block of README.md and docs/PYPI.md (the package index
page) is run on its own, as a reader would paste it into a file: a fresh
interpreter, imports included, nothing carried over from another block. It
runs in a directory where ``python -m quorvel_trellane.testing`` has written
its files (``passport.txt``, ``issuer.pub``, ``keys.json``, ``crl.json``,
``revoked.txt``), which is what the README tells a newcomer to do first,
with ``QUORVEL_AGENT_PASSPORT`` unset and no network but loopback: examples
that need an issuer serve one with ``quorvel_trellane.testing``.

Every ```python block runs: a fragment of a larger program is shown as
```text instead. A block that would move real money starts with ``# moves real money:
<why>``: its imports are run, and the whole block is type-checked with
mypy against the package (the SDKs' own annotations taken as they are).
Every example leaves the directory it runs in as it found it.

The README's table of contents is checked too: every link leads to a
heading, and every section (``##``) is listed.
"""

from __future__ import annotations

import ast
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from datetime import timedelta
from pathlib import Path

import pytest

import quorvel_trellane
from quorvel_trellane.testing._files import write_files

ROOT = Path(__file__).resolve().parents[1]
DOCUMENTS = ("README.md", *sorted(f"docs/{page.name}" for page in (ROOT / "docs").glob("*.md")))
# The subprocesses import the package this test run imports.
PACKAGE_ROOT = Path(quorvel_trellane.__file__).resolve().parents[1]
NOT_RUN = "# not run:"
MONEY = "# moves real money:"
# The SDKs' own modules are not checked against each other: x402's EVM scheme
# does not match its own server protocol to mypy, a fault that is not ours.
MYPY_CONFIG = "[mypy]\nwarn_unused_ignores = True\n[mypy-x402.*,eth_account.*]\nfollow_imports = skip\n"


@dataclass(frozen=True)
class Example:
    document: str
    line: int
    source: str

    @property
    def name(self) -> str:
        return f"{self.document}:{self.line}"


def examples(document: str) -> list[Example]:
    """The ```python blocks of a document, with the line each starts on."""
    found = []
    lines = (ROOT / document).read_text(encoding="utf-8").splitlines()
    start: int | None = None
    for number, line in enumerate(lines, 1):
        if start is None:
            if line.strip() == "```python":
                start = number
        elif line.strip() == "```":
            found.append(Example(document, start + 1, "\n".join(lines[start : number - 1]) + "\n"))
            start = None
    assert start is None, f"{document}:{start}: a code block is never closed"
    return found


ALL = [example for document in DOCUMENTS for example in examples(document)]


@pytest.fixture(scope="module")
def issuer_files(tmp_path_factory: pytest.TempPathFactory) -> Path:
    directory = tmp_path_factory.mktemp("issuer-files")
    write_files(
        str(directory),
        agent_did="did:example:agent",
        issuer_did="did:example:issuer",
        scopes=["payments:x402"],
        valid_for=timedelta(hours=24),
    )
    return directory


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


def test_the_documents_hold_python_examples():
    assert {example.document for example in ALL} >= {"README.md", "docs/PYPI.md"}


@pytest.mark.parametrize("example", ALL, ids=[example.name for example in ALL])
def test_each_python_example_runs_as_it_stands(example: Example, issuer_files: Path, mypy_cache: Path, tmp_path: Path):
    first = example.source.lstrip().splitlines()[0] if example.source.strip() else ""
    assert not first.startswith(NOT_RUN), f"{example.name}: make the example run, or fence a fragment as text"
    shutil.copytree(issuer_files, tmp_path, dirs_exist_ok=True)
    script = tmp_path / "example.py"
    script.write_text(example.source, encoding="utf-8")
    environ = {k: v for k, v in os.environ.items() if k != "QUORVEL_AGENT_PASSPORT"}
    environ["PYTHONPATH"] = str(PACKAGE_ROOT)
    if first.startswith(MONEY):
        (tmp_path / "mypy.ini").write_text(MYPY_CONFIG, encoding="utf-8")
        mypy = [sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--cache-dir", str(mypy_cache), "example.py"]
        if "site-packages" not in str(PACKAGE_ROOT):  # a checkout's src/: mypy finds an installed copy itself
            environ["MYPYPATH"] = str(PACKAGE_ROOT)
        checked = subprocess.run(mypy, cwd=tmp_path, env=environ, capture_output=True, text=True, check=False)
        assert checked.returncode == 0, f"{example.name} does not type-check:\n{checked.stdout}{checked.stderr}"
        tree = ast.parse(example.source)
        imports = [node for node in tree.body if isinstance(node, ast.Import | ast.ImportFrom)]
        script.write_text(ast.unparse(ast.Module(body=imports, type_ignores=[])), encoding="utf-8")
    if "libasan" in os.environ.get("LD_PRELOAD", "") and "x402" in example.source:
        # x402's EVM stack loads pycryptodome, which dlopens with RTLD_DEEPBIND: the sanitizer runtime refuses it.
        pytest.skip("x402's EVM stack cannot load under the sanitizer runtime (RTLD_DEEPBIND)")
    before = sorted(tmp_path.iterdir())
    result = subprocess.run(
        [sys.executable, str(script)],
        cwd=tmp_path,
        env=environ,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0, f"{example.name} failed:\n{result.stderr}"
    assert sorted(tmp_path.iterdir()) == before, f"{example.name} leaves files behind"


# -- the README's first example, serving requests ----------------------------------


def test_the_first_example_admits_a_verified_agent_and_its_handler_reads_the_verdict():
    import httpx

    from quorvel_trellane.demo import serve
    from quorvel_trellane.testing import Issuer, IssuerServer

    first = examples("README.md")[0]
    assert "FastAPI()" in first.source and '"https://issuer.example"' in first.source
    issuer = Issuer(issuer_did="did:web:issuer.example")
    agent = "did:web:agents.example.com:shopper-7"
    with IssuerServer(issuer) as issuer_server:
        namespace: dict[str, object] = {}
        source = first.source.replace('"https://issuer.example"', repr(issuer_server.url))
        exec(compile(source, first.name, "exec"), namespace)
        with serve(namespace["app"]) as url:

            def pay(credential: str | None) -> tuple[int, object]:
                headers = {} if credential is None else {"X-Agent-Passport": credential}
                response = httpx.post(f"{url}/pay", headers=headers, timeout=30)
                return response.status_code, response.json()

            assert pay(issuer.issue(agent_did=agent, scopes=["payments:x402"], spend_window="P1D")) == (
                200,
                {"agent": agent, "up_to_microusd": 25_000_000, "per": "P1D"},
            )
            assert pay(issuer.issue(agent_did=agent, scopes=["catalog:read"]))[0] == 403
            assert pay(Issuer(issuer_did="did:web:issuer.example").issue(agent_did=agent))[0] == 401
            assert pay(None)[0] == 401


# -- the table of contents --------------------------------------------------------


def _anchor(heading: str) -> str:
    """The anchor the repository host gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def test_the_readme_contents_lead_to_its_headings_and_list_every_section():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    assert len(text.splitlines()) <= 400, "the README fits on a few screens: move detail to its docs/ page"
    outside_code = re.sub(r"^```.*?^```", "", text, flags=re.M | re.S)
    headings = re.findall(r"^(#{2,4}) (.+)$", outside_code, re.M)
    anchors = {_anchor(title) for _, title in headings}
    contents = re.search(r"^## Contents\n(.*?)^## ", outside_code, re.M | re.S)
    assert contents, "README.md has no '## Contents' section"
    links = re.findall(r"\]\(#([^)]+)\)", contents.group(1))
    assert [link for link in links if link not in anchors] == []
    sections = [_anchor(title) for level, title in headings if level == "##" and title != "Contents"]
    assert [section for section in sections if section not in links] == [], "list these sections in ## Contents"
