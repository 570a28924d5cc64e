#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter, or explains what to install and fails.
for c in "${PYTHON312:-}" python3.12 "$(pyenv prefix 3.12 2>/dev/null)/bin/python3.12" \
         "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
  [ -n "$c" ] || continue
  p=$(command -v "$c" 2>/dev/null) || continue
  if "$p" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' 2>/dev/null; then
    echo "$p"; exit 0
  fi
done
echo "error: CPython 3.12 was not found. Install it (for example 'pyenv install 3.12'; Debian" \
     "12 and 13 ship 3.11 and 3.13) or set PYTHON312=/path/to/python3.12." >&2
exit 1
