#!/usr/bin/env bash
# Starts Quolm-Portwright under Wine on Linux, for your own serial devices.
#
#   quolm-portwright [--com N=DEVICE]... [--dir DIR] [--exe QUOLM.EXE] [--listports] [--dry-run]
#
#   --com N=DEVICE  map DEVICE (e.g. /dev/serial/by-id/usb-FTDI_...) to COM N
#                   (1 to 256); give it once per device. Without it, every
#                   adapter in /dev/serial/by-id gets a COM number from COM1
#                   on, sorted by that name (the same adapter gets the same
#                   number each day), then any other /dev/ttyUSB*, /dev/ttyACM*.
#   --dir DIR       working directory of the program (default: the current
#                   one); a "quolm.dat" there is loaded at start-up
#   --exe PATH      the program to start, e.g. a Quolm.exe from a Windows zip
#                   (default: the installed or built program, 32-bit, or
#                   64-bit where 32-bit programs cannot run)
#   --listports     start the port lister instead (listports.exe)
#   --dry-run       check the devices and print the mapping, start nothing
#   -- ARGS...      arguments for the program
#
# The mapping is written to the Wine prefix in WINEPREFIX, or else to one of
# the launcher's own under ${XDG_DATA_HOME:-~/.local/share}/quolm-portwright.
# Ports that Wine maps by itself (every /dev/ttyS* for instance) are hidden
# from the program for the run. In a prefix of your own (WINEPREFIX), the
# launcher adds its mappings for the run and puts back what you had when the
# program ends; it refuses to start while other programs run in it.
set -uo pipefail

SELF=$(readlink -f "${BASH_SOURCE[0]}")
SCRIPT_DIR=$(dirname "$SELF")
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)
# Where the found devices are looked for (a test points it at its own ptys).
DEV_DIR=${QUOLM_SERIAL_DEV_DIR:-/dev}
BYID_DIR=${QUOLM_SERIAL_BYID_DIR:-$DEV_DIR/serial/by-id}

say() { echo "quolm-wine: $*"; }
fail() { # fail MESSAGE [WHAT-TO-DO...]
    echo "quolm-wine: error: $1" >&2
    shift
    local line
    for line in "$@"; do echo "quolm-wine:   $line" >&2; done
    exit 2
}
usage() { sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$SELF"; }

# --- arguments ----------------------------------------------------------------------
declare -A COM_DEVICE=()  # COM number -> device path as given
ORDER=()                  # COM numbers in the order given
WORK_DIR=$PWD
EXE=""
LISTPORTS=0
DRY_RUN=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --com | --com=*)
            if [[ "$1" == --com=* ]]; then spec=${1#--com=}; shift; else spec=${2-}; shift $(($# > 1 ? 2 : 1)); fi
            [[ "$spec" =~ ^([Cc][Oo][Mm])?([0-9]+)=(.+)$ ]] ||
                fail "--com wants N=DEVICE, not '${spec}'" "for example: --com 1=/dev/ttyUSB0"
            n=$((10#${BASH_REMATCH[2]})) dev=${BASH_REMATCH[3]}
            ((n >= 1 && n <= 256)) || fail "COM$n: the COM number must be 1 to 256"
            [[ -z "${COM_DEVICE[$n]:-}" ]] ||
                fail "COM$n is given twice (${COM_DEVICE[$n]} and $dev)" "give each COM number once"
            COM_DEVICE[$n]=$dev
            ORDER+=("$n")
            ;;
        --dir | --dir=*)
            if [[ "$1" == --dir=* ]]; then WORK_DIR=${1#--dir=}; shift; else WORK_DIR=${2-}; shift $(($# > 1 ? 2 : 1)); fi
            [[ -n "$WORK_DIR" ]] || fail "--dir wants a directory"
            ;;
        --exe | --exe=*)
            if [[ "$1" == --exe=* ]]; then EXE=${1#--exe=}; shift; else EXE=${2-}; shift $(($# > 1 ? 2 : 1)); fi
            [[ -n "$EXE" ]] || fail "--exe wants the path of Quolm.exe"
            ;;
        --listports) LISTPORTS=1; shift ;;
        --dry-run) DRY_RUN=1; shift ;;
        -h | --help) usage; exit 0 ;;
        --) shift; break ;;  # the rest goes to the program
        *) fail "unknown argument '$1'" "see: $0 --help" ;;
    esac
