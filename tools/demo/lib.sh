# Shared by the demo, the end-to-end test and the application benchmarks:
# start the simulated device, find the main window, and click its controls
# with real X input. Source it inside tests/harness/sandbox.sh.
#
# The positions follow the main window's designed layout (client coordinates):
# the check box "Always connected" at (137, 5, 107 x 17); the command grid at
# (0, 32), 621 wide, with a 2-pixel sunken edge, rows 18 high plus a 1-pixel
# grid line, no fixed row (row 0 is the header), columns 30, 70, 180 and the
# rest.

QD_GRID_LEFT=0
QD_GRID_TOP=32
QD_GRID_EDGE=2
QD_ROW_EXTENT=19
QD_COL_WIDTHS=(30 70 180)
QD_CHECK_X=$((137 + 8))
QD_CHECK_Y=$((5 + 8))

QD_DEVICE_PID=""
QD_PROGRAM_PID=""
# Set QD_DESKTOP to NAME,WxH to run the program in a Wine virtual desktop: it
# then gets a frame and title bar even without a window manager (for the
# demo's screenshot). Screen coordinates are then relative to the desktop's
# X window.
QD_DESKTOP=${QD_DESKTOP:-}
QD_DESKTOP_X=0
QD_DESKTOP_Y=0

qd_say() { echo "${QD_NAME:-demo}: $*" >&2; }

# qd_start_device PTY LOG RAW [OPTIONS...]: the simulated device on PTY, in
# the background.
qd_start_device() {
    local pty=$1 log=$2 raw=$3 ready
    shift 3
    ready=$(mktemp -u /tmp/quolm-simdevice.XXXXXX)
    python3 "$QD_REPO_DIR/tools/simdevice/simdevice.py" --pty "$pty" --log "$log" --raw "$raw" \
        --ready "$ready" "$@" &
    QD_DEVICE_PID=$!
    local _
    for _ in $(seq 100); do
        [[ -s "$ready" ]] && break
        kill -0 "$QD_DEVICE_PID" 2>/dev/null || { qd_say "the simulated device did not start"; return 1; }
        sleep 0.05
    done
    [[ -s "$ready" ]] || { qd_say "the simulated device is not ready"; return 1; }
    rm -f "$ready"
}

qd_stop_device() {
    [[ -n "$QD_DEVICE_PID" ]] || return 0
    kill -TERM "$QD_DEVICE_PID" 2>/dev/null || true
    wait "$QD_DEVICE_PID" 2>/dev/null || true
    QD_DEVICE_PID=""
}

# qd_wine EXE ARGS...: a Windows program, in the virtual desktop if one is used.
qd_wine() {
    if [[ -n "$QD_DESKTOP" ]]; then
        wine explorer "/desktop=$QD_DESKTOP" "$@"
    else
        wine "$@"
    fi
}

# qd_start_program EXE DIR: Quolm.exe under Wine, working directory DIR.
qd_start_program() {
    local exe=$1 dir=$2
    (cd "$dir" && qd_wine "$exe") >"$dir/wine.out" 2>&1 &
    QD_PROGRAM_PID=$!
}

# qd_stop_program: close the main window as the close box does (WM_CLOSE),
# then make sure Wine let go of it.
qd_stop_program() {
    [[ -n "$QD_PROGRAM_PID" ]] || return 0
    if kill -0 "$QD_PROGRAM_PID" 2>/dev/null; then
        qd_wine "$QD_WININFO" --close "Quolm-Portwright" >/dev/null 2>&1 || true
    fi
    local _
    for _ in $(seq 100); do
        kill -0 "$QD_PROGRAM_PID" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$QD_PROGRAM_PID" 2>/dev/null; then
        qd_say "the program did not end; stopping Wine"
        wineserver -k >/dev/null 2>&1 || true
    fi
    wait "$QD_PROGRAM_PID" 2>/dev/null || true
    QD_PROGRAM_PID=""
}

# qd_select_first_port: choose the first entry of the port selector
# (pwDeviceBox1 at 64, 5, 65 x 21) with the mouse and the keyboard, as a
# user would: open the drop-down, Down, Return.
qd_select_first_port() {
    xdotool mousemove --sync $((QD_CLIENT_X + 64 + 30)) $((QD_CLIENT_Y + 5 + 10)) click 1
    sleep 0.3
    xdotool key Down
    sleep 0.1
    xdotool key Return
    sleep 0.3
}

