# Sourced by .ci/run and scripts/ci_aarch64.sh: `step NAME COMMAND...` runs one step, prints
# its time as it ends, and adds that line to `timings`, which each prints at its end.
timings=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
  echo "-- $name: $((SECONDS - start)) s"
}
