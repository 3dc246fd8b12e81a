#!/bin/sh
# tools/bench_checks/run.sh build/<dir> [checks] [repeats] [rows]
#   defaults: 1000 checks at 50 ms, 1000 repeats every 100 ms, 10000 rows
set -e
build=${1:?build dir}
repo=$(cd "$(dirname "$0")/../.." && pwd)
exe="$build/tools/bench_checks/bench_checks.exe"
echo "load: $(cat /proc/loadavg)"
"$repo/tests/harness/sandbox.sh" --build-dir "$build" sh -c "
  wine '$exe' rtt ${2:-1000}
  wine '$exe' period ${3:-1000}
  wine '$exe' rows ${4:-10000}"
echo "load: $(cat /proc/loadavg)"
