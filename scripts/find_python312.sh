#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter, or explains how to get one and fails.
set -u
candidates=()
[ -n "${PYTHON312:-}" ] && candidates+=("$PYTHON312")
candidates+=(python3.12)
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  for p in "$root"/versions/3.12.*/bin/python3.12; do candidates+=("$p"); done
fi
for p in "$HOME"/.pyenv/versions/3.12.*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12; do
  candidates+=("$p")
done
for c in "${candidates[@]}"; do
  path=$(command -v "$c" 2>/dev/null) || continue
  if "$path" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then
    echo "$path"
    exit 0
  fi
done
cat >&2 <<'MSG'
No CPython 3.12 interpreter was found (looked at $PYTHON312, python3.12 on PATH, pyenv's versions,
/usr/local/bin and /usr/bin). Install one, for example:
  pyenv install 3.12            (with pyenv)
  apt-get install python3.12 python3.12-venv python3.12-dev   (Debian/Ubuntu, where packaged)
or point PYTHON312 at an existing 3.12 interpreter: make test PYTHON312=/path/to/python3.12
MSG
exit 1
