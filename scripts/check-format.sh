#!/usr/bin/env bash
# Checks that every tracked C++ file is formatted as the project's
# .clang-format says: names each file that differs, shows how with -v, and
# fails if any does. To format a file: clang-format -i FILE.
set -euo pipefail
cd "$(dirname "$0")/.."

verbose=0
[[ "${1:-}" == "-v" ]] && verbose=1

checked=0
differ=0
while IFS= read -r -d '' file; do
  checked=$((checked + 1))
  if ! clang-format --style=file --dry-run -Werror "$file" 2>/dev/null; then
    differ=$((differ + 1))
    echo "format: $file differs from .clang-format"
    if ((verbose)); then clang-format --style=file --dry-run "$file" 2>&1 | sed 's/^/  /' || true; fi
  fi
done < <(git ls-files -z -- '*.cpp' '*.h')

echo "format: $differ of $checked C++ files differ"
((differ == 0))