# qd_wait_window SECONDS: the X window of the main window (caption
# "Quolm-Portwright ..."), or of the virtual desktop, in QD_WINDOW.
qd_wait_window() {
    local seconds=$1 name='^Quolm-Portwright'
    [[ -z "$QD_DESKTOP" ]] || name="^${QD_DESKTOP%%,*} - Wine desktop\$"
    # Polled rather than with --sync: xdotool's own wait gives up at the first
    # X error, such as a window that went away while it looked at it (the
    # windows of wineboot while a new prefix is made).
    local deadline=$((SECONDS + seconds))
    QD_WINDOW=""
    while [[ -z "$QD_WINDOW" ]] && ((SECONDS < deadline)); do
        QD_WINDOW=$(xdotool search --onlyvisible --name "$name" 2>/dev/null | head -n1) || true
        [[ -n "$QD_WINDOW" ]] || sleep 0.2
    done
    [[ -n "$QD_WINDOW" ]] || return 1
    if [[ -n "$QD_DESKTOP" ]]; then
        eval "$(xdotool getwindowgeometry --shell "$QD_WINDOW")"
        QD_DESKTOP_X=$X QD_DESKTOP_Y=$Y
    fi
}

# qd_client_origin: the client area's screen position, from Windows' own
# answer (wininfo.exe), in QD_CLIENT_X/Y/W/H. The X window of a Wine
# top-level may include or exclude the menu bar depending on the window
# manager; asking Windows avoids guessing.
qd_client_origin() {
    local out
    if [[ -n "$QD_DESKTOP" ]]; then
        # Inside a desktop the answer comes through a file.
        local file _
        file=$(mktemp /tmp/quolm-wininfo.XXXXXX)
        rm -f "$file"
        qd_wine "$QD_WININFO" "Quolm-Portwright" "Z:${file//\//\\}" 30000 >/dev/null 2>&1 || true
        for _ in $(seq 600); do
            [[ -s "$file" ]] && break
            sleep 0.05
        done
        out=$(tr -d '\r' <"$file" 2>/dev/null) || true
        rm -f "$file"
    else
        out=$(wine "$QD_WININFO" "Quolm-Portwright" 2>/dev/null | tr -d '\r') || true
    fi
    read -r QD_CLIENT_X QD_CLIENT_Y QD_CLIENT_W QD_CLIENT_H _ <<<"$out"
    [[ "${QD_CLIENT_X:-}" =~ ^-?[0-9]+$ && "${QD_CLIENT_H:-}" =~ ^[0-9]+$ ]] || {
        qd_say "cannot read the main window's client area (wininfo said: '$out')"
        return 1
    }
    QD_CLIENT_X=$((QD_CLIENT_X + QD_DESKTOP_X))
    QD_CLIENT_Y=$((QD_CLIENT_Y + QD_DESKTOP_Y))
}

# qd_cell_point COL ROW: screen point in the middle of a grid cell (rows
# counted from the top row on screen), in QD_X/QD_Y.
qd_cell_point() {
    local col=$1 row=$2 x=$QD_GRID_EDGE c
    for ((c = 0; c < col; c++)); do x=$((x + QD_COL_WIDTHS[c] + 1)); done
    local w=60
    ((col < 3)) && w=${QD_COL_WIDTHS[col]}
    QD_X=$((QD_CLIENT_X + QD_GRID_LEFT + x + w / 2))
    QD_Y=$((QD_CLIENT_Y + QD_GRID_TOP + QD_GRID_EDGE + row * QD_ROW_EXTENT + QD_ROW_EXTENT / 2))
}

# qd_double_click_row ROW [COL]: a real double click on a grid row.
qd_double_click_row() {
    qd_cell_point "${2:-2}" "$1"
    xdotool mousemove --sync "$QD_X" "$QD_Y" click --repeat 2 --delay 60 1
}

# qd_click_always_connected: one click on the "Always connected" check box.
qd_click_always_connected() {
    xdotool mousemove --sync $((QD_CLIENT_X + QD_CHECK_X)) $((QD_CLIENT_Y + QD_CHECK_Y)) click 1
}

# qd_wait_size FILE BYTES SECONDS: until FILE holds at least BYTES bytes.
qd_wait_size() {
    local file=$1 want=$2 seconds=$3 deadline size
    deadline=$(($(date +%s%N) + seconds * 1000000000))
    while :; do
        size=$(stat -c %s "$file" 2>/dev/null || echo 0)
        ((size >= want)) && return 0
        (($(date +%s%N) > deadline)) && return 1
        sleep 0.05
    done
}

# qd_wait_quiet FILE TENTHS: until FILE has not grown for TENTHS tenths of a
# second (20 s at most).
qd_wait_quiet() {
    local file=$1 steps=$2 last=-1 size stable=0
    for _ in $(seq 200); do
        size=$(stat -c %s "$file" 2>/dev/null || echo 0)
        if [[ $size == "$last" ]]; then
            stable=$((stable + 1))
            ((stable >= steps)) && return 0
        else
            stable=0
            last=$size
        fi
        sleep 0.1
    done
}
