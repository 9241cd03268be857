#!/usr/bin/env bash
# Builds serterm from a copy of the source tree as a packager does: Debian's
# dpkg-buildflags (hardening=+all) exported, build type None, then
# `cpack -G DEB` into OUT, with MAINTAINER as the package's maintainer. With
# --placeholder, first the package with the placeholder maintainer into
# OUT/placeholder/: the same build, configured again, where only the
# changelog is made anew. Usage: distribution_build.sh OUT SOURCE_DIR
# MAINTAINER [--placeholder]
set -euo pipefail
out="$1"
source_dir="$(cd "$2" && pwd)"
maintainer="$3"

rm -rf "$out"
mkdir -p "$out/src"
out="$(cd "$out" && pwd)"
# The files of the working tree that git keeps or would keep.
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
  (cd "$source_dir" && xargs -0 tar -cf - --ignore-failed-read) |
  tar -xf - -C "$out/src"
cd "$out/src"
# A packager takes the time from the package's changelog; here the last
# commit stands in for it, as the build itself would take it from git.
SOURCE_DATE_EPOCH="$(git -C "$source_dir" log -1 --format=%ct)"
export SOURCE_DATE_EPOCH
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"

# Runs a step with its output in a log, shown only when the step fails.
quiet() {
  "$@" >"$out/step.log" 2>&1 || { cat "$out/step.log" >&2; return 1; }
}
# Configures with `options`, builds, and packs the package into `folder`.
package() {
  local folder="$1"
  shift
  quiet cmake -S . -B build -DCMAKE_BUILD_TYPE=None -DSERTERM_WERROR=ON "$@"
  quiet cmake --build build -j "$(nproc)"
  quiet cpack --config build/CPackConfig.cmake -G DEB -B "$folder"
}
[ "${4:-}" != --placeholder ] || package "$out/placeholder"
package "$out" -DSERTERM_MAINTAINER="$maintainer"
