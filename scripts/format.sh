#!/usr/bin/env bash
# Formats the C++ sources with the repository's .clang-format; with --check,
# changes nothing and exits non-zero when a file is not formatted.
# Environment: CLANG_FORMAT (default clang-format-14, else clang-format).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
FORMAT=${CLANG_FORMAT:-$(command -v clang-format-14 || command -v clang-format || true)}
[ -n "$FORMAT" ] || { echo "format: clang-format not found (scripts/install-deps.sh format)" >&2; exit 1; }

mode=(-i)
[ "${1:-}" = --check ] && mode=(--dry-run -Werror)

cd "$ROOT"
git ls-files -z --cached --others --exclude-standard -- '*.h' '*.cpp' | grep -zE '^(src|cli|test|bench|fuzz|include)/' |
  xargs -0 -r "$FORMAT" --style=file "${mode[@]}"
