# Shared by the Wine tests: a private Wine prefix under the build folder, headless, and the helpers that
# turn a registry export into comparable lines.
# shellcheck shell=bash

wine_setup() { # PREFIX
    export WINEPREFIX=$1 WINEDEBUG=-all WINEARCH=win64
    # No Mono or Gecko installers: nothing here needs them, and they would ask for a download.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export DISPLAY=${TARNEL_WINE_DISPLAY:-}
    WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
    [ -x "$WINE" ] || { echo "wine64 is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
    # Each run starts from a new prefix, copied from one made once (making one takes a quarter of a minute).
    local pristine=$1.pristine
    if [ ! -f "$pristine/system.reg" ]; then
        rm -rf "$pristine"
        mkdir -p "$pristine"
        WINEPREFIX=$pristine "$WINE" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed in $pristine" >&2; exit 1; }
        WINEPREFIX=$pristine "$(dirname "$WINE")/wineserver" -w
    fi
    rm -rf "$WINEPREFIX"
    cp -a "$pristine" "$WINEPREFIX"
}

wine_run() { "$WINE" "$@"; }
xvfb_pid=
wine_stop() {
    "$(dirname "$WINE")/wineserver" -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}

# Wine draws OpenGL through GLX: the mesh previews need an X server, a private Xvfb on a free display.
# Everything else runs without one.
xvfb_start() {
    command -v Xvfb >/dev/null || { echo "Xvfb is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    xvfb_pid=$!
    local display
    read -r display <"$fifo"
    rm -f "$fifo"
    export DISPLAY=:$display
    "$(dirname "$WINE")/wineserver" -k 2>/dev/null || true # the next start sees the display
}

# Z:\... as Wine names a Unix path.
winpath() { printf 'Z:%s' "$(readlink -f "$1" | sed 's|/|\\|g')"; }

# A registry export (regedit's UTF-16 or our hive's UTF-8) as sorted lines, one per key ("K<TAB>key") and
# per value ("V<TAB>key<TAB>name=data"), keys below the classes root, lower-cased; MODULE stands for the
# module's path wherever it is written; the values that the type-library service itself writes from its
# own knowledge (FLAGS, HELPDIR) keep their names only; the 32-bit view's copies are left out.
reg_lines() { # FILE MODULE_PATH_AS_WRITTEN
    local text
    if [ "$(head -c2 "$1" | od -An -tx1 | tr -d ' ')" = "fffe" ]; then
        text=$(iconv -f UTF-16 -t UTF-8 "$1")
    else
        text=$(cat "$1")
    fi
    printf '%s\n' "$text" | tr -d '\r' | MODULE="$2" awk '
        function rel(k) {
            sub(/^\[(HKEY_LOCAL_MACHINE|HKEY_CURRENT_USER)\\Software\\Classes\\?/, "", k)
            sub(/^\[HKEY_CLASSES_ROOT\\?/, "", k)
            sub(/\]$/, "", k)
            return tolower(k)
        }
        BEGIN { module = ENVIRON["MODULE"] }
        /^\[/ { key = rel($0); skip = key ~ /^(wow6432node|\[)/ || key == ""; if (!skip) print "K\t" key; next }
        /^(@|")/ && !skip {
            line = $0
            i = index(line, module); if (module != "" && i > 0) line = substr(line, 1, i - 1) "MODULE" substr(line, i + length(module))
            if (key ~ /\\(flags|helpdir)$/) sub(/=.*/, "=*", line)
            print "V\t" key "\t" line
        }' | LC_ALL=C sort -u
}

# Runs one check of a test script; a failure is counted in $fail and the script goes on.
fail=0
check() { # DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else
        echo "FAILED: $what" >&2
        fail=1
    fi
}
