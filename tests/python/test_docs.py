"""Every python example in docs/*.md and the README runs: a block of `>>>` lines is checked as
a doctest, any other block runs as a script whose asserts must hold. Blocks of one file share a
namespace, in order, as a reader would type them."""
import doctest
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_examples_run(page):
    text = page.read_text()  # (first line number, source) of every fenced python block
    found = [(text.count("\n", 0, m.start()) + 2, m.group(1)) for m in FENCE.finditer(text)]
    assert found or page.name != "guide.md", "the guide has examples"
    namespace = {"__name__": "__docs__"}
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    for line, source in found:
        where = f"{page.name}:{line}"
        if source.lstrip().startswith(">>>"):
            test = doctest.DocTestParser().get_doctest(source, namespace, where, str(page), line)
            runner = doctest.DocTestRunner(optionflags=flags)
            out = []
            runner.run(test, out=out.append, clear_globs=False)
            assert runner.failures == 0, "".join(out)
            namespace.update(test.globs)
        else:
            if "import numpy" in source:
                pytest.importorskip("numpy")
            exec(compile(source, where, "exec"), namespace)
