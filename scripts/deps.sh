#!/usr/bin/env bash
# Installs whatever of the build and test dependencies this Debian 12 machine lacks.
# apt-get update runs only when something is missing, so a ready machine stays offline.
set -euo pipefail

packages=(cmake ninja-build g++ qtbase5-dev llvm-14-dev libsqlite3-dev libgtest-dev libgmock-dev
          libbenchmark-dev clang-14 lld-14 libclang-rt-14-dev python3 sqlite3 time)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
