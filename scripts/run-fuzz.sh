#!/usr/bin/env bash
# Run every fuzz target (or the ones named) for a given time each and report
# executions and findings.
#
#   scripts/run-fuzz.sh [-t SECONDS] [--no-build] [--replay] [TARGET...]
#
# --replay runs every target once over its seed corpus (fuzz/corpus/<target>,
# the regression inputs included) instead of fuzzing: deterministic, seconds.
#
# TARGET is a name like `tokenizer` (fuzz/fuzz_tokenizer.cpp). The targets are
# built with the `asan` preset (clang, AddressSanitizer, UBSan, libFuzzer).
# Inputs the fuzzer finds interesting go to build/fuzz-work/<target>; the seed
# corpus in fuzz/corpus/<target> is only read. A crash or wrong answer leaves
# its input in build/fuzz-findings/<target>/; replay it with
#   build/preset-asan/fuzz/fuzz_<target> build/fuzz-findings/<target>/<file>
# Exit status: 0 when no target found anything, 1 when one did, 2 on a usage
# or build problem.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=60
build=1
replay=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t|--time) seconds="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --replay) replay=1; shift ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run-fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

if ! command -v clang++ >/dev/null 2>&1; then
  echo "run-fuzz: clang++ not found; run scripts/setup-fuzz.sh first" >&2
  exit 2
fi

bindir=build/preset-asan/fuzz
if [ "$build" = 1 ]; then
  { cmake --preset asan >/dev/null && cmake --build --preset asan -j "${KELVANE_JOBS:-1}" >/dev/null; } || {
    echo "run-fuzz: the asan build failed (cmake --build --preset asan)" >&2
    exit 2
  }
fi

if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do
    n=$(basename "$f" .cpp)
    targets+=("${n#fuzz_}")
  done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

if [ "$replay" = 1 ]; then
  status=0
  for t in "${targets[@]}"; do
    exe="$bindir/fuzz_$t"
    seeds=(fuzz/corpus/"$t"/*)
    if [ ! -x "$exe" ] || [ ! -f "${seeds[0]}" ]; then
      echo "run-fuzz: no target $t or no seeds in fuzz/corpus/$t" >&2
      status=2
      continue
    fi
    log="build/fuzz-work/$t.replay.log"
    mkdir -p build/fuzz-work
    if "$exe" "${seeds[@]}" >"$log" 2>&1; then
      printf '%-16s %4d seed input(s) replayed, no fault\n' "$t" "${#seeds[@]}"
    else
      printf '%-16s FAULT on a seed input (log %s)\n' "$t" "$log"
      tail -n 30 "$log"
      status=1
    fi
  done
  exit $status
fi

status=0
printf '%-16s %8s %14s %10s %8s  %s\n' target seconds executions exec/s corpus findings
for t in "${targets[@]}"; do
  exe="$bindir/fuzz_$t"
  if [ ! -x "$exe" ]; then
    echo "run-fuzz: no target $t ($exe)" >&2
    status=2
    continue
  fi
  work="build/fuzz-work/$t"
  findings="build/fuzz-findings/$t"
  seeds="fuzz/corpus/$t"
  mkdir -p "$work" "$findings"
  log="build/fuzz-work/$t.log"
  before=$(find "$findings" -type f | wc -l)
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  # fuzz/<target>.options: extra libFuzzer flags, one per line
  opts=()
  if [ -f "fuzz/$t.options" ]; then
    while IFS= read -r line; do [ -n "$line" ] && opts+=("$line"); done <"fuzz/$t.options"
  fi
  corpora=("$work")
  [ -d "$seeds" ] && corpora+=("$seeds")
  "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dict[@]}" "${opts[@]}" "${corpora[@]}" >"$log" 2>&1
  rc=$?
  after=$(find "$findings" -type f | wc -l)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(find "$work" -type f | wc -l)
  new=$((after - before))
  if [ "$rc" -ne 0 ] || [ "$new" -gt 0 ]; then
    status=1
    what="$new new input(s) in $findings (exit $rc; log $log)"
  else
    what="none"
  fi
  printf '%-16s %8s %14s %10s %8s  %s\n' "$t" "$seconds" "${execs:-?}" "${rate:-?}" "$corpus" "$what"
done
exit $status
