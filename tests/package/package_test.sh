#!/usr/bin/env bash
# The Debian package as a user gets it, unpacked into a scratch root: its
# command checks a pty standing in for an adapter (--dry-run), then starts
# the packaged program on it in the launcher's own prefix; the package's
# files are then removed as dpkg would, and nothing may be left.
#
#   package_test.sh PACKAGE.deb WININFO.EXE   (inside tests/harness/sandbox.sh)
set -uo pipefail

DEB=${1:?usage: package_test.sh PACKAGE.deb WININFO.EXE}
QD_WININFO=${2:?usage: package_test.sh PACKAGE.deb WININFO.EXE}
QD_REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QD_NAME=package
# shellcheck source=../../tools/demo/lib.sh
source "$QD_REPO_DIR/tools/demo/lib.sh"
[[ "${QUOLM_SANDBOX:-}" == 1 && -n "${QUOLM_PAIR2_A:-}" ]] || { echo "package: run inside tests/harness/sandbox.sh" >&2; exit 1; }

WORK=$(mktemp -d "${QUOLM_BUILD_DIR:-/tmp}/package-work.XXXXXX")
ROOT=$WORK/root
LAUNCHER_PID=""
cleanup() {
    if [[ -n "$LAUNCHER_PID" ]]; then
        kill "$LAUNCHER_PID" 2>/dev/null || true
        WINEPREFIX=$WORK/data/quolm-portwright/wine wineserver -k >/dev/null 2>&1 || true
    fi
    # The run's server writes the prefix until it ends.
    WINEPREFIX=$WORK/data/quolm-portwright/wine timeout 60 wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WORK"
}
trap cleanup EXIT
failures=0
fail() { echo "package: FAILED: $*" >&2; failures=$((failures + 1)); }

mkdir -p "$ROOT"
dpkg-deb -x "$DEB" "$ROOT" || { fail "dpkg-deb could not unpack $DEB"; exit 1; }
CMD=$ROOT/usr/bin/quolm-portwright
PTY=$(readlink -f "$QUOLM_PAIR2_A")

out=$("$CMD" --dry-run --com 1="$QUOLM_PAIR2_A" 2>&1)
if [[ $? -eq 0 && "$out" == *"COM1 = $PTY"* ]]; then echo "package: ok: quolm-portwright --dry-run"; else fail "--dry-run said: $out"; fi

# A start in the launcher's own prefix, made on first use in the user's data directory.
mkdir -p "$WORK/home" "$WORK/data"
(cd "$WORK/home" && exec env -u WINEPREFIX HOME=$WORK/home XDG_DATA_HOME=$WORK/data "$CMD" --com 1="$QUOLM_PAIR2_A") >"$WORK/launcher.out" 2>&1 &
LAUNCHER_PID=$!
if qd_wait_window 300; then
    items=$(WINEPREFIX=$WORK/data/quolm-portwright/wine wine "$QD_WININFO" --items "Quolm-Portwright" 2>/dev/null | tr -d '\r' | paste -sd ' ')
    if [[ "$items" == COM1 ]]; then echo "package: ok: the packaged program runs with COM1"; else fail "the port selector lists '$items', expected 'COM1'"; fi
    WINEPREFIX=$WORK/data/quolm-portwright/wine wine "$QD_WININFO" --close "Quolm-Portwright" >/dev/null 2>&1
    for _ in $(seq 120); do kill -0 "$LAUNCHER_PID" 2>/dev/null || break; sleep 0.5; done
    if kill -0 "$LAUNCHER_PID" 2>/dev/null; then fail "the launcher did not end after the program closed"; else LAUNCHER_PID=""; fi
else
    fail "the packaged program's window did not appear; the launcher said:"
fi
sed 's/^/    /' "$WORK/launcher.out"

# Removal: every file and link of the package, then its directories.
while read -r path; do
    rm -f "$ROOT/$path" || fail "cannot remove $path"
done < <(dpkg-deb --fsys-tarfile "$DEB" | tar -t | grep -v '/$')
dpkg-deb --fsys-tarfile "$DEB" | tar -t | grep '/$' | sort -r | while read -r dir; do
    rmdir "$ROOT/$dir" 2>/dev/null || true
done
left=$(find "$ROOT" -mindepth 1 2>/dev/null)
if [[ -z "$left" ]]; then echo "package: ok: nothing is left after the removal"; else fail "left after the removal: $left"; fi

[[ $failures -eq 0 ]] && echo "package: passed"
exit $((failures > 0))
