#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root.
# Idempotent: when every package is already there it returns at once.
#
# A package mirror can serve a broken index for days (seen: the security
# suite's i386 index "Mirror sync in progress?"). Then the index is fetched
# again a few times, and if the packages still cannot be installed, they are
# installed from the suites whose indexes did download; the output says which
# suite was left out and why. It fails only when the packages really cannot be
# installed, and names them.
#
# Environment: QUOLM_APT_RETRIES (default 3) attempts of each index update.
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
    # The Debian package: checked with lintian (dpkg-deb comes with dpkg)
    lintian
    # unshare, mount, flock, pgrep used by the harness
    procps util-linux mount
)
RETRIES=${QUOLM_APT_RETRIES:-3}

say() { echo "setup.sh: $*"; }

if [[ $(id -u) -ne 0 ]]; then
    echo "setup.sh: run as root (it installs Debian packages)" >&2
    exit 1
fi

missing_packages() {
    local pkg status
    for pkg in "${PACKAGES[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        [[ "$status" == installed ]] || echo "$pkg"
    done
}

mapfile -t missing < <(missing_packages)
has_i386=0
dpkg --print-foreign-architectures | grep -qx i386 && has_i386=1

if [[ ${#missing[@]} -eq 0 && $has_i386 -eq 1 ]]; then
    say "all packages present"
    exit 0
fi

say "installing ${missing[*]}"
# 32-bit Wine needs the i386 architecture; wait for any other apt run.
APT=(apt-get -q -o DPkg::Lock::Timeout=900)
[[ $has_i386 -eq 1 ]] || dpkg --add-architecture i386
WORK=$(mktemp -d /tmp/quolm-setup.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# update_indexes LOG [APT-OPTIONS...]: apt-get update, retried while an index
# fails. Returns 0 when every index came; the last attempt's output is in LOG.
update_indexes() {
    local log=$1 attempt
    shift
    for ((attempt = 1; attempt <= RETRIES; attempt++)); do
        if "${APT[@]}" "$@" update 2>&1 | tee "$log" && ! grep -q '^E: ' "$log"; then
            return 0
        fi
        if [[ $attempt -lt $RETRIES ]]; then
            say "an index failed to download (attempt $attempt of $RETRIES); again in $((attempt * 10)) s"
            sleep $((attempt * 10))
        fi
    done
    return 1
}

# failed_suites LOG: "URI SUITE" of every index that apt could not fetch,
# read from its "Err:N URI SUITE[/COMPONENT] ..." lines.
failed_suites() {
    sed -nE 's|^Err:[0-9]+ ([a-z+]+://[^ ]+) ([^ /]+).*|\1 \2|p' "$1" | sort -u
}

# without_suites LEFT-OUT FILE: FILE (one-line .list or deb822 .sources) with
# every listed suite of the same URI removed; entries left without a suite go.
without_suites() {
    awk -v leftout="$1" -v deb822="$([[ $2 == *.sources ]] && echo 1 || echo 0)" '
        BEGIN {
            n = split(leftout, lines, "\n")
            for (i = 1; i <= n; i++) if (split(lines[i], f, " ") == 2) drop[f[1] " " f[2]] = 1
        }
        function norm(u) { sub(/\/+$/, "", u); return u }
        function gone(uri, suite) { return ((norm(uri) " " suite) in drop) || ((uri " " suite) in drop) }
        # One-line form: deb [options] URI SUITE COMPONENT...
        deb822 == 0 {
            if ($1 !~ /^deb(-src)?$/) { print; next }
            i = 2
            if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
            if (gone($i, $(i + 1))) next
            print; next
        }
        # deb822: paragraphs separated by blank lines.
        function flush(   k, uris, suites, kept, u, s, nu, ns, line) {
            if (np == 0) return
            nu = split(uri_field, uris, " "); ns = split(suite_field, suites, " ")
            kept = ""
            for (s = 1; s <= ns; s++) {
                keep = 0
                for (u = 1; u <= nu; u++) if (!gone(uris[u], suites[s])) keep = 1
                if (keep) kept = kept (kept == "" ? "" : " ") suites[s]
            }
            if (suite_field == "" || kept != "") {
                for (k = 1; k <= np; k++) {
                    line = para[k]
                    if (line ~ /^Suites:/) line = "Suites: " kept
                    print line
                }
                print ""
            }
            np = 0; uri_field = ""; suite_field = ""
        }
        deb822 == 1 && /^[ \t]*$/ { flush(); next }
        deb822 == 1 {
            para[++np] = $0
            if ($0 ~ /^URIs:/) { uri_field = $0; sub(/^URIs:[ \t]*/, "", uri_field) }
            if ($0 ~ /^Suites:/) { suite_field = $0; sub(/^Suites:[ \t]*/, "", suite_field) }
        }
        END { if (deb822 == 1) flush() }
    ' "$2"
}

install_packages() { # install_packages LOG [APT-OPTIONS...]
    local log=$1
    shift
    "${APT[@]}" "$@" install -y "${missing[@]}" 2>&1 | tee "$log"
    return "${PIPESTATUS[0]}"
}

installed=0
if update_indexes "$WORK/update.log"; then
    install_packages "$WORK/install.log" && installed=1
else
    say "some indexes still fail after $RETRIES attempts; trying with those that came"
    install_packages "$WORK/install.log" && installed=1
    if [[ $installed -eq 0 ]]; then
        leftout=$(failed_suites "$WORK/update.log")
        if [[ -n "$leftout" ]]; then
            # The same sources without the failing suites, in a directory of
            # our own: the machine's source list is left as it was.
            mkdir -p "$WORK/sources.list.d"
            : >"$WORK/sources.list"
            [[ -f /etc/apt/sources.list ]] && without_suites "$leftout" /etc/apt/sources.list >"$WORK/sources.list"
            for src in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
                [[ -f "$src" ]] || continue
                without_suites "$leftout" "$src" >"$WORK/sources.list.d/$(basename "$src")"
            done
            while read -r uri suite; do
                say "leaving out the suite $suite of $uri: its index failed to download:"
                grep -A1 -E "^Err:[0-9]+ $uri $suite" "$WORK/update.log" | grep -vE '^(Err|--)' |
                    sed 's/^ */setup.sh:     /' | sort -u
            done <<<"$leftout"
            ALT=(-o "Dir::Etc::SourceList=$WORK/sources.list" -o "Dir::Etc::SourceParts=$WORK/sources.list.d")
            update_indexes "$WORK/update-alt.log" "${ALT[@]}" || say "other indexes fail too; trying with those that came"
            install_packages "$WORK/install-alt.log" "${ALT[@]}" && installed=1
            if [[ $installed -eq 1 ]]; then
                say "installed without the suites left out above; their updates are missing until the mirror recovers"
            fi
        fi
    fi
fi

mapfile -t still < <(missing_packages)
if [[ ${#still[@]} -gt 0 ]]; then
    echo "setup.sh: these packages could not be installed: ${still[*]}" >&2
    for log in "$WORK"/install*.log; do
        [[ -f "$log" ]] && grep -E '^(E:| [^ ].*: (Depends|Breaks|Conflicts))' "$log" | sed 's/^/setup.sh:   /' >&2
    done
    exit 1
fi
say "done"
