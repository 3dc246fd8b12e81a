#!/usr/bin/env bash
# Application benchmarks of Quolm.exe under Wine, inside the harness sandbox
# with COM1 as a pty pair (never a real port). See bench_app.py.
#
#   tools/bench_app/run-bench.sh [--build-dir DIR] [bench_app.py options...]
#
# DIR defaults to build/i686, or build/x86_64 where 32-bit programs cannot run
# (Quolm.exe, wininfo.exe and emptywin.exe built).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
# shellcheck source=../../scripts/wine-arch.sh
source scripts/wine-arch.sh
BUILD_DIR=build/$(quolm_default_preset)
if [[ "${1:-}" == --build-dir ]]; then
    BUILD_DIR=${2:?--build-dir needs a directory}
    shift 2
fi
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)
for f in app/Quolm.exe tools/demo/wininfo.exe tools/bench_app/emptywin.exe; do
    [[ -f "$BUILD_DIR/$f" ]] || { echo "run-bench: $BUILD_DIR/$f is missing (build first)" >&2; exit 1; }
done

exec bash tests/harness/sandbox.sh --build-dir "$BUILD_DIR" --device COM1 -- bash -c '
    exec python3 tools/bench_app/bench_app.py --pty "$QUOLM_DEVICE_PTY" "$@"' bench \
    --exe "$BUILD_DIR/app/Quolm.exe" --empty "$BUILD_DIR/tools/bench_app/emptywin.exe" \
    --wininfo "$BUILD_DIR/tools/demo/wininfo.exe" "$@"
