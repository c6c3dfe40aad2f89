#!/usr/bin/env bash
# Builds the Debian package from a clean copy of the committed tree (a git
# archive of HEAD: uncommitted changes are not in it), so that the build
# leaves nothing in this clone. The packages land in build/package/ (or
# OUTDIR).
#
# usage: scripts/package.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(realpath -m "${1:-build/package}")
scripts/setup.sh build package

if ! git rev-parse --verify -q HEAD >/dev/null; then
  echo "package.sh: not a git clone with a commit; the package is built from HEAD" >&2
  exit 1
fi
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "package.sh: note: uncommitted changes are not in the package (it is built from HEAD)" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
source="$work/dbcsprint-$version"
mkdir "$source"
git archive HEAD | tar -x -C "$source"

(cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b)

mkdir -p "$out"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
ls -l "$out"
