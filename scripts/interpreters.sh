# Sourced by the scripts that run something on every supported CPython.
# SUPPORTED lists them; locate VERSION tells where VERSION runs: on this
# machine (scripts/find_python.sh), else, for 3.14 and 3.15, inside Debian's
# unstable root (scripts/sid_root.sh, made on first need, as root), and for
# the free-threaded 3.13t, on this machine once scripts/freethreaded_python.sh
# has made it (on first need, as root). On success INSIDE holds the command
# prefix to run it with (empty on this machine); on failure UNAVAILABLE says
# why.
SUPPORTED=(3.12 3.13 3.14 3.15 3.14-dbg 3.15-dbg 3.13t)
INSIDE=() UNAVAILABLE=""
sid_state=unknown  # Debian's unstable root: unknown, ready, or why it is not there

locate() {
    INSIDE=() UNAVAILABLE=""
    bash scripts/find_python.sh "$1" >/dev/null && return 0
    if [[ $1 == 3.13t ]]; then
        if [[ $(id -u) -ne 0 ]]; then
            UNAVAILABLE="not on this machine, and making it needs root"
        elif bash scripts/freethreaded_python.sh ensure >/dev/null; then
            return 0
        else
            UNAVAILABLE="not on this machine, and it could not be made"
        fi
        return 1
    fi
    if [[ $1 != 3.1[45]* ]]; then
        UNAVAILABLE="not found on this machine"
        return 1
    fi
    if [[ $sid_state == unknown ]]; then
        if [[ $(id -u) -ne 0 ]]; then
            sid_state="making Debian's unstable root needs root"
        elif bash scripts/sid_root.sh ensure; then
            sid_state=ready
        else
            sid_state="Debian's unstable root could not be made"
        fi
    fi
    if [[ $sid_state != ready ]]; then
        UNAVAILABLE="not on this machine, and $sid_state"
        return 1
    fi
    INSIDE=(bash scripts/sid_root.sh run)
}
