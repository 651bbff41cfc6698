"""The examples in the README and in the module's docstring run as printed."""
import doctest
import importlib.util
import os
import re
from pathlib import Path

import quorvalent_index

README = Path(__file__).parents[2] / "README.md"


def test_module_docstring_examples():
    failures, tried = doctest.testmod(quorvalent_index, verbose=False)
    assert tried > 0 and failures == 0


def test_readme_examples():
    blocks = re.findall(r"```python\n(>>> .*?)```", README.read_text(), flags=re.S)
    assert len(blocks) >= 2
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    run = 0
    for k, block in enumerate(blocks):
        # A block that shows an optional package runs where that package is installed (the
        # test command installs them all, and fails rather than skip without them).
        needs = re.findall(r">>> import (\w+)", block)
        if any(importlib.util.find_spec(name) is None for name in needs) and not os.environ.get("QUORVALENT_REQUIRE_OPTIONAL"):
            continue
        runner.run(parser.get_doctest(block, {}, f"README block {k}", str(README), 0))
        run += 1
    assert run >= 2 and runner.failures == 0


def test_readme_links_work_off_the_repository():
    # PyPI shows the README without the repository around it: relative paths and heading
    # anchors lead nowhere there.
    targets = re.findall(r"\]\(([^)\s]+)\)", README.read_text())
    assert targets, "no links found; the pattern no longer matches the README"
    assert [t for t in targets if not t.startswith("https://")] == []


def test_metadata_names_the_project_pages():
    from importlib import metadata
    urls = dict(u.split(", ", 1) for u in metadata.metadata("quorvalent").get_all("Project-URL"))
    assert set(urls) >= {"Homepage", "Source", "Issues", "Changelog", "Documentation"}
    assert all(u.startswith("https://") for u in urls.values())


def test_the_readme_is_short_and_sends_readers_to_the_published_site():
    from importlib import metadata
    text = README.read_text()
    assert len(text.splitlines()) <= 150
    site = dict(u.split(", ", 1) for u in metadata.metadata("quorvalent").get_all("Project-URL"))["Documentation"]
    mkdocs = Path(__file__).parents[2] / "mkdocs.yml"
    if mkdocs.exists():  # beside the sources, not in an installed wheel's test run
        assert f"site_url: {site}" in mkdocs.read_text()
    pages = [t for t in re.findall(r"\]\(([^)\s]+)\)", text) if t.startswith(site)]
    assert len(pages) >= 5
