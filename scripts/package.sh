#!/usr/bin/env bash
# Builds the Debian package of Postwarden: a build of its own in build-package/
# (no tests, no benchmarks), then CPack's DEB generator, whose Depends line
# dpkg-shlibdeps works out from the libraries the binaries link. Prints the
# path of the .deb.
#   scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOSTWARDEN_TESTS=OFF \
    -DPOSTWARDEN_BENCHMARKS=OFF "${launcher[@]}" >/dev/null
cmake --build build-package -j"${JOBS:-$(nproc)}" >&2
rm -f build-package/postwarden_*.deb
(cd build-package && cpack -G DEB >&2)
debs=(build-package/postwarden_*.deb)
[ -f "${debs[0]}" ] || { echo "package.sh: cpack made no .deb" >&2; exit 1; }
echo "$PWD/${debs[0]}"
