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
