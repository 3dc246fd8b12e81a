#!/bin/sh
# tools/bench_logview/run.sh build/<dir> [MB]   (default 100 MB a mode)
set -e
build=${1:?build dir}
mb=${2:-100}
repo=$(cd "$(dirname "$0")/../.." && pwd)
exe="$build/tools/bench_logview/bench_logview.exe"
echo "load: $(cat /proc/loadavg)"
"$repo/tests/harness/sandbox.sh" --build-dir "$build" sh -c "
  for m in terminal text hex capture lines; do wine '$exe' stream \$m $mb; done
  wine '$exe' stamps 100"
echo "load: $(cat /proc/loadavg)"
