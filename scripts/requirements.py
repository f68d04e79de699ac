"""Print the requirements of the project, one a line, from pyproject.toml.

    scripts/requirements.py run test   # the package's dependencies, then the group "test"
    scripts/requirements.py --minimum  # the dependencies pinned to their lower bounds
    scripts/requirements.py test --exclude sphinx  # a group without some of its packages

A requirement keeps its environment marker (pip installs only those whose marker holds for
the interpreter it runs on), so the lower bounds of every interpreter can be listed.

"run" stands for the package's own dependencies; every other name is one of the
[dependency-groups] (build, test, docs, dev, release).
"""

import argparse
import re
import sys
import tomllib
from pathlib import Path

PROJECT = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())


def group(name, seen=()):
    if name == "run":
        return list(PROJECT["project"]["dependencies"])
    groups = PROJECT["dependency-groups"]
    if name not in groups or name in seen:
        sys.exit(f"no dependency group {name!r} (there are: run, {', '.join(groups)})")
    found = []
    for entry in groups[name]:
        if isinstance(entry, dict):  # {include-group = "other"}
            found += group(entry["include-group"], (*seen, name))
        else:
            found.append(entry)
    return found


def minimum(requirement):
    """'numpy>=2.1.0' -> 'numpy==2.1.0'; the other clauses (upper bounds) are dropped, an
    environment marker ("; python_version < '3.14'") is kept."""
    specifier, _, marker = requirement.partition(";")
    match = re.fullmatch(r"([A-Za-z0-9_.-]+)\s*(?:\[[^]]*\])?\s*(.*)", specifier.strip())
    name, clauses = match[1], match[2]
    bounds = [c.strip()[2:].strip() for c in clauses.split(",") if c.strip().startswith(">=")]
    if len(bounds) != 1:
        sys.exit(f"{requirement!r} has no single lower bound (>=)")
    return f"{name}=={bounds[0]}" + (f"; {marker.strip()}" if marker.strip() else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("groups", nargs="*", default=["run"])
    parser.add_argument(
        "--minimum", action="store_true", help="the package's dependencies at their lower bounds"
    )
    parser.add_argument(
        "--exclude", action="append", default=[], help="leave out this package (repeatable)"
    )
    args = parser.parse_args()
    if args.minimum:
        print("\n".join(minimum(r) for r in group("run")))
        return
    left_out = {name.lower() for name in args.exclude}
    wanted = [r for name in args.groups for r in group(name)]
    print(
        "\n".join(r for r in wanted if re.match(r"[A-Za-z0-9_.-]+", r)[0].lower() not in left_out)
    )


if __name__ == "__main__":
    main()
