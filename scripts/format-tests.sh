#!/bin/sh
# Formats the test sources (tests/**/*.cpp and *.h) with the project's
# .clang-format, in place; run it again after merging test changes.
#   scripts/format-tests.sh           format
#   scripts/format-tests.sh --check   change nothing; fail on any line over 120
#                                     columns or any change clang-format would make
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
files=$(find tests -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
format=${CLANG_FORMAT:-clang-format-14}

if [ "${1:-}" = "--check" ]; then
    long=$(awk 'length($0) > 120 { print FILENAME ":" FNR ": " length($0) " columns" }' $files)
    if [ -n "$long" ]; then
        printf 'Test lines over 120 columns:\n%s\n' "$long" >&2
        exit 1
    fi
    if ! command -v "$format" >/dev/null; then
        echo "$format not found (scripts/install-deps.sh): only the column limit was checked" >&2
        exit 0
    fi
    exec "$format" --style=file --dry-run --Werror $files
fi
exec "$format" --style=file -i $files
