"""The examples in the README and in the module's docstring run as printed."""
import doctest
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
    for k, block in enumerate(blocks):
        test = parser.get_doctest(block, {}, f"README block {k}", str(README), 0)
        runner.run(test)
    assert runner.failures == 0


def test_readme_links_work_off_the_repository():
    # PyPI shows the README without the repository around it: relative paths and heading
    # anchors lead nowhere there.
    targets = re.findall(r"\]\(([^)\s]+)\)", README.read_text())
    assert targets, "no links found; the pattern no longer matches the README"
    assert [t for t in targets if not t.startswith("https://")] == []


def test_metadata_names_the_project_pages():
    from importlib import metadata
    urls = dict(u.split(", ", 1) for u in metadata.metadata("quorvalent").get_all("Project-URL"))
    assert set(urls) >= {"Homepage", "Source", "Issues", "Changelog"}
    assert all(u.startswith("https://") for u in urls.values())
