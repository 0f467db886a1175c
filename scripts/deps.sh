#!/usr/bin/env bash
# Installs the Debian packages this project needs, and only those missing.
# Usage: scripts/deps.sh run|demo|windows|windows64|demo-wine|release|test
#   run        build and start the program
#   demo       also what the demo needs without a display (a virtual X server, keys
#              pressed from outside, the screenshot)
#   windows    cross-build KelvRx.exe (scripts/build-windows.sh)
#   windows64  the same for x86_64 (scripts/build-windows.sh --arch 64)
#   demo-wine  the demo with KelvRx.exe under Wine (./run.sh --demo --wine): the
#              cross-build, the line simulator, Wine and its Japanese locale
#   release    scripts/release.sh: both builds, pandoc for the guides, zip
#   test     also what the test suite needs
# For demo-wine and test, which Wine depends on the machine (scripts/winarch.sh;
# KELV_WIN_ARCH=32|64 when the caller has decided already).
set -euo pipefail
cd "$(dirname "$0")/.."

# qt6-translations-l10n: the toolkit's own texts (the save box, its buttons) in Japanese.
RUN_PKGS=(cmake ninja-build g++ qt6-base-dev libgl-dev fonts-ipafont-gothic fonts-noto-cjk
          qt6-translations-l10n)
DEMO_PKGS=(xvfb xdotool imagemagick python3)
# KelvRx.exe is a 32-bit program: it runs on 32-bit and 64-bit Windows alike.
WINDOWS_PKGS=(cmake ninja-build g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
# The release's guides are made with pandoc and the Windows archive with zip.
RELEASE_PKGS=(pandoc zip python3)
# valgrind counts instructions for bench/run.sh; dbus-daemon carries the
# stand-in for logind in the Qt tests; the Windows stage checks the release;
# QEMU and a static busybox make the guest with the kernel's real serial
# drivers (scripts/guest-stage.sh, and the 32-bit program where this kernel
# runs no 32-bit programs).
TEST_PKGS=(libgtest-dev googletest xauth clang libclang-rt-14-dev "${WINDOWS_PKGS[@]}" valgrind
           dbus-daemon "${RELEASE_PKGS[@]}" qemu-system-x86 busybox-static)

# Wine runs the Windows stage and the Wine demo, with Japanese fonts for the
# dialog, Wine's own for its window frame and the Japanese locale. Where the
# kernel runs 32-bit programs, the shipped program runs under Wine's 32-bit
# side, which is unpacked beside the build rather than installed
# (scripts/wine32-ns.sh): Debian's wine32:i386 needs i386 builds of host
# libraries at exactly the host's versions, which a mirror often lacks. Where
# it does not: the x86_64 cross-compiler for a 64-bit build of the same
# sources, and the shipped program in the real-driver guest.
wine_pkgs() {
  local arch=${KELV_WIN_ARCH:-}
  if [[ -z $arch ]]; then
    local line
    line=$(scripts/winarch.sh) || exit 1
    arch=${line%% *}
  fi
  if [[ $arch == 32 ]]; then
    echo wine wine64 fonts-wine locales fonts-ipafont-gothic
  else
    echo wine wine64 fonts-wine locales fonts-ipafont-gothic \
      g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  fi
}

WINE_PKGS=()
case "${1:-run}" in
  demo-wine | test) WINE_PKGS=($(wine_pkgs)) ;;
esac
case "${1:-run}" in
  run) want=("${RUN_PKGS[@]}") ;;
  demo) want=("${RUN_PKGS[@]}" "${DEMO_PKGS[@]}") ;;
  windows) want=("${WINDOWS_PKGS[@]}") ;;
  release) want=("${RUN_PKGS[@]}" "${WINDOWS_PKGS[@]}" "${RELEASE_PKGS[@]}") ;;
  windows64) want=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64) ;;
  demo-wine) want=(g++ "${WINDOWS_PKGS[@]}" "${DEMO_PKGS[@]}" "${WINE_PKGS[@]}") ;;
  test) want=("${RUN_PKGS[@]}" "${DEMO_PKGS[@]}" "${TEST_PKGS[@]}" "${WINE_PKGS[@]}") ;;
  *) echo "usage: scripts/deps.sh run|demo|windows|windows64|demo-wine|release|test" >&2; exit 2 ;;
esac

SUDO=""
as_root() {
  if [[ $(id -u) -ne 0 && -z $SUDO ]]; then
    if ! command -v sudo >/dev/null; then
      echo "Needs root: $*; run as root or install sudo." >&2
      exit 1
    fi
    SUDO="sudo"
  fi
  $SUDO "$@"
}

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  # A list that fails to download (a mirror in mid-sync) is not fatal here:
  # apt-get install says so if a package is really not to be had.
  as_root apt-get update -qq || echo "deps.sh: apt-get update failed in part; installing from the lists there are" >&2
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Windows stage runs Wine in the Japanese locale, as the program's users
# run Windows: code page 932, and file names beyond ASCII.
if [[ ${1:-run} == test || ${1:-run} == demo-wine ]] && ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
  echo "Making the locale ja_JP.UTF-8"
  as_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi
