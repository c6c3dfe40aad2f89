#!/usr/bin/env bash
# Format and static checks of the project's own C++ code, warnings as errors.
# Needs the compile databases of the native and fuzz builds.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"

# Windows-only helpers are not in the native build.
mapfile -t native < <(git ls-files 'src/*.cpp' 'tests/*.cpp' ':!tests/wine/*')
clang-tidy -p build/native --quiet "${native[@]}"
mapfile -t fuzz < <(git ls-files 'fuzz/*.cpp')
clang-tidy -p build/fuzz --quiet "${fuzz[@]}"
