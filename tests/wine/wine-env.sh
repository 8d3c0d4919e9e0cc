#!/usr/bin/env bash
# Wine environment for running the 32-bit Windows test binaries, and with WINE_ENV_ARCH=win64
# the 64-bit ones (a prefix of their own, wineprefix64, run by the 64-bit loader wine64).
#
# Executed:
#   wine-env.sh check                        verify Wine can run 32-bit programs (fixes binfmt if possible)
#   wine-env.sh init BUILD_DIR               create/refresh BUILD_DIR/wineprefix (idempotent, quiet)
#   wine-env.sh env BUILD_DIR                print export lines:  eval "$(wine-env.sh env build)"
#   wine-env.sh map-com BUILD_DIR N DEVICE   map COMn of the prefix to DEVICE (tty, pty or symlink to one)
#   wine-env.sh unmap-com BUILD_DIR N        remove the COMn mapping
#   wine-env.sh start-server BUILD_DIR       (re)start a persistent wineserver + services (fast test starts)
#   wine-env.sh stop-server BUILD_DIR        kill wineserver and every Wine process of the prefix
#   wine-env.sh run BUILD_DIR PROGRAM [ARGS] run a Windows program in the prefix, exit code passed on
#
# Sourced:
#   source tests/wine/wine-env.sh
#   wine_env_init BUILD_DIR          # exports WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES, WINEARCH
#                                    # and WINE_ENV_WINE, the loader that runs the programs
#   wine_env_map_com 5 /tmp/ptyA     # after wine_env_init
#   wine_env_stop_server
#
# A missing or non-working Wine is an error (non-zero exit), never a skip.
#
# Machines whose kernel cannot execute 32-bit x86 ELF programs (ia32 emulation disabled)
# run the i386 Wine loader through qemu-user: `check`/`init` register a binfmt_misc handler
# for i386 ELF with qemu-i386-static (needs root and qemu >= 8; Debian bookworm's 7.2 fails
# with "failed to map the shared user data", the bookworm-backports build works).

# ---------------------------------------------------------------------------------------------

WINE_ENV_QEMU_MIN_MAJOR=8

_wine_env_die() {
    echo "wine-env: error: $*" >&2
    return 1
}

_wine_env_log() {
    [ -n "${WINE_ENV_VERBOSE:-}" ] && echo "wine-env: $*" >&2
    return 0
}

# Locate the wine launcher and the 32-bit loader it will use.
_wine_env_find_wine() {
    if [ "${WINE_ENV_ARCH:-win32}" = win64 ]; then
        # Debian's wine64 package has no launcher on PATH: its loader runs 64-bit programs.
        WINE_ENV_WINE="${WINE64:-/usr/lib/wine/wine64}"
    else
        WINE_ENV_WINE="${WINE:-$(command -v wine 2>/dev/null || true)}"
    fi
    if [ -z "$WINE_ENV_WINE" ] || [ ! -x "$WINE_ENV_WINE" ]; then
        _wine_env_die "wine not found (apt-get install wine wine32:i386 wine64, or run: scripts/install-deps.sh)"
        return 1
    fi
    WINE_ENV_WINESERVER="${WINESERVER:-$(command -v wineserver 2>/dev/null || true)}"
    if [ -z "$WINE_ENV_WINESERVER" ]; then
        _wine_env_die "wineserver not found (apt-get install wine)"
        return 1
    fi
    WINE_ENV_LOADER32="${WINE_ENV_LOADER32:-/usr/lib/wine/wine}"
    if [ ! -e "$WINE_ENV_LOADER32" ]; then
        _wine_env_die "32-bit Wine loader $WINE_ENV_LOADER32 missing (dpkg --add-architecture i386; apt-get install wine32:i386)"
        return 1
    fi
    return 0
}

_wine_env_qemu_major() {
    local q="$1" v
    v=$("$q" --version 2>/dev/null | sed -n 's/.*version \([0-9][0-9]*\)\..*/\1/p' | head -n1)
    echo "${v:-0}"
}

