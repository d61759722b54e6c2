#!/usr/bin/env bash
# Lists the CPython interpreters, 3.9 or newer, that the suite can run on here, one
# "3.X=/path/to/python3.X" a line: under pyenv's versions folder first (the newest
# patch release), else python3.X on PATH. A supported version that is not
# installed is reported on standard error as skipped.
#   tools/pythons.sh all    every version found
#   tools/pythons.sh ends   the oldest and the newest found, leaving out the
#                           version of the default interpreter ($PYTHON or python3)
set -euo pipefail
mode=${1:-all}
oldest_minor=9
newest_listed_minor=13   # the newest version the package lists; newer ones found run too

runs_as() {  # runs_as INTERPRETER MINOR: true when it is CPython 3.MINOR
    "$1" -c "import sys; sys.exit(not (sys.implementation.name == 'cpython' and sys.version_info[:2] == (3, $2)))" \
        >/dev/null 2>&1
}

find_python() {  # find_python MINOR: prints the interpreter's path, or nothing
    local minor=$1 candidate
    local root=${PYENV_ROOT:-$HOME/.pyenv}
    for candidate in $(ls -d "$root"/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null | sort -V -r) \
                     $(command -v python3."$minor" 2>/dev/null || true); do
        if runs_as "$candidate" "$minor"; then
            echo "$candidate"
            return
        fi
    done
}

found=()
for minor in $(seq "$oldest_minor" 30); do
    path=$(find_python "$minor")
    if [ -n "$path" ]; then
        found+=("3.$minor=$path")
    elif [ "$minor" -le "$newest_listed_minor" ]; then
        echo "skipping Python 3.$minor: not installed" >&2
    fi
done
[ ${#found[@]} -gt 0 ] || { echo "no CPython 3.$oldest_minor or newer found" >&2; exit 1; }

case $mode in
    all) printf '%s\n' "${found[@]}" ;;
    ends)
        default=$("${PYTHON:-python3}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        for entry in "${found[0]}" "${found[-1]}"; do
            if [ "${entry%%=*}" != "$default" ]; then echo "$entry"; fi
        done | uniq ;;
    *) echo "usage: $0 [all|ends]" >&2; exit 2 ;;
esac
