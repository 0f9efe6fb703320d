#!/usr/bin/env bash
# Builds the Debian package of the plug-in (dpkg-deb), for Debian's OBS:
#   scripts/make_deb.sh [out-dir]      default out-dir: <build>/deb
# prints the path of the .deb it wrote. It installs
#   /usr/lib/<triplet>/obs-plugins/tollivaren-voice.so         the module
#   /usr/lib/<triplet>/tollivaren-voice/                        private to it: the
#       ONNX Runtime copy (soname libtollivaren-onnxruntime.so.<v>) and wake-score
#   /usr/share/obs/obs-plugins/tollivaren-voice/{locale,models}
# OBS opens every "*.so" in obs-plugins/ as a module, so nothing else goes
# there; the module finds the runtime through its RUNPATH
# $ORIGIN/../tollivaren-voice. Environment: TV_BUILD_DIR (default <repo>/build),
# TV_DEB_VERSION (default from PLUGIN_VERSION), TV_DEB_COMPRESSION (xz).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"
out="${1:-$build/deb}"
name=tollivaren-voice

if [ ! -f "$build/CMakeCache.txt" ]; then
  bash "$root/scripts/setup.sh" >&2
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"${TV_JOBS:-2}" --target tollivaren-voice wake-score >&2

plugin_version=$(sed -n 's/^#define PLUGIN_VERSION "\(.*\)"/\1/p' "$root/obs_voice_plugin/native/src/module/plugin_module.h")
# "obs-voice-dev-36805275332" -> "0.0~dev36805275332": sorts before any release 0.0 or later.
version="${TV_DEB_VERSION:-0.0~dev$(echo "$plugin_version" | tr -cd '0-9')}"
arch=$(dpkg --print-architecture)
triplet=$(gcc -print-multiarch)
obs_version=$(dpkg-query -W -f='${Version}' libobs-dev | sed 's/+.*//; s/^[0-9]*://')

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/plugin" --component plugin >/dev/null
from="$work/plugin/$name"
# dpkg-shlibdeps wants the tree as debian/<package>/ with DEBIAN/ in it.
pkg="$work/debian/$name"
lib="$pkg/usr/lib/$triplet"
data="$pkg/usr/share/obs/obs-plugins/$name"
install -d "$pkg/DEBIAN" "$lib/obs-plugins" "$lib/$name" "$data"

runtimes=("$from"/bin/64bit/libtollivaren-onnxruntime.so.*)
[ ${#runtimes[@]} -eq 1 ] || { echo "make_deb: expected one runtime in $from/bin/64bit" >&2; exit 1; }
install -m 644 "$from/bin/64bit/$name.so" "$lib/obs-plugins/"
install -m 644 "${runtimes[0]}" "$lib/$name/"
install -m 755 "$from/bin/64bit/wake-score" "$lib/$name/"
cp -r "$from/data/." "$data/"
find "$data" -type d -exec chmod 755 {} + && find "$data" -type f -exec chmod 644 {} +
strip --strip-unneeded "$lib/obs-plugins/$name.so" "$lib/$name/wake-score"
patchelf --set-rpath '$ORIGIN/../tollivaren-voice' "$lib/obs-plugins/$name.so"

# Depends from the libraries the binaries use. libobs at least the version
# built against (a module is not meant to run in an older OBS than its SDK);
# the 64-bit time_t names of newer Debian as alternatives (they also provide
# the old names, so either resolves).
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$name" "$name" > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -l"$lib/$name" -S"$pkg" \
  "$lib/obs-plugins/$name.so" "$lib/$name/wake-score" "$lib/$name/${runtimes[0]##*/}" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
depends=$(echo "$depends" | sed -E \
  -e "s/libobs0 \([^)]*\)/libobs0 (>= $obs_version) | libobs0t64 (>= $obs_version)/" \
  -e 's/libcurl4 (\([^)]*\))/libcurl4 \1 | libcurl4t64 \1/')
for needed in libobs0 libcurl4 libjansson4; do
  [[ "$depends" == *"$needed ("* ]] || { echo "make_deb: $needed missing from Depends: $depends" >&2; exit 1; }
done

cat > "$pkg/DEBIAN/control" <<EOF
Package: $name
Version: $version
Architecture: $arch
Maintainer: ${TV_DEB_MAINTAINER:-tollivaren-voice developers <tollivaren-voice@localhost>}
Installed-Size: $(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
Depends: $depends
Enhances: obs-studio
Section: video
Priority: optional
Description: OBS Studio plug-in for hands-free clipping and chat commands
 Listens on an OBS audio source, on the computer, for the phrase
 "tollivaren clip it" (openWakeWord models run by a private copy of ONNX
 Runtime) and asks the Tollivaren dashboard to make a clip; carries out the
 chat commands the dashboard relays (scene, source visibility, mute, replay
 buffer). The score tool is $name/wake-score in /usr/lib/$triplet.
EOF
(cd "$pkg" && find usr -type f -exec md5sum {} + | sort -k2 > DEBIAN/md5sums)

mkdir -p "$out"
deb="$out/${name}_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Z"${TV_DEB_COMPRESSION:-xz}" --build "$pkg" "$deb" >/dev/null
echo "$deb"