done

# --- the devices ----------------------------------------------------------------------
# is_tty_device PATH: true when PATH is a serial or pseudo-terminal slave in
# the kernel's tty driver table (/dev/null, /dev/tty, a console are not).
is_tty_device() {
    local major minor name path dmaj dmin type lo hi
    read -r major minor < <(stat -L -c '%t %T' "$1" 2>/dev/null) || return 1
    major=$((16#$major)) minor=$((16#$minor))
    while read -r name path dmaj dmin type; do
        [[ "$type" == serial || "$type" == pty:slave ]] || continue
        lo=${dmaj%-*} hi=${dmaj#*-}
        ((major >= lo && major <= hi)) || continue
        lo=${dmin%-*} hi=${dmin#*-}
        ((minor >= lo && minor <= hi)) && return 0
    done </proc/tty/drivers
    return 1
}

# stable_path PATH: the path written into Wine's mapping. The names udev keeps
# for an adapter (serial/by-id, serial/by-path) stay as they are, so a
# replugged adapter is found again; anything else is resolved.
stable_path() {
    local abs
    abs=$(cd "$(dirname "$1")" 2>/dev/null && echo "$PWD/$(basename "$1")") || abs=$1
    if [[ -L "$abs" && "$(dirname "$abs")" == */serial/by-id || -L "$abs" && "$(dirname "$abs")" == */serial/by-path ]]; then
        echo "$abs"
    else
        readlink -f "$abs"
    fi
}

if [[ ${#ORDER[@]} -eq 0 ]]; then
    n=0
    declare -A COVERED=()
    # Adapters by their stable names first, sorted by them.
    while IFS= read -r dev; do
        [[ -n "$dev" ]] || continue
        n=$((n + 1))
        COM_DEVICE[$n]=$dev
        ORDER+=("$n")
        COVERED[$(readlink -f "$dev")]=1
    done < <(compgen -G "$BYID_DIR/*" | LC_ALL=C sort)
    for pattern in 'ttyUSB*' 'ttyACM*'; do
        while IFS= read -r dev; do
            [[ -n "$dev" && -z "${COVERED[$(readlink -f "$dev")]:-}" ]] || continue
            n=$((n + 1))
            COM_DEVICE[$n]=$dev
            ORDER+=("$n")
        done < <(compgen -G "$DEV_DIR/$pattern" | sort -V)
    done
    if [[ ${#ORDER[@]} -eq 0 ]]; then
        say "no serial adapter found ($BYID_DIR, $DEV_DIR/ttyUSB*, $DEV_DIR/ttyACM*); the program starts without ports."
        say "plug one in, or name a device with --com N=DEVICE"
    fi
fi

declare -A SEEN=()  # real device path -> COM number
declare -A MAPPED=() # COM number -> path written into the mapping
for n in "${ORDER[@]}"; do
    dev=${COM_DEVICE[$n]}
    [[ -e "$dev" ]] || fail "$dev (COM$n) does not exist" \
        "is the adapter plugged in? Present now: $(compgen -G "$DEV_DIR/tty[UA][SC][BM]*" | sort -V | paste -sd ' ' | sed 's/^$/none/')"
    [[ -c "$dev" ]] || fail "$dev (COM$n) is not a serial device (not a character device)"
    is_tty_device "$dev" || fail "$dev (COM$n) is not a serial device: the kernel lists no serial or terminal driver for it ($(stat -L -c 'device %t:%T' "$dev"))" \
        "name the adapter, e.g. /dev/ttyUSB0 or one of /dev/serial/by-id/*"
    real=$(readlink -f "$dev")
    [[ -z "${SEEN[$real]:-}" ]] || fail "$dev is given twice (COM${SEEN[$real]} and COM$n)" "map each device once"
    SEEN[$real]=$n
    MAPPED[$n]=$(stable_path "$dev")
    if [[ ! -r "$dev" || ! -w "$dev" ]]; then
        owner=$(stat -L -c '%U:%G, mode %A' "$dev" 2>/dev/null)
        group=$(stat -L -c '%G' "$dev" 2>/dev/null)
        fail "you may not open $dev (COM$n; $owner)" \
            "add yourself to its group and log in again:  sudo usermod -aG ${group:-dialout} $(id -un)" \
            "(on Debian and Ubuntu serial adapters belong to the group dialout)"
    fi
done

# --- Wine ---------------------------------------------------------------------------------
# As the system has it: "wine" on the PATH (a distribution's package), WineHQ's
# /opt/wine-*/bin, Debian's /usr/lib/wine. QUOLM_WINE_SEARCH replaces the list.
find_wine() {
    local dirs=() d w
    if [[ -n "${QUOLM_WINE_SEARCH:-}" ]]; then
        IFS=: read -ra dirs <<<"$QUOLM_WINE_SEARCH"
    else
        w=$(command -v wine 2>/dev/null) && dirs+=("$(dirname "$w")")
        dirs+=(/opt/wine-stable/bin /opt/wine-staging/bin /opt/wine-devel/bin /usr/lib/wine)
    fi
    for d in "${dirs[@]}"; do
        [[ -x "$d/wine" || -x "$d/wine64" ]] || continue
        WINE_DIR=$d
        for w in wineserver wineserver64 wineserver32; do
            [[ -x "$d/$w" ]] && { WINESERVER=$d/$w; break; }
        done
        [[ -n "${WINESERVER:-}" ]] || WINESERVER=$(command -v wineserver 2>/dev/null) || WINESERVER=""
        [[ -n "$WINESERVER" ]] || fail "Wine's server is missing: found $d/wine, but no wineserver beside it or on the PATH" \
            "reinstall Wine (Debian and Ubuntu: sudo apt install --reinstall wine)"
        return 0
    done
    fail "Wine is not installed: no 'wine' on the PATH, nor in /opt/wine-*/bin or /usr/lib/wine" \
        "on Debian or Ubuntu:  sudo dpkg --add-architecture i386 && sudo apt update && sudo apt install wine wine64 wine32:i386" \
        "(where 32-bit programs cannot run, wine and wine64 are enough; or install WineHQ's packages)"
}
WINE_DIR="" WINESERVER=""
find_wine
# Debian's /usr/bin/wine is a script choosing between the loaders in
# /usr/lib/wine; elsewhere the loaders sit beside wine.
if [[ -x /usr/lib/wine/wine64 && "$(readlink -f "$WINE_DIR")" == /usr/bin ]]; then loaders=/usr/lib/wine; else loaders=$WINE_DIR; fi
QUOLM_WINE32_LOADER=${QUOLM_WINE32_LOADER:-$loaders/wine}
if [[ -x "$loaders/wine64" ]]; then QUOLM_WINE64_LOADER=${QUOLM_WINE64_LOADER:-$loaders/wine64}; else QUOLM_WINE64_LOADER=${QUOLM_WINE64_LOADER:-$loaders/wine}; fi
# shellcheck source=wine-arch.sh
source "$SCRIPT_DIR/wine-arch.sh"
[[ -x "$QUOLM_WINE64_LOADER" || -x "$QUOLM_WINE32_LOADER" ]] ||
    fail "Wine is not installed: neither $QUOLM_WINE32_LOADER nor $QUOLM_WINE64_LOADER can run"
quolm_wine_loader
[[ "$QUOLM_WINE" != wine ]] || QUOLM_WINE=$WINE_DIR/wine
[[ -x "$QUOLM_WINE" ]] || QUOLM_WINE=$QUOLM_WINE64_LOADER
export WINESERVER
wineserver() { "$WINESERVER" "$@"; }

# --- the program -----------------------------------------------------------------------
if [[ -z "$EXE" ]]; then
    preset=$(quolm_default_preset)
    name=Quolm.exe
    [[ $LISTPORTS -eq 0 ]] || name=listports.exe
    if [[ -d "$SCRIPT_DIR/win64" ]]; then
        # Installed: the programs beside this script.
        arch=win32
        [[ $preset == i686 ]] || arch=win64
        EXE="$SCRIPT_DIR/$arch/$name"
        [[ -f "$EXE" ]] || fail "the program is missing ($EXE)" "reinstall the package quolm-portwright"
    else
        sub=app
        [[ $LISTPORTS -eq 0 ]] || sub=tools/listports
        EXE="$REPO_DIR/build/$preset/$sub/$name"
        [[ -f "$EXE" ]] || fail "the program is not built yet ($EXE)" \
            "build it:  cmake --preset $preset && cmake --build --preset $preset   (sudo bash scripts/setup.sh installs the tools)"
    fi
    [[ $preset == i686 ]] || say "the 64-bit program: $QUOLM_WINE_ARCH_WHY"
fi
[[ -f "$EXE" ]] || fail "$EXE does not exist"
EXE=$(readlink -f "$EXE")
[[ -d "$WORK_DIR" ]] || fail "the working directory $WORK_DIR does not exist"
WORK_DIR=$(cd "$WORK_DIR" && pwd)

for n in "${ORDER[@]}"; do
    now=$(readlink -f "${COM_DEVICE[$n]}")
    if [[ "${MAPPED[$n]}" != "$now" ]]; then say "COM$n = ${MAPPED[$n]} (now $now)"; else say "COM$n = ${MAPPED[$n]}"; fi
done
[[ -f "$WORK_DIR/quolm.dat" ]] && say "command table: $WORK_DIR/quolm.dat"
[[ $DRY_RUN -eq 0 ]] || exit 0

# --- the prefix ---------------------------------------------------------------------
OWN_PREFIX=${XDG_DATA_HOME:-$HOME/.local/share}/quolm-portwright/wine
USER_PREFIX=0
if [[ -n "${WINEPREFIX:-}" && "$(readlink -f "$WINEPREFIX")" != "$(readlink -f "$OWN_PREFIX")" ]]; then USER_PREFIX=1; fi
export WINEPREFIX=${WINEPREFIX:-$OWN_PREFIX}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
[[ ! -f "$WINEPREFIX/.quolm-ready" ]] ||
    fail "$WINEPREFIX is the test harness's prefix" "unset WINEPREFIX, or choose a prefix of your own"

# Root would leave files in a user's prefix that the user can no longer change.
if [[ $(id -u) -eq 0 ]]; then
    probe=$WINEPREFIX
    while [[ ! -e "$probe" ]]; do probe=$(dirname "$probe"); done
    owner=$(stat -c %U "$probe")
    [[ "$owner" == root ]] || fail "you run this as root over $owner's files ($probe)" \
        "run it as $owner (serial access comes from the group dialout, not from root)"
fi

# server_running: true while a wineserver serves this prefix (it works in a
# directory named after the prefix's device and inode, under /tmp/.wine-UID
# or a private /tmp/wine-* by build).
server_running() {
    local dev ino dir pid
    read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 1
    dir=$(printf 'server-%x-%x' "$dev" "$ino")
    for pid in $(pgrep -u "$(id -u)" wineserver 2>/dev/null); do
        [[ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" == */"$dir" ]] && return 0
    done
    return 1
}

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    say "creating the Wine prefix $WINEPREFIX (first use: this takes a minute or two)"
    mkdir -p "$WINEPREFIX"
    "$QUOLM_WINE" wineboot -i >/dev/null 2>&1 && wineserver -w ||
        fail "Wine could not create $WINEPREFIX" "try: WINEDEBUG=err+all $QUOLM_WINE wineboot -i"
fi

PORTS_KEY='HKLM\Software\Wine\Ports'
SERIALCOMM='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
REG=$(mktemp /tmp/quolm-ports.XXXXXX.reg)
SAVED=$(mktemp -d /tmp/quolm-saved.XXXXXX)
cleanup_files() { rm -rf "$REG" "$SAVED"; }
trap cleanup_files EXIT

# reg_values KEY: "NAME<TAB>DATA" of the key's string values.
reg_values() {
    "$QUOLM_WINE" reg query "$1" 2>/dev/null | tr -d '\r' |
        sed -nE 's/^ +([^ ].*[^ ]|[^ ]) +REG_(EXPAND_)?SZ +(.*)$/\1\t\3/p; s/^ +([^ ].*[^ ]|[^ ]) +REG_(EXPAND_)?SZ *$/\1\t/p'
}
reg_file_line() { # reg_file_line NAME DATA: one value of a .reg file
    local name=${1//\\/\\\\} data=${2//\\/\\\\}
    printf '"%s"="%s"\r\n' "${name//\"/\\\"}" "${data//\"/\\\"}"
}
import_reg() { "$QUOLM_WINE" regedit /S "Z:${REG//\//\\}" >/dev/null 2>&1; }

if [[ $USER_PREFIX -eq 1 ]]; then
    # A prefix of the user's: nothing of theirs is stopped or lost.
    server_running && fail "programs are running in your Wine prefix $WINEPREFIX" \
        "end them first (the launcher does not stop them), or unset WINEPREFIX to use the launcher's own prefix"
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [[ -L "$link" ]] && printf '%s\t%s\n' "$(basename "$link")" "$(readlink "$link")"
    done >"$SAVED/links"
    reg_values "$PORTS_KEY" >"$SAVED/ports"
    restore_prefix() {
        wineserver -w >/dev/null 2>&1 || true
        {
            printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\r\n'
            printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
            while IFS=$'\t' read -r name data; do reg_file_line "$name" "$data"; done <"$SAVED/ports"
        } >"$REG"
        import_reg || say "warning: could not put back your port mappings ($PORTS_KEY); they were:" \
            "$(cat "$SAVED/ports")"
        wineserver -w >/dev/null 2>&1 || true
        # Links exactly as they were, including those of the ports Wine maps itself.
        local link name target
        for link in "$WINEPREFIX"/dosdevices/com*; do [[ -L "$link" ]] && rm -f "$link"; done
        while IFS=$'\t' read -r name target; do ln -sfn "$target" "$WINEPREFIX/dosdevices/$name"; done <"$SAVED/links"
        cleanup_files
    }
    trap restore_prefix EXIT
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for n in "${ORDER[@]}"; do reg_file_line "COM$n" "${MAPPED[$n]}"; done
    } >"$REG"
    import_reg || fail "Wine's regedit could not write the port mapping"
    # The mapping is read when Wine starts: let the server of our regedit go.
    wineserver -w >/dev/null 2>&1 || true
else
    # The launcher's own prefix: it holds exactly our ports.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    {
        printf 'REGEDIT4\r\n\r\n'
        printf '[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for n in "${ORDER[@]}"; do reg_file_line "COM$n" "${MAPPED[$n]}"; done
    } >"$REG"
    import_reg || fail "Wine's regedit could not write the port mapping"
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    # A mapping that was removed leaves a link behind that still opens.
    for link in "$WINEPREFIX"/dosdevices/com*; do
        [[ -L "$link" ]] || continue
        name=$(basename "$link")
        [[ -n "${COM_DEVICE[${name#com}]:-}" ]] || rm -f "$link"
    done
fi

# One server for the run (it ends a few seconds after the program), so the
# ports Wine maps by itself can be hidden before the program starts.
wineserver -p5 >/dev/null 2>&1 </dev/null
"$QUOLM_WINE" cmd /c exit >/dev/null 2>&1 || fail "Wine does not start in $WINEPREFIX"
while IFS=$'\t' read -r value port; do
    [[ "$port" =~ ^COM([0-9]+)$ ]] || continue
    n=${BASH_REMATCH[1]}
    [[ -z "${COM_DEVICE[$n]:-}" ]] || continue
    # A port of the user's own mapping stays; only Wine's finds are hidden.
    grep -qi "^COM$n"$'\t' "$SAVED/ports" 2>/dev/null && continue
    target=$(readlink "$WINEPREFIX/dosdevices/com$n" 2>/dev/null || echo "?")
    say "COM$n = $target was mapped by Wine itself: hidden for this run"
    rm -f "$WINEPREFIX/dosdevices/com$n"
    "$QUOLM_WINE" reg delete "$SERIALCOMM" /v "$value" /f >/dev/null 2>&1 || true
done < <(reg_values "$SERIALCOMM")
for n in "${ORDER[@]}"; do
    [[ -L "$WINEPREFIX/dosdevices/com$n" ]] || fail "Wine did not map COM$n to ${MAPPED[$n]}"
done

say "starting $EXE in $WORK_DIR"
cd "$WORK_DIR" || exit 2
"$QUOLM_WINE" "$EXE" "$@"
exit $?
