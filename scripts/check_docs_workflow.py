"""Checks the workflow that publishes the documentation site, which can only run on a forge:
it must build on pushes to main with the same strict command the full check runs, install what
the site needs from the package's own extra, publish the built folder to Pages with the
permissions Pages asks for, and the site's address must be the one the package's metadata names.
Exits non-zero with every problem found."""
from __future__ import annotations

import sys
import tomllib
from pathlib import Path

import yaml

ROOT = Path(__file__).resolve().parents[1]


def main() -> int:
    workflow = yaml.safe_load((ROOT / ".github/workflows/docs.yml").read_text())
    mkdocs = yaml.safe_load((ROOT / "mkdocs.yml").read_text())
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    problems = []
    # YAML reads the key `on` as True.
    triggers = workflow.get("on", workflow.get(True)) or {}
    if "main" not in (triggers.get("push") or {}).get("branches", []):
        problems.append("the workflow does not run on pushes to main")
    jobs = workflow.get("jobs", {})
    build = jobs.get("build", {})
    runs = [step.get("run", "") for step in build.get("steps", [])]
    uses = [step.get("uses", "") for job in jobs.values() for step in job.get("steps", [])]
    if not any("mkdocs build --strict" in r for r in runs):
        problems.append("the build job does not run `mkdocs build --strict`")
    if not any('pip install ".[docs]"' in r for r in runs):
        problems.append("the build job does not install the package with its docs extra")
    if not any("cli_reference.py --check" in r for r in runs):
        problems.append("the build job does not check the command-line page against the parser")
    if "docs" not in project.get("optional-dependencies", {}):
        problems.append("pyproject.toml has no docs extra")
    else:
        needed = {"mkdocs", "mkdocs-material", "mkdocstrings[python]"}
        names = {d.split(">")[0].split("=")[0].strip() for d in project["optional-dependencies"]["docs"]}
        if not needed <= names:
            problems.append(f"the docs extra lacks {sorted(needed - names)}")
    if not any(u.startswith("actions/upload-pages-artifact@") for u in uses):
        problems.append("the site is not uploaded as a Pages artifact")
    deploy = jobs.get("deploy", {})
    if not any(step.get("uses", "").startswith("actions/deploy-pages@") for step in deploy.get("steps", [])):
        problems.append("no job deploys to Pages")
    if deploy.get("permissions", {}) != {"pages": "write", "id-token": "write"}:
        problems.append("the deploy job needs exactly pages: write and id-token: write")
    if "build" not in ([deploy.get("needs")] if isinstance(deploy.get("needs"), str) else deploy.get("needs", [])):
        problems.append("the deploy job does not wait for the build")
    if "refs/heads/main" not in str(deploy.get("if", "")):
        problems.append("the deploy job is not limited to main (pull requests would publish)")
    # The upload step publishes the folder the build wrote.
    site_dirs = [r.split("--site-dir", 1)[1].split()[0] for r in runs if "--site-dir" in r]
    uploaded = [step.get("with", {}).get("path") for step in build.get("steps", [])
                if step.get("uses", "").startswith("actions/upload-pages-artifact@")]
    if not site_dirs or uploaded != site_dirs[:1]:
        problems.append(f"the build writes {site_dirs} but uploads {uploaded}")
    documentation = project.get("urls", {}).get("Documentation")
    if documentation != mkdocs.get("site_url"):
        problems.append(f"pyproject's Documentation URL {documentation} is not mkdocs.yml's site_url {mkdocs.get('site_url')}")
    if not mkdocs.get("strict"):
        problems.append("mkdocs.yml does not set strict: true")
    for problem in problems:
        print(f"docs workflow: {problem}", file=sys.stderr)
    if not problems:
        print("docs workflow: builds strictly on pushes to main and publishes to", documentation)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
