#!/usr/bin/env bash
# Makes a release from a clean tree and checks it:
#   dist/KelvRx-<version>-windows-x86.zip     the folder KelvRx, to be copied to
#        C:\KelvRx: the 32-bit KelvRx.exe, the operator's guide in Japanese and
#        in English as HTML (pictures inside), CHANGELOG.txt
#   dist/KelvRx-<version>-linux-x86_64.tar.gz  the folder KelvRx-<version>: the
#        Linux program, the same guides, CHANGELOG.md, README.txt naming the
#        Debian packages it needs
#   dist/SHA256SUMS
# The version is the one in CMakeLists.txt's project(); the guides come from
# docs/operator.md (Japanese) and docs/operator.en.md (English). While
# operator.md is still the English text and operator.en.md is not there, the
# archives carry it as the English guide and no Japanese one, and say so.
# Usage: scripts/release.sh [--trial DIR]
#   --trial DIR  the same archives from the tree as it is (changes allowed),
#                into DIR instead of dist/: what the Windows stage checks
#   KELV_WIN_BUILD      build folder of KelvRx.exe (default build-release-win)
#   KELV_RELEASE_BUILD  build folder of the Linux program (default build-release)
# Exits non-zero when the tree has changes, a build fails or the check finds
# anything wrong with the archives.
set -euo pipefail
cd "$(dirname "$0")/.."
out=dist
trial=0
if [[ ${1:-} == --trial ]]; then
  [[ -n ${2:-} ]] || { echo "release: --trial needs a folder" >&2; exit 2; }
  trial=1
  out=$2
elif [[ -n ${1:-} ]]; then
  echo "usage: scripts/release.sh [--trial DIR]" >&2
  exit 2
fi
say() { echo "release: $*"; }

if ((!trial)); then
  # What is released must be what the commit holds.
  changes=$(git status --porcelain --untracked-files=normal)
  if [[ -n $changes ]]; then
    echo "release: the tree has changes; commit or stash them first:" >&2
    echo "$changes" >&2
    exit 1
  fi
fi
scripts/deps.sh release
export PYTHONPATH=scripts${PYTHONPATH:+:$PYTHONPATH}
version=$(python3 -m kelvdrive.release version)
# Files in the archives carry the commit's time, so the same commit packs the same.
epoch=$(git log -1 --format=%ct 2>/dev/null || date +%s)
say "KelvRx $version ($(git describe --always --dirty 2>/dev/null || echo 'no git'))"

export KELV_WIN_BUILD=${KELV_WIN_BUILD:-build-release-win}
scripts/build-windows.sh
linux_build=${KELV_RELEASE_BUILD:-build-release}
cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELV_TESTS=OFF >/dev/null
cmake --build "$linux_build" -j 2 --target KelvRx

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
win=$stage/KelvRx
lin=$stage/KelvRx-$version
mkdir -p "$win" "$lin" "$out"
out=$(realpath "$out")

cp "$KELV_WIN_BUILD/app/KelvRx.exe" "$win/KelvRx.exe"
strip --strip-unneeded -o "$lin/KelvRx" "$linux_build/app/KelvRx"

declare -A title=([ja]="KelvRx $version 操作説明" [en]="KelvRx $version operator's guide")
found=0
while read -r lang source; do
  # From the guide's folder, so its pictures are found and put inside the file
  # (lang as a variable only: pandoc 2.17 has no Japanese term list to load).
  # The guides name each other by their names in the archives; a link to a
  # document the archives do not carry keeps its text.
  if ! (cd "$(dirname "$source")" &&
    sed -E 's/\]\(operator\.en\.md([#)])/](guide-en.html\1/g; s/\]\(operator\.md([#)])/](guide-ja.html\1/g
            s/\[([^]]*)\]\([A-Za-z0-9_.-]+\.md(#[^)]*)?\)/\1/g' \
      "$(basename "$source")" |
    pandoc --standalone --self-contained --from gfm --to html5 --resource-path . \
      --variable lang="$lang" --metadata pagetitle="${title[$lang]}" \
      -o "$win/guide-$lang.html"); then
    echo "release: pandoc could not make guide-$lang.html from $source (see above)" >&2
    exit 1
  fi
  cp "$win/guide-$lang.html" "$lin/"
  say "guide-$lang.html from $source"
  found=$((found + 1))
done < <(python3 -m kelvdrive.release guides)
if ((found < 2)); then
  say "WARNING: only $found guide: docs/operator.md is not in Japanese yet and docs/operator.en.md is not there"
fi

# Notepad on an older Windows needs the mark to read UTF-8, and CR LF.
{ printf '\xef\xbb\xbf'; sed 's/$/\r/' CHANGELOG.md; } >"$win/CHANGELOG.txt"
cp CHANGELOG.md "$lin/"
packages=$(python3 -c 'from kelvdrive.release import LINUX_PACKAGES as p; print(*p)')
cat >"$lin/README.txt" <<EOF
KelvRx $version for Linux (x86_64, Debian 12)

It needs the Qt 6 runtime and a Japanese font, from these Debian packages:
sudo apt install $packages

Copy this folder to one the operator may write to (for example ~/KelvRx) and
start ./KelvRx there; Kelv.ini and Rx.nc are kept beside it. The serial port:
the user must be in the group dialout. More in guide-ja.html / guide-en.html.
EOF

find "$stage" -exec touch -h -d "@$epoch" {} +
zip_name=KelvRx-$version-windows-x86.zip
tar_name=KelvRx-$version-linux-x86_64.tar.gz
rm -f "$out/$zip_name" "$out/$tar_name" "$out/SHA256SUMS"
# Names in a fixed order and modes of our own, not the disk's or the umask's.
chmod -R u=rwX,go=rX "$stage"
(cd "$stage" && TZ=UTC zip -q -X "$out/$zip_name" KelvRx/ $(find KelvRx -type f | LC_ALL=C sort))
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" -C "$stage" \
  -cf - "KelvRx-$version" | gzip -n -9 >"$out/$tar_name"
(cd "$out" && sha256sum "$zip_name" "$tar_name" >SHA256SUMS)

python3 -m kelvdrive.release check "$out"
ls -l "$out/$zip_name" "$out/$tar_name" "$out/SHA256SUMS"
