#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root.
# Idempotent: when every package is already there it returns at once.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

PACKAGES=(
    # Cross compilers (posix thread model) and the build tools
    mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    cmake ninja-build git
    # Libraries: zlib for the About logo, GoogleTest sources for the tests
    libz-mingw-w64-dev googletest
    # Native fuzzing: clang with libFuzzer and the sanitizer runtimes
    clang libclang-rt-14-dev
    # Running under Wine, headless, with pty null-modem pairs
    wine wine32:i386 wine64 xvfb socat
    # The harness's modem-line preload library, for 32- and 64-bit Wine
    gcc gcc-multilib
    # Screenshots and window handling for the demo and window tests
    xdotool imagemagick x11-utils
    # The simulated serial device of the demo and the end-to-end test
    python3
    # unshare, mount, flock, pgrep used by the harness
    procps util-linux mount
)

if [[ $(id -u) -ne 0 ]]; then
    echo "setup.sh: run as root (it installs Debian packages)" >&2
    exit 1
fi

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == installed ]] || missing+=("$pkg")
done
has_i386=0
dpkg --print-foreign-architectures | grep -qx i386 && has_i386=1

if [[ ${#missing[@]} -eq 0 && $has_i386 -eq 1 ]]; then
    echo "setup.sh: all packages present"
    exit 0
fi

echo "setup.sh: installing ${missing[*]}"
# 32-bit Wine needs the i386 architecture; wait for any other apt run.
APT=(apt-get -q -o DPkg::Lock::Timeout=900)
[[ $has_i386 -eq 1 ]] || dpkg --add-architecture i386
"${APT[@]}" update
"${APT[@]}" install -y "${missing[@]}"

still=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == installed ]] || still+=("$pkg")
done
if [[ ${#still[@]} -gt 0 ]]; then
    echo "setup.sh: still missing: ${still[*]}" >&2
    exit 1
fi
echo "setup.sh: done"
