# The two commands of the README. Both set up whatever is missing first.
.PHONY: demo test env tools format lint sanitize

# What the package needs to build and run: all that the tour uses.
env:
	@scripts/bootstrap.sh

demo: env
	@.venv/bin/python examples/tour.py

# The suite also runs the figure script, hence the docs group (matplotlib).
test:
	@scripts/bootstrap.sh test docs
	.venv/bin/python -m pytest -q

# The developer tools: ruff, clang-format and matplotlib for the README's pictures.
tools:
	@scripts/bootstrap.sh dev docs

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (its own .venv-asan and build-asan/; see scripts/sanitize.sh).
sanitize:
	@scripts/sanitize.sh

format: tools
	.venv/bin/ruff format src tests examples scripts bench
	.venv/bin/clang-format -i $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')

lint: tools
	.venv/bin/ruff check src tests examples scripts bench
	.venv/bin/ruff format --check src tests examples scripts bench
	.venv/bin/clang-format --dry-run -Werror $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')