# Register qemu-i386 for i386 ELF binaries in binfmt_misc (only when the kernel can't run them).
_wine_env_register_binfmt() {
    local qemu
    qemu="$(command -v qemu-i386-static 2>/dev/null || true)"
    [ -n "$qemu" ] || { _wine_env_die "this kernel cannot run 32-bit x86 programs and qemu-i386-static is missing (run: scripts/install-deps.sh)"; return 1; }
    local major
    major=$(_wine_env_qemu_major "$qemu")
    if [ "$major" -lt "$WINE_ENV_QEMU_MIN_MAJOR" ]; then
        _wine_env_die "qemu-i386-static major version $major is too old for Wine (need >= $WINE_ENV_QEMU_MIN_MAJOR; on bookworm install qemu-user-static from bookworm-backports)"
        return 1
    fi
    [ "$(id -u)" = 0 ] || { _wine_env_die "registering qemu-i386 in binfmt_misc needs root"; return 1; }
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
            { _wine_env_die "cannot mount binfmt_misc"; return 1; }
    fi
    local entry=/proc/sys/fs/binfmt_misc/halvex-qemu-i386
    if [ -e "$entry" ]; then
        echo -1 > "$entry" || true
    fi
    # i386 ELF executables and shared objects (e_machine = EM_386); F = open interpreter now.
    printf '%s' ':halvex-qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
        > /proc/sys/fs/binfmt_misc/register ||
        { _wine_env_die "binfmt_misc registration of $qemu failed"; return 1; }
    _wine_env_log "registered $qemu (qemu $major) for i386 ELF programs"
    return 0
}

# Make sure the 32-bit Wine loader actually runs here.
wine_env_check() {
    _wine_env_find_wine || return 1
    if "$WINE_ENV_LOADER32" --version >/dev/null 2>&1; then
        return 0
    fi
    _wine_env_log "32-bit Wine loader does not start natively; trying qemu-user"
    _wine_env_register_binfmt || return 1
    if ! "$WINE_ENV_LOADER32" --version >/dev/null 2>&1; then
        _wine_env_die "$WINE_ENV_LOADER32 still does not run (see: $WINE_ENV_LOADER32 --version)"
        return 1
    fi
    return 0
}

# Export the environment for BUILD_DIR (no prefix creation).
wine_env_export() {
    local build="${1:?build dir}"
    mkdir -p "$build" || return 1
    build="$(cd "$build" && pwd -P)" || return 1
    if [ "${WINE_ENV_ARCH:-win32}" = win64 ]; then
        export WINEPREFIX="$build/wineprefix64"
        export WINEARCH=win64
    else
        export WINEPREFIX="$build/wineprefix"
        export WINEARCH=win32
    fi
    export WINEDEBUG=-all
    # No Mono/Gecko install prompts, no desktop menu integration.
    # One entry, no ";" (a ";" would split a CMake ENVIRONMENT list).
    export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
    unset DISPLAY WAYLAND_DISPLAY
    return 0
}

# Create (or refresh after a Wine upgrade) the private prefix of BUILD_DIR. Idempotent.
wine_env_init() {
    local build="${1:?build dir}"
    wine_env_check || return 1
    wine_env_export "$build" || return 1
    local stamp="$WINEPREFIX/.wine-env-stamp" version log="$WINEPREFIX.log"
    version="$("$WINE_ENV_WINE" --version 2>/dev/null)" ||
        { _wine_env_die "'wine --version' failed"; return 1; }
    (
        # One creator at a time (parallel test runs share the prefix).
        exec 9>"$WINEPREFIX.lock"
        flock 9
        if [ -f "$WINEPREFIX/system.reg" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$version" ]; then
            exit 0
        fi
        if [ -e "$WINEPREFIX" ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
            rm -rf "$WINEPREFIX"   # half-created by an interrupted run
        fi
        local mode=-i
        [ -f "$WINEPREFIX/system.reg" ] && mode=-u
        _wine_env_log "wineboot $mode in $WINEPREFIX"
        if ! "$WINE_ENV_WINE" wineboot "$mode" >"$log" 2>&1; then
            cat "$log" >&2
            _wine_env_die "wineboot $mode failed for $WINEPREFIX"
            exit 1
        fi
        "$WINE_ENV_WINESERVER" -w   # registry flushed, helper processes gone
        [ -f "$WINEPREFIX/system.reg" ] || { cat "$log" >&2; _wine_env_die "prefix $WINEPREFIX not created"; exit 1; }
        echo "$version" > "$stamp"
    ) || return 1
    return 0
}

# Map COMn of the current prefix to a device path (kept as given: a symlink such as a pty link
# made by socat works, and follows the link if the pty is re-created under the same name).
wine_env_map_com() {
    local n="${1:?COM number}" dev="${2:?device path}"
    if [ -z "${WINEPREFIX:-}" ] || [ ! -d "$WINEPREFIX/dosdevices" ]; then
        _wine_env_die "no initialised prefix (run wine_env_init BUILD_DIR first)"
        return 1
    fi
    case "$n" in
        [1-9] | [1-9][0-9] | [1-2][0-9][0-9]) ;;
        *) _wine_env_die "bad COM port number '$n'"; return 1 ;;
    esac
    local real
    real="$(readlink -f -- "$dev" 2>/dev/null || true)"
    if [ -z "$real" ] || [ ! -c "$real" ]; then
        _wine_env_die "$dev is not (a link to) a character device"
        return 1
    fi
    ln -sfn -- "$dev" "$WINEPREFIX/dosdevices/com$n" || return 1
    _wine_env_log "COM$n -> $dev ($real)"
    return 0
}

