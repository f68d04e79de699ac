# The two commands of the README. Both set up whatever is missing first.
.PHONY: demo test env format lint sanitize

env:
	@scripts/bootstrap.sh

demo: env
	@.venv/bin/python examples/tour.py

test: env
	.venv/bin/python -m pytest -q

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (its own .venv-asan and build-asan/; see scripts/sanitize.sh).
sanitize:
	@scripts/sanitize.sh

format: env
	.venv/bin/ruff format src tests examples scripts bench
	.venv/bin/clang-format -i $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')

lint: env
	.venv/bin/ruff check src tests examples scripts bench
	.venv/bin/ruff format --check src tests examples scripts bench
	.venv/bin/clang-format --dry-run -Werror $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')
