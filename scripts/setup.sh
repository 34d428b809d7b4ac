#!/usr/bin/env bash
# Installs the Debian packages Postwarden needs (only those missing), builds it,
# and runs the main job.
#   scripts/setup.sh             install, build, run the main job
#   scripts/setup.sh --deps-only install what is missing, nothing else
#   scripts/setup.sh --build     install and build, no main job
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev
          libsqlite3-dev libgmime-3.0-dev qt6-base-dev libicu-dev)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

build() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)"
}

main_job() {
    ./build/postwarden --version
}

install_missing
case "${1:-}" in
    --deps-only) exit 0 ;;
    --build) build ;;
    *) build; main_job ;;
esac
