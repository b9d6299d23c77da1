#!/usr/bin/env bash
# Static analysis of our own sources with cppcheck. The check set: every "warning",
# "performance" and "portability" check, plus cppcheck's errors; a finding fails the run.
# Tests and benchmarks are analysed too; system and Qt headers are not.
set -euo pipefail
cd "$(dirname "$0")/.."
dirs=()
for d in app view service captions imaging settings controls platform tools tests bench fuzz; do
    [ -d "$d" ] && dirs+=("$d")
done
cppcheck --quiet --std=c++20 --language=c++ --library=qt \
    --enable=warning,performance,portability --inline-suppr --error-exitcode=1 \
    --suppress=missingIncludeSystem --suppress=unknownMacro \
    -I . -j 2 "${dirs[@]}"
echo "cppcheck: ok"
