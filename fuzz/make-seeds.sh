#!/usr/bin/env bash
# Regenerates nothing: the seed corpus is checked in. This copies the reader's test fixtures
# into it, for when new fixtures are added.
set -euo pipefail
cd "$(dirname "$0")/.."
cp tests/imaging/fixtures/*.bmp fuzz/corpus/dib/
