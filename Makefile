# The two commands of the README. Both set up whatever is missing first.
.PHONY: demo test docs env tools format lint sanitize

# The interpreter: CPython 3.13 in .venv by default; another one with, for example,
# `make test PYTHON=python3.14`, in an environment of its own (.venv-3.14).
PYTHON ?=
export PYTHON
VENV := $(if $(PYTHON),.venv-$(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null),.venv)

# What the package needs to build and run: all that the tour uses.
env:
	@scripts/bootstrap.sh

demo: env
	@$(VENV)/bin/python examples/tour.py

# The suite also runs the figure script, hence the docs group (matplotlib). It runs on
# every processor (pytest-xdist), at most 8 at once: each worker holds numpy, scipy, pandas
# and dask. `make test PYTEST_WORKERS=0` runs it in one process.
PYTEST_WORKERS ?= auto --maxprocesses=8
test:
	@scripts/bootstrap.sh test docs
	$(VENV)/bin/python -m pytest -q -n $(PYTEST_WORKERS)

# The documentation site (docs/): the user guide, the API reference and the gallery, into
# build/docs/html, Sphinx's warnings as errors; then the examples of the API pages run as
# doctests against the compiled modules (on the pages just read: -d shares them).
docs:
	@scripts/bootstrap.sh test docs
	$(VENV)/bin/python -m sphinx -W --keep-going -q -E -b html -d build/docs/doctrees docs build/docs/html
	$(VENV)/bin/python -m sphinx -W --keep-going -q -b doctest -d build/docs/doctrees docs build/docs/doctest

# The developer tools: ruff, clang-format and matplotlib for the README's pictures.
tools:
	@scripts/bootstrap.sh dev docs

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (its own .venv-asan and build-asan/; see scripts/sanitize.sh).
sanitize:
	@scripts/sanitize.sh

format: tools
	$(VENV)/bin/ruff format src tests examples scripts bench docs
	$(VENV)/bin/clang-format -i $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')

lint: tools
	$(VENV)/bin/ruff check src tests examples scripts bench docs
	$(VENV)/bin/ruff format --check src tests examples scripts bench docs
	$(VENV)/bin/clang-format --dry-run -Werror $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')
