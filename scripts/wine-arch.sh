# Sourced by the harness, test.sh, run.sh and the tools: which Windows programs
# this machine can run under Wine.
#
#   quolm_wine_arch      sets and exports QUOLM_WINE_ARCH ("win32 win64" or
#                        "win64") and QUOLM_WINE_ARCH_WHY (one line: why only
#                        win64); decided once, later calls reuse the result
#   quolm_wine_has_win32 true where 32-bit programs run
#   quolm_default_preset "i686" where 32-bit programs run, else "x86_64"
#   quolm_wine_loader    the command that runs Windows programs, in QUOLM_WINE
#
# Some kernels cannot run 32-bit Linux programs at all ("Exec format error"),
# Wine's 32-bit loader included, and Debian's /usr/bin/wine picks that loader
# whenever wine32 is installed. So the loader itself is run: package names
# say nothing about the kernel. QUOLM_WINE64_ONLY=1 forces the 64-bit-only
# mode on a machine that could run both (the harness's own test uses it).

QUOLM_WINE32_LOADER=${QUOLM_WINE32_LOADER:-/usr/lib/wine/wine}
QUOLM_WINE64_LOADER=${QUOLM_WINE64_LOADER:-/usr/lib/wine/wine64}
export QUOLM_WINE32_LOADER QUOLM_WINE64_LOADER

quolm_wine_arch() {
    [[ -n "${QUOLM_WINE_ARCH:-}" ]] && return 0
    local out
    if [[ "${QUOLM_WINE64_ONLY:-}" == 1 ]]; then
        QUOLM_WINE_ARCH=win64
        QUOLM_WINE_ARCH_WHY="forced by QUOLM_WINE64_ONLY=1"
    elif [[ ! -e "$QUOLM_WINE32_LOADER" ]]; then
        QUOLM_WINE_ARCH=win64
        QUOLM_WINE_ARCH_WHY="Wine's 32-bit loader $QUOLM_WINE32_LOADER is not installed"
    elif out=$(timeout 20 "$QUOLM_WINE32_LOADER" --version 2>&1); then
        QUOLM_WINE_ARCH="win32 win64"
        QUOLM_WINE_ARCH_WHY=""
    else
        QUOLM_WINE_ARCH=win64
        QUOLM_WINE_ARCH_WHY="this machine cannot run 32-bit programs ($QUOLM_WINE32_LOADER --version: $(tr '\n' ' ' <<<"${out:-no output}" | sed 's/ *$//'))"
    fi
    export QUOLM_WINE_ARCH QUOLM_WINE_ARCH_WHY
}

quolm_wine_has_win32() {
    quolm_wine_arch
    [[ "$QUOLM_WINE_ARCH" == *win32* ]]
}

quolm_default_preset() {
    if quolm_wine_has_win32; then echo i686; else echo x86_64; fi
}

# quolm_wine_loader: the command that runs a Windows program here, in
# QUOLM_WINE ("wine", or the 64-bit loader itself where 32-bit programs do not
# run; WINELOADER is then set too, so Wine's own child processes use it).
quolm_wine_loader() {
    quolm_wine_arch
    if quolm_wine_has_win32; then
        QUOLM_WINE=wine
    else
        QUOLM_WINE=$QUOLM_WINE64_LOADER
        export WINELOADER=$QUOLM_WINE64_LOADER
    fi
}
