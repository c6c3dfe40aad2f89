#!/usr/bin/env bash
# Format and static checks of the project's own C++ code, warnings as errors.
# Needs the compile databases of the native and fuzz builds.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"

mapfile -t native < <(git ls-files 'src/*.cpp' 'tests/*.cpp')
clang-tidy -p build/native --quiet "${native[@]}"
mapfile -t fuzz < <(git ls-files 'fuzz/*.cpp')
clang-tidy -p build/fuzz --quiet "${fuzz[@]}"
