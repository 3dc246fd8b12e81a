#!/bin/sh
# Receive benchmarks and soak. From the repository, with a built tree:
#   tools/bench_receive/run.sh build/<dir> [MB]
# (MB for the throughput run; the terminal streams 100 MB of lines, then
# 100 MB without a line end.)
# Everything runs inside tests/harness/sandbox.sh. The vanishing-peer run
# uses a pty pair of its own (mapped as COM20) so that it can be killed.
set -e
build=${1:?build dir}
mb=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
exe="$build/tools/bench_receive/bench_receive.exe"
sandbox="$repo/tests/harness/sandbox.sh"
echo "load: $(cat /proc/loadavg)"
"$sandbox" --build-dir "$build" sh -c "
  wine '$exe' idle 10
  echo 'with modem lines (null-modem library):'
  LD_PRELOAD=\$QUOLM_NULLMODEM_PRELOAD wine '$exe' idle 10
  wine '$exe' throughput $mb
  wine '$exe' terminal 100
  wine '$exe' terminal 100 x
  wine '$exe' soak 100
  wine '$exe' cycles 1000"
echo "load: $(cat /proc/loadavg)"

dir=$(mktemp -d /tmp/bench-receive.XXXXXX)
socat PTY,link="$dir/win",raw,echo=0 PTY,link="$dir/peer",raw,echo=0 &
spid=$!
trap 'kill $spid 2>/dev/null || true; rm -rf "$dir"' EXIT
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$dir/peer" ] && break; sleep 0.2; done
( while [ ! -e "$dir/kill" ] && [ -d "$dir" ]; do sleep 0.1; done; kill $spid 2>/dev/null ) &
QUOLM_VANISH_PORT=20 QUOLM_VANISH_PTY="$dir/peer" QUOLM_VANISH_FLAG="$dir/kill" \
  "$sandbox" --build-dir "$build" --map COM20="$dir/win" wine "$exe" vanish
