"""The documentation site: its examples run as printed, its links lead somewhere, its reference
covers every public name and the command line's --help, and it builds with no warning."""
import doctest
import os
import random
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

pytest.importorskip("mkdocs")
pytest.importorskip("mkdocstrings")
pytest.importorskip("imagehash")
pytest.importorskip("pyarrow")
pytest.importorskip("pyspark")

import quorvalent_index  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.rglob("*.md"))
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```", re.S | re.M)
CHECKER = doctest.OutputChecker()
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def fenced(page):
    """(language, code, line) of each fenced block of a page."""
    text = page.read_text()
    return [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1) for m in FENCE.finditer(text)]


def make_photos(folder):
    """A folder of photos for the examples: eight scenes, three of them also saved smaller or at
    a lower quality, as a phone's library holds them."""
    from PIL import Image, ImageDraw
    folder.mkdir()
    rng = random.Random(5)
    for k in range(8):
        image = Image.new("RGB", (320, 240), tuple(rng.randrange(256) for _ in range(3)))
        draw = ImageDraw.Draw(image)
        for _ in range(12):
            x, y = rng.randrange(320), rng.randrange(240)
            draw.ellipse((x, y, x + rng.randrange(20, 120), y + rng.randrange(20, 120)),
                         fill=tuple(rng.randrange(256) for _ in range(3)))
        image.save(folder / f"IMG_{k:04d}.jpg", quality=95)
        if k < 3:
            image.resize((160, 120)).save(folder / f"IMG_{k:04d}_small.jpg", quality=80)
            image.save(folder / f"IMG_{k:04d}_copy.jpg", quality=40)


def run_console(block, cwd, env, where):
    """Runs each `$ command` of a console block in a shell, and checks what it prints (stdout and
    stderr, in order) against the lines the page shows under it; `...` matches anything."""
    commands = re.split(r"^\$ ", block, flags=re.M)[1:]
    assert commands, f"{where}: a console block without a $ command"
    for entry in commands:
        command, _, expected = entry.partition("\n")
        result = subprocess.run(command, shell=True, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)
        got = result.stdout + result.stderr
        assert CHECKER.check_output(expected, got, FLAGS), f"{where}: $ {command}\nexpected:\n{expected}\ngot:\n{got}"


@pytest.fixture
def spark_environment():
    # As the Spark tests set it up: workers run this interpreter, on loopback, without a UI. A
    # session a page starts is stopped after it, so that no later test inherits its settings.
    from pyspark.sql import SparkSession
    saved = {k: os.environ.get(k) for k in ("PYSPARK_PYTHON", "PYSPARK_DRIVER_PYTHON", "SPARK_LOCAL_IP")}
    os.environ.update(PYSPARK_PYTHON=sys.executable, PYSPARK_DRIVER_PYTHON=sys.executable, SPARK_LOCAL_IP="127.0.0.1")
    before = SparkSession.getActiveSession()
    yield
    started = SparkSession.getActiveSession()
    if started is not None and started is not before:
        started.stop()
    for key, value in saved.items():
        if value is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = value


RUNNABLE = [p for p in PAGES if any(lang in ("python", "console") for lang, _, _ in fenced(p))]


# PySpark's own notice about pandas 3, which the pages do not use.
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
@pytest.mark.parametrize("page", RUNNABLE, ids=[str(p.relative_to(DOCS)) for p in RUNNABLE])
def test_every_example_runs(page, tmp_path, monkeypatch, spark_environment):
    # Each page runs in a folder of its own holding the repository's sample hashes and a folder
    # of photos; its Python blocks share one namespace, in page order, as a reader runs them.
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    make_photos(tmp_path / "photos")
    monkeypatch.chdir(tmp_path)
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}", COLUMNS="100")
    # A module of its own, so that functions a page defines can be sent to worker processes.
    module = types.ModuleType(f"docs_page_{page.stem.replace('-', '_')}")
    monkeypatch.setitem(sys.modules, module.__name__, module)
    namespace = module.__dict__
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    for lang, code, line in fenced(page):
        where = f"{page.relative_to(ROOT)}:{line}"
        if lang == "python" and code.lstrip().startswith(">>>"):
            test = parser.get_doctest(code, namespace, where, str(page), line)
            runner.run(test, clear_globs=False)
        elif lang == "python":
            exec(compile(code, where, "exec"), namespace)
        elif lang == "console":
            run_console(code, tmp_path, env, where)
    assert runner.failures == 0, f"{runner.failures} doctest example(s) of {page.name} failed (above)"


def test_every_guide_has_examples_that_run():
    guides = [DOCS / "index.md", DOCS / "getting-started.md", *sorted((DOCS / "how-to").glob("*.md"))]
    assert len(guides) >= 9
    assert [g.name for g in guides if g not in RUNNABLE] == []


def test_no_example_hides_in_a_block_that_does_not_run():
    # Only installation and build commands may sit in blocks the tests do not run: anything a
    # reader would copy to get a result goes in a python or console block.
    setup = ("pip ", "python3 -m venv", "bash scripts/", "cmake ", "taskset ", ".venv/bin/", "python benchmarks/",
             "python scripts/", "mkdocs ", "sudo ", "apt-get ")
    for page in PAGES:
        for lang, code, line in fenced(page):
            if lang in ("python", "console", "text", "mermaid"):
                continue
            for command in code.splitlines():
                if command.strip() and not command.lstrip().startswith("#"):
                    assert command.lstrip().startswith(setup), f"{page.relative_to(ROOT)}:{line} runs nowhere: {command}"


def test_internal_links_lead_to_a_page_and_a_heading():
    def anchors(page):
        # The toc extension's slugs: lower case, punctuation dropped, spaces to hyphens.
        headings = re.findall(r"^#+ (.*)$", FENCE.sub("", page.read_text()), flags=re.M)
        return {re.sub(r"[\s]+", "-", re.sub(r"[^\w\s-]", "", h.strip().lower())) for h in headings}

    checked = 0
    for page in PAGES:
        text = FENCE.sub("", page.read_text())
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            assert linked.exists(), f"{page.relative_to(ROOT)} links to {target}, which does not exist"
            if anchor and linked.suffix == ".md":
                assert anchor in anchors(linked), f"{page.relative_to(ROOT)} links to {target}: no such heading"
            checked += 1
    assert checked >= 20


def test_the_command_line_page_is_the_parsers_help():
    result = subprocess.run([sys.executable, str(ROOT / "scripts" / "cli_reference.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    page = (DOCS / "reference" / "cli.md").read_text()
    for command in ("pairs", "query", "groups", "dedup", "sweep"):
        assert f"## `quorvalent-index {command}`" in page


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    out = tmp_path_factory.mktemp("site")
    result = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(out)],
                            cwd=ROOT, capture_output=True, text=True, env=dict(os.environ, NO_MKDOCS_2_WARNING="1"))
    assert result.returncode == 0, result.stdout + result.stderr
    return out


def test_the_site_builds_strictly_and_its_reference_names_every_public_name(site):
    html = "".join(p.read_text() for p in (site / "reference").rglob("*.html"))
    names = [f"quorvalent.{n}" for n in ("hamming_distance", "check_hexstrings_within_dist")]
    names += [f"quorvalent_index.{n}" for n in quorvalent_index.__all__ if not n.startswith("_")]
    names += [f"quorvalent_index.HashIndex.{n}" for n in dir(quorvalent_index.HashIndex) if not n.startswith("_")]
    from quorvalent_index import distributed, spark
    names += [f"quorvalent_index.spark.{n}" for n in spark.__all__]
    names += [f"quorvalent_index.distributed.{n}" for n in distributed.__all__]
    missing = [n for n in names if f'id="{n}"' not in html]
    assert missing == []


def test_every_plot_on_the_site_is_one_the_benchmarks_write():
    pictures = {p.name for p in (DOCS / "img").glob("*.png")}
    written = set()
    for script in (ROOT / "benchmarks").glob("*.py"):
        written |= set(re.findall(r"docs/img/(\w+\.png)", script.read_text()))
    assert pictures and pictures <= written
    shown = set()
    for page in PAGES:
        shown |= set(re.findall(r"img/(\w+\.png)", page.read_text()))
    assert shown == pictures


def raised_messages():
    """(file, the longest literal piece) of every message the package raises: Python's raise
    statements, and the C++ bindings' and cores' refusals and exceptions."""
    import ast
    found = []
    for source in sorted((ROOT / "python" / "quorvalent_index").glob("*.py")):
        for node in ast.walk(ast.parse(source.read_text())):
            if isinstance(node, ast.Raise) and isinstance(node.exc, ast.Call) and node.exc.args:
                message = node.exc.args[0]
                if isinstance(message, ast.Constant) and isinstance(message.value, str):
                    pieces = [message.value]
                elif isinstance(message, ast.JoinedStr):
                    pieces = [v.value for v in message.values if isinstance(v, ast.Constant)]
                else:
                    continue
                found.append((source.name, pieces))
    sources = [ROOT / "module" / "quorvalent_index.cpp", *sorted((ROOT / "core" / "codes").glob("*.[ch]pp")),
               *sorted((ROOT / "core" / "include" / "quorvalent").glob("*.hpp"))]
    call = re.compile(r'(?:refuse|_error|invalid_argument|out_of_range|PyErr_SetString|what\(\) const noexcept override)'
                      r'\s*\(([^;{]*?)\)\s*[;{,]|reason = ("[^;]*?);', re.S)
    for source in sources:
        text = source.read_text()
        # The reasons a hash is refused for are returned by one function of the bindings.
        reasons = re.search(r"\nstd::string text_reason\(.*?\n}\n", text, re.S)
        texts = re.findall(r'return ("[^;]*?);', reasons.group(0)) if reasons else []
        texts += [m.group(1) or m.group(2) or "" for m in call.finditer(text)]
        texts += re.findall(r'what\(\) const noexcept override \{ return ("[^"]*")', text)
        for piece_text in texts:
            pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', piece_text)
            found.append((source.name, [p.replace('\\"', '"') for p in pieces]))
    # A piece of fewer than six letters (", got ", " at offset ") says nothing on its own.
    return [(name, max(pieces, key=len)) for name, pieces in found
            if pieces and len(re.sub(r"[^A-Za-z]", "", max(pieces, key=len))) >= 6]


def test_the_errors_page_holds_every_message_raised():
    page = (DOCS / "reference" / "errors.md").read_text()
    messages = raised_messages()
    assert len(messages) >= 100, "the pattern no longer finds the messages"
    missing = sorted({f"{name}: {piece!r}" for name, piece in messages if piece not in page})
    assert missing == []
