#!/usr/bin/env bash
# Installs, on Debian, what the tests need: ./run-tests runs it first, so a
# fresh machine needs nothing but this repository.
#
# Two steps. The first brings what the 64-bit build, its tests, the
# sanitizer and fuzz builds and the 64-bit Windows tests need; it must
# succeed, and when it cannot, this script fails with apt's message. The
# second brings the 32-bit part (the i386 architecture, the 32-bit Wine
# loader, the 32-bit test libraries); it may fail, and then the 32-bit tests
# say that they were skipped and why.
#
# Packages already there are not asked for again, so a machine that has them
# all needs neither root nor the registry. Without root it uses sudo; with
# neither it names what is missing and stops.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive

required=(cmake make g++ libgtest-dev libbenchmark-dev zlib1g-dev libdeflate-dev unzip python3 python3-venv
  python3-pip python3-setuptools python3-wheel binutils p7zip-full libarchive-tools pkgconf
  util-linux bsdutils clang libclang-rt-14-dev git g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64)
# The 32-bit Linux build, and the 32-bit Wine loader: separate, so that one
# can come without the other.
linux32=(g++-multilib libgtest-dev:i386 zlib1g-dev:i386)
wine32=(wine32:i386)

missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      echo "$package"
  done
}

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "install-packages: not a Debian system; install by hand: ${required[*]} ${linux32[*]} ${wine32[*]}"
  exit 0
fi

mapfile -t need < <(missing "${required[@]}")
mapfile -t need32 < <(missing "${linux32[@]}" "${wine32[@]}")
if [ ${#need[@]} -eq 0 ] && [ ${#need32[@]} -eq 0 ]; then exit 0; fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    as_root=(sudo)
  elif [ ${#need[@]} -ne 0 ]; then
    echo "install-packages: these packages are missing, and installing them needs root or sudo:"
    echo "  ${need[*]}"
    exit 1
  else
    echo "install-packages: 32-bit packages not installed (no root or sudo): ${need32[*]}"
    exit 0
  fi
fi

# Retried, since a mirror in the middle of a sync fails an index now and
# then. Indexes that still fail are named, and the install goes on with the
# ones that came.
update() {
  local try log
  log=$(mktemp)
  for try in 1 2 3; do
    if "${as_root[@]}" apt-get update >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  echo "install-packages: apt-get update failed for some indexes; going on with the others:"
  grep -E '^(E|W|Err):' "$log" | sed 's/^/  /'
  rm -f "$log"
}

install() {
  "${as_root[@]}" apt-get install -y --no-install-recommends "$@"
}

if [ ${#need[@]} -ne 0 ]; then
  update
  if ! install "${need[@]}"; then
    echo "install-packages: the required packages could not be installed (apt's message above)"
    exit 1
  fi
fi

if [ ${#need32[@]} -ne 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
  fi
  update
  mapfile -t need_linux32 < <(missing "${linux32[@]}")
  mapfile -t need_wine32 < <(missing "${wine32[@]}")
  if [ ${#need_linux32[@]} -ne 0 ] && ! install "${need_linux32[@]}"; then
    echo "install-packages: the 32-bit Linux packages could not be installed: ${need_linux32[*]}"
  fi
  if [ ${#need_wine32[@]} -ne 0 ] && ! install "${need_wine32[@]}"; then
    echo "install-packages: the 32-bit Wine loader could not be installed: ${need_wine32[*]}"
  fi
fi
exit 0
