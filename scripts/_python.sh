# Sourced by the scripts: find a CPython 3.13 (honouring $PYTHON) and make
# or reuse a venv. Sets PY (the base interpreter) and VENV_PY.
find_python() {
    if [ -n "${PYTHON:-}" ]; then PY="$PYTHON"; return; fi
    local c
    for c in python3.13 "$(command -v pyenv >/dev/null 2>&1 && echo "$(pyenv root)")"/versions/3.13*/bin/python3.13 \
             /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if [ -n "$c" ] && command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
            PY="$(command -v "$c")"; return
        fi
    done
    echo "no CPython 3.13 found: set PYTHON=/path/to/python3.13" >&2
    exit 2
}
ensure_venv() {  # $1 = venv dir
    find_python
    if [ ! -x "$1/bin/python" ]; then
        echo "making the venv $1 with $PY"
        "$PY" -m venv "$1"
        "$1/bin/python" -m pip install -q --upgrade pip
    fi
    VENV_PY="$1/bin/python"
}
