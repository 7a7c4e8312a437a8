#!/bin/sh
# Prints the path of a CPython 3.13 interpreter: the one given, else python3.13 on PATH,
# else one under pyenv. Each candidate is asked for its version, so a pyenv shim that
# cannot run does not count.
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for candidate in "$@" python3.13 "$pyenv_root"/versions/3.13*/bin/python3.13; do
  [ -n "$candidate" ] || continue
  path=$(command -v "$candidate" 2>/dev/null) || continue
  if "$path" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
    echo "$path"
    exit 0
  fi
done
echo "no CPython 3.13 found: install one, or run: make test PYTHON=/path/to/python3.13" >&2
exit 1
