#!/usr/bin/env bash
# The Linux tests once more as a 32-bit build, so that the 32-bit code paths
# (the DLL's home is 32-bit) run somewhere on every machine: natively where
# the kernel starts 32-bit programs, else under qemu-i386, registered for
# 32-bit ELF files through binfmt_misc inside a user namespace of its own
# (it touches nothing outside it; every 32-bit program, the tool that the
# tests start included, then runs). Skipped, in one line with the reason,
# only when the 32-bit packages are missing. Prints how many tests ran.
# ZIPFOLDER_LINUX32=qemu forces the emulator (to try that path here).
#   tests/run-linux32.sh BUILD_DIR JOBS
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-i386}
jobs=${2:-2}

# Debian's registration of i386 programs (magic and mask of a 32-bit x86 ELF
# executable or shared object), with the F flag: the kernel opens the
# emulator now, so it is found from any mount namespace later.
qemu_register() {
  local qemu=$1
  printf ':zipfolder-i386:M::%s:%s:%s:F' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' "$qemu"
}

probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
if ! printf '#include <gtest/gtest.h>\n#include <zlib.h>\nint main() { return 0; }\n' |
  g++ -m32 -x c++ -o "$probe" - -lgtest -lz 2>/dev/null; then
  echo "32-bit Linux tests skipped: g++-multilib, libgtest-dev:i386 or zlib1g-dev:i386 could not be installed"
  exit 0
fi

qemu=$(command -v qemu-i386 || true)
mode=native
if [ "${ZIPFOLDER_LINUX32:-}" = qemu ] || ! "$probe" 2>/dev/null; then
  mode=qemu
  if [ -z "$qemu" ]; then
    reason="this machine cannot start 32-bit programs and qemu-user could not be installed"
  elif ! unshare --user --map-root-user --mount sh -c \
    "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
     printf '%s' '$(qemu_register "$qemu")' > /proc/sys/fs/binfmt_misc/register && '$probe'" \
    2>/dev/null; then
    reason="this machine cannot start 32-bit programs, and this kernel registers no emulator in a user namespace"
  else
    reason=""
  fi
  if [ -n "$reason" ]; then
    # Still compiled, tests included, so that a 32-bit build error shows.
    cmake -S . -B "$build" --toolchain cmake/linux-i386.cmake -DZIPFOLDER_TESTS=ON -DZIPFOLDER_WERROR=ON \
      -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
    cmake --build "$build" -j"$jobs"
    echo "32-bit Linux tests skipped: $reason; they are compiled, not run"
    exit 0
  fi
fi

discovery=()
[ "$mode" = qemu ] && discovery=(-DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
  -DZIPFOLDER_TEST_TIMEOUT=1800)
cmake -S . -B "$build" --toolchain cmake/linux-i386.cmake -DZIPFOLDER_TESTS=ON -DZIPFOLDER_WERROR=ON "${discovery[@]}"
cmake --build "$build" -j"$jobs"

# The archives past 4 GiB take ten minutes more natively (they pass); the
# 64-bit run has them. ZIPFOLDER_LINUX32_BIG=1 runs them here too.
big=(-LE big)
[ "${ZIPFOLDER_LINUX32_BIG:-}" = 1 ] && big=()
junit=linux32-junit.xml  # in the build folder
status=0
if [ "$mode" = native ]; then
  ctest --test-dir "$build" --output-on-failure -j"$jobs" -E '^windows' "${big[@]}" \
    --output-junit "$junit" || status=$?
else
  unshare --user --map-root-user --mount bash -c '
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
    printf "%s" "$1" > /proc/sys/fs/binfmt_misc/register &&
    exec ctest --test-dir "$2" --output-on-failure -j"$3" -E "^windows" -LE big \
      --output-junit "$4"' \
    _ "$(qemu_register "$qemu")" "$build" "$jobs" "$junit" || status=$?
fi
python3 - "$build/$junit" "$mode" <<'EOF'
import sys
import xml.etree.ElementTree as tree
cases = tree.parse(sys.argv[1]).getroot().iter("testcase")
counts = {"run": 0, "fail": 0, "disabled": 0, "notrun": 0}
for case in cases:
    counts[case.get("status", "run")] = counts.get(case.get("status", "run"), 0) + 1
ran = counts["run"] + counts["fail"]
print(f"32-bit Linux tests ({sys.argv[2]}): {ran} run, {counts['fail']} failed, "
      f"{counts['notrun'] + counts['disabled']} skipped")
EOF
exit "$status"