wine_env_unmap_com() {
    local n="${1:?COM number}"
    [ -n "${WINEPREFIX:-}" ] || { _wine_env_die "WINEPREFIX not set"; return 1; }
    rm -f -- "$WINEPREFIX/dosdevices/com$n"
}

# Keep wineserver and Wine's service processes (services.exe, winedevice.exe, ...) alive until
# wine_env_stop_server: a warm start of a test program costs ~0.3 s instead of several seconds.
# The services are started here by a throw-away program with stdio on /dev/null; if the first
# test program started them instead, they would inherit that test's stdout/stderr pipe and a
# runner such as ctest would wait for that pipe to close until the test's timeout.
wine_env_start_server() {
    [ -n "${WINEPREFIX:-}" ] || { _wine_env_die "WINEPREFIX not set"; return 1; }
    _wine_env_find_wine || return 1
    if ! "$WINE_ENV_WINESERVER" -p </dev/null >/dev/null 2>&1; then
        # A server is already running (maybe a short-lived one): restart it as persistent.
        "$WINE_ENV_WINESERVER" -k </dev/null >/dev/null 2>&1 || true
        "$WINE_ENV_WINESERVER" -w </dev/null >/dev/null 2>&1 || true
        "$WINE_ENV_WINESERVER" -p </dev/null >/dev/null 2>&1 || { _wine_env_die "wineserver -p failed"; return 1; }
    fi
    "$WINE_ENV_WINE" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 ||
        { _wine_env_die "warm-up program failed to run under Wine"; return 1; }
    return 0
}

wine_env_stop_server() {
    [ -n "${WINEPREFIX:-}" ] || { _wine_env_die "WINEPREFIX not set"; return 1; }
    _wine_env_find_wine || return 1
    [ -d "$WINEPREFIX" ] || return 0
    "$WINE_ENV_WINESERVER" -k 2>/dev/null || true
    "$WINE_ENV_WINESERVER" -w 2>/dev/null || true
    return 0
}

# ---------------------------------------------------------------------------------------------

_wine_env_main() {
    local cmd="${1:-}"
    shift || true
    case "$cmd" in
        check) wine_env_check && echo "wine-env: ok: $("$WINE_ENV_WINE" --version)" ;;
        init) wine_env_init "${1:?usage: init BUILD_DIR}" && echo "WINEPREFIX=$WINEPREFIX" ;;
        env)
            wine_env_init "${1:?usage: env BUILD_DIR}" || return 1
            printf 'export WINEPREFIX=%q WINEARCH=%q WINEDEBUG=%q WINEDLLOVERRIDES=%q\nunset DISPLAY WAYLAND_DISPLAY\n' \
                "$WINEPREFIX" "$WINEARCH" "$WINEDEBUG" "$WINEDLLOVERRIDES"
            ;;
        map-com)
            [ $# -eq 3 ] || { _wine_env_die "usage: map-com BUILD_DIR N DEVICE"; return 1; }
            wine_env_init "$1" && wine_env_map_com "$2" "$3"
            ;;
        unmap-com)
            [ $# -eq 2 ] || { _wine_env_die "usage: unmap-com BUILD_DIR N"; return 1; }
            wine_env_export "$1" && wine_env_unmap_com "$2"
            ;;
        start-server) wine_env_init "${1:?usage: start-server BUILD_DIR}" && wine_env_start_server ;;
        stop-server) wine_env_export "${1:?usage: stop-server BUILD_DIR}" && wine_env_stop_server ;;
        run)
            [ $# -ge 2 ] || { _wine_env_die "usage: run BUILD_DIR PROGRAM [ARGS...]"; return 1; }
            local build="$1"
            shift
            wine_env_init "$build" || return 1
            "$WINE_ENV_WINE" "$@"
            ;;
        *)
            sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
            return 2
            ;;
    esac
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    _wine_env_main "$@"
    exit $?
fi
