#!/usr/bin/env bash
# Installs, on Debian, what the tests need: ./run-tests runs it first, so a
# fresh machine needs nothing but this repository.
#
# The required group brings what the 64-bit build, its tests, the sanitizer
# and fuzz builds and the 64-bit Windows tests need; it must succeed, and
# when it cannot, this script fails with apt's message. Every other group
# may fail, each on its own, and is then named in one line: the tests that
# need it say that they were skipped and why. The 32-bit groups (the 32-bit
# Linux build, the 32-bit Wine loader) bring the i386 architecture with them.
#
# A package counts as installed only when dpkg has configured it: one left
# unpacked or half configured by an earlier run (dpkg -l shows iU, iF) counts
# as missing, and such packages are configured first (dpkg --configure -a).
# Packages already there are not asked for again, so a machine that has them
# all needs neither root nor the registry. Without root it uses sudo; with
# neither it names what is missing and stops.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive

required=(cmake make g++ libgtest-dev libbenchmark-dev zlib1g-dev unzip python3 python3-venv
  python3-pip python3-setuptools python3-wheel binutils p7zip-full libarchive-tools pkgconf
  util-linux bsdutils clang libclang-rt-14-dev git g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64)
# Optional groups: "name|packages". The 32-bit Linux build, and the 32-bit
# Wine loader, are separate so that one can come without the other; qemu
# runs the 32-bit Linux tests where the kernel starts no 32-bit program.
optional=(
  "the 32-bit Linux packages|g++-multilib libgtest-dev:i386 zlib1g-dev:i386 libssl-dev:i386"
  "the 32-bit Wine loader|wine32:i386"
  "the 32-bit emulator|qemu-user"
  "the Java reader of streamed archives|openjdk-17-jdk-headless"
  "the benchmarks' second deflate peer|libdeflate-dev"
  "the platform's cryptography, for encrypted archives|libssl-dev"
  "a second cryptography, to check encrypted entries|python3-cryptography"
)
# The Node.js package's tests need Node.js 18 or later and npm: Debian's
# where the machine brings none of its own.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  optional+=("Node.js|nodejs npm")
fi

missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      echo "$package"
  done
}

all_optional() {
  local group
  for group in "${optional[@]}"; do echo "${group#*|}"; done
}

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "install-packages: not a Debian system; install by hand: ${required[*]} $(all_optional | tr '\n' ' ')"
  exit 0
fi

# shellcheck disable=SC2046 # the groups split into package names
mapfile -t need < <(missing "${required[@]}" $(all_optional))
half=$(dpkg --audit 2>/dev/null)
if [ ${#need[@]} -eq 0 ] && [ -z "$half" ]; then exit 0; fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    mapfile -t need_required < <(missing "${required[@]}")
    if [ ${#need_required[@]} -ne 0 ]; then
      echo "install-packages: these packages are missing, and installing them needs root or sudo:"
      echo "  ${need_required[*]}"
      exit 1
    fi
    echo "install-packages: optional packages not installed (no root or sudo): ${need[*]}"
    exit 0
  fi
fi

# Packages an earlier run left unpacked or half configured are configured
# before anything else is asked for.
if [ -n "$half" ]; then
  echo "install-packages: configuring packages left half installed"
  "${as_root[@]}" dpkg --configure -a || true
  "${as_root[@]}" apt-get install -f -y --no-install-recommends || true
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
  "${as_root[@]}" apt-get install -y --no-install-recommends "$@" && [ -z "$(missing "$@")" ]
}

if printf '%s\n' "${need[@]}" | grep -q ':i386$' &&
  ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
update

mapfile -t need_required < <(missing "${required[@]}")
if [ ${#need_required[@]} -ne 0 ] && ! install "${need_required[@]}"; then
  echo "install-packages: the required packages could not be installed (apt's message above)"
  exit 1
fi

for group in "${optional[@]}"; do
  # shellcheck disable=SC2086 # the group's packages split into words
  mapfile -t need_group < <(missing ${group#*|})
  if [ ${#need_group[@]} -ne 0 ] && ! install "${need_group[@]}"; then
    # A failed install may leave packages unpacked; configure what it can.
    "${as_root[@]}" dpkg --configure -a >/dev/null 2>&1 || true
    echo "install-packages: ${group%%|*} could not be installed: ${need_group[*]}"
  fi
done
exit 0
