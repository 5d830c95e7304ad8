"""Every Python block of the README and of docs/ runs: a page's blocks in order
in one namespace, in an empty folder (pages showing the same blocks run once).
A block after `<!-- skip: REASON -->` is not run; a page importing an optional
package that is not installed is skipped; one starting a Dask cluster is marked
`distributed`. What a block states about its result it asserts itself."""

import copy
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^(?:<!-- skip: (?P<reason>[^\n]+?) -->\n)?```python\n(?P<code>.*?)^```\s*$", re.S | re.M)
IMPORT = re.compile(r"^\s*(?:from|import)\s+([A-Za-z_]\w*)", re.M)
# Packages every install has (the runtime dependency and the standard library's used here).
ALWAYS = {"plovik", "numpy", "pickle", "copy", "os", "warnings", "math", "threading", "signal", "tempfile"}


def _blocks(page):
    """(line, code, reason to skip or None) of each Python block of a page."""
    text = page.read_text()
    return [
        (text.count("\n", 0, m.start("code")) + 1, m.group("code"), m.group("reason")) for m in BLOCK.finditer(text)
    ]


def _runs():
    """Pages grouped by their runnable blocks (the README's example is the getting-started page's)."""
    groups = {}
    for page in PAGES:
        code = tuple(c for _, c, reason in _blocks(page) if reason is None)
        if code:
            groups.setdefault(code, []).append(page)
    marks = {code: [pytest.mark.distributed] if "LocalCluster" in "".join(code) else [] for code in groups}
    return [
        pytest.param(pages, id="+".join(p.name for p in pages), marks=marks[code]) for code, pages in groups.items()
    ]


def test_blocks_are_found():
    """The pattern sees every fenced Python block (a block it missed would go untested)."""
    for page in PAGES:
        assert len(_blocks(page)) == page.read_text().count("```python"), page.name


@pytest.mark.parametrize("pages", _runs())
def test_page_blocks_run(pages, tmp_path, monkeypatch):
    page = pages[0]
    runnable = [(line, code) for line, code, reason in _blocks(page) if reason is None]
    modules = set(IMPORT.findall("".join(code for _, code in runnable))) - ALWAYS
    for module in sorted(modules):
        pytest.importorskip(module)
    monkeypatch.chdir(tmp_path)
    config = None
    if "dask" in modules:  # a page may set Dask's configuration for the process: restored after
        import dask

        config, saved = dask.config.config, copy.deepcopy(dask.config.config)
    namespace = {"__name__": "__main__"}
    try:
        for line, code in runnable:
            exec(compile(code, f"{page.name}, block at line {line}", "exec"), namespace)
    finally:
        if config is not None:
            config.clear()
            config.update(saved)
