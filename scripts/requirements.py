"""Print every requirement of the project (build, runtime, test and dev extras)."""

import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parent.parent / "pyproject.toml").read_text())
requirements = list(project["build-system"]["requires"])
requirements += project["project"]["dependencies"]
for extra in project["project"]["optional-dependencies"].values():
    requirements += extra
print("\n".join(requirements))
