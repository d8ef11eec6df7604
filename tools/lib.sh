# Shared by the tools: the project's root, and installing what a fresh Debian machine lacks.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Builds are the same bytes from any checkout of a commit: the Windows executables' time stamp
# is the last commit's time unless the caller chose one.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH

# Installs those of the named Debian packages that are not installed yet.
need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "Installing ${missing[*]}" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}

# Configures (when needed) and builds one build folder: build_tree DIR [cmake options...]
build_tree() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}

# Starts a fresh Wine prefix in the folder DIR for the calling script: start_wine DIR. One server
# runs until the script ends (a server started for each program costs seconds), with the null
# graphics driver, so that window programs do not wait for a display.
start_wine() {
    export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
}

# Lays the sample unpacked distribution in the folder DIR (tools/distribution.py describes it):
# lay_sample_tree DIR [PATH...] leaves out the named files (by their paths in the tree).
lay_sample_tree() {
    python3 "$ROOT/tools/distribution.py" lay "$@"
}
