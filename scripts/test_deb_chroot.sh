#!/usr/bin/env bash
# The Debian package on a Debian system that has nothing but what it pulls
# in: a fresh minimal chroot (debootstrap, from the archive this machine's apt
# uses), then inside it
#   apt-get install ./<package>.deb   (Depends resolved from the archive)
#   libobs's own module search (what obs_load_all_modules walks) finds the
#     module in /usr/lib/<triplet>/obs-plugins with its data in
#     /usr/share/obs/obs-plugins/tollivaren-voice, and nothing else of the
#     package, and the headless OBS host loads it from there
#   the installed wake-score scores a spoken phrase
#   apt-get remove (not purge: the package has no conffiles, so remove must
#   already take everything), after which no file or folder of it is left.
#   scripts/test_deb_chroot.sh [suite]    default bookworm
# Needs root (chroot, mount) and an X server for libobs: it starts xvfb-run.
# Environment: TV_BUILD_DIR (default <repo>/build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"
suite="${1:-bookworm}"
say() { echo "[deb-chroot] $*"; }
fail() { echo "[deb-chroot] FAILED: $*" >&2; exit 1; }

start=$(date +%s)
cmake --build "$build" -j"${TV_JOBS:-2}" --target tollivaren-headless-host >/dev/null
work=$(mktemp -d /tmp/tv-deb-chroot-XXXXXX)
jail="$work/root"
cleanup() {
  if mountpoint -q "$jail/proc"; then umount "$jail/proc"; fi
  rm -rf "$work"
}
trap cleanup EXIT

# gzip rather than xz: the same files, a tenth of the time.
deb=$(TV_DEB_COMPRESSION=gzip bash "$root/scripts/make_deb.sh" "$work/out" 2>/dev/null | tail -n 1)
[ -f "$deb" ] || fail "make_deb.sh wrote no package"
say "package $(basename "$deb") built in $(( $(date +%s) - start )) s"

mirror=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1)
[ -n "$mirror" ] || mirror=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list | awk '{print $2}')
t=$(date +%s)
debootstrap --variant=minbase "$suite" "$jail" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap $suite"; }
say "debootstrap $suite: $(( $(date +%s) - t )) s"
mount -t proc proc "$jail/proc"
in_jail() { chroot "$jail" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

t=$(date +%s)
cp "$deb" "$jail/tmp/"
# An unstable suite's Release file carries a Valid-Until that a mirror's
# copy may have passed; the signature is still checked.
in_jail apt-get -o Acquire::Check-Valid-Until=false update -qq
in_jail apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")" >"$work/install.log" 2>&1 ||
  { tail -n 30 "$work/install.log" >&2; fail "apt-get install ./$(basename "$deb")"; }
say "apt-get install: $(( $(date +%s) - t )) s, $(grep -c '^Setting up' "$work/install.log") packages set up"
say "with $(in_jail dpkg-query -W -f='${db:Status-Abbrev}${Package} ${Version}\n' 'libobs0*' 'libcurl4*' 2>/dev/null |
  sed -n 's/^ii *//p' | paste -sd, -)"
in_jail dpkg -L tollivaren-voice > "$work/files"
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
module="/usr/lib/$triplet/obs-plugins/tollivaren-voice.so"
data="/usr/share/obs/obs-plugins/tollivaren-voice"
private="/usr/lib/$triplet/tollivaren-voice"
for f in "$module" "$data/locale/en-US.ini" "$data/models/melspectrogram.onnx" "$data/models/voice_bank.tvnb" "$private/wake-score"; do
  [ -f "$jail$f" ] || fail "$f not installed"
done
# Nothing but the module may sit among the system plug-ins.
ours_in_plugins=$(grep -c "^/usr/lib/$triplet/obs-plugins/." "$work/files" || true)
[ "$ours_in_plugins" = 1 ] || fail "the package puts $ours_in_plugins files in obs-plugins/"

# The headless host from this build, with the stand-in frontend library
# (the chroot's libobs is what the package pulled in).
mkdir -p "$jail/opt/tv-host"
cp "$build/obs_voice_plugin/native/tools/obs_host/tollivaren-headless-host" "$jail/opt/tv-host/"
cp -L "$build/frontend-double/libobs-frontend-api.so.0" "$jail/opt/tv-host/"
pairing=$(printf '{"url":"http://127.0.0.1:9","tenant_id":"chroot","key":"chroot-key"}' | base64 -w0)
espeak-ng -v en-us+f3 -s 140 -w "$work/phrase.wav" "tollivaren clip it"
sox "$work/phrase.wav" "$jail/tmp/phrase.wav" pad 2 1 # the tool scores from two seconds on
# xvfb-run's display is reached through its abstract socket, which a chroot
# shares; its cookie is copied in.
xvfb-run -a bash -c '
  cp "$XAUTHORITY" "$0/tmp/xauth"
  chroot "$0" env -i PATH=/usr/bin:/bin DISPLAY="$DISPLAY" XAUTHORITY=/tmp/xauth LD_LIBRARY_PATH=/opt/tv-host \
    /opt/tv-host/tollivaren-headless-host --system-module tollivaren-voice --pairing "$1" --tone 440 --seconds 1 --fast
' "$jail" "$pairing" >"$work/host.log" 2>&1 || { cat "$work/host.log" >&2; fail "headless host"; }
found=$(grep "^found module " "$work/host.log" | sed 's|//*|/|g')
[ "$found" = "found module 'tollivaren-voice': $module (data $data)" ] ||
  fail "libobs's module search found: ${found:-nothing}"
say "libobs found: $found"
for line in "[tollivaren-voice] loaded v" "[tollivaren-voice] ONNX Runtime " "[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')" \
            "[tollivaren-voice] unloaded"; do
  grep -qF "$line" "$work/host.log" || { cat "$work/host.log" >&2; fail "no '$line' in the host's log"; }
done
grep -F -e "[tollivaren-voice] loaded v" -e "[tollivaren-voice] ONNX Runtime " "$work/host.log" | sed 's/^/[deb-chroot] host: /'
score=$(in_jail "$private/wake-score" --quiet /tmp/phrase.wav 2>"$work/score.log") ||
  { cat "$work/score.log" >&2; fail "wake-score"; }
say "wake-score: $score"
awk '{ exit !($2 >= 0.6) }' <<<"$score" || fail "the phrase peaked below 0.6"

in_jail apt-get remove -y -qq tollivaren-voice >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "apt-get remove"; }
left=()
while read -r path; do
  case "$path" in /.|/usr|/usr/lib|/usr/lib/"$triplet"|/usr/lib/"$triplet"/obs-plugins|/usr/share|/usr/share/obs|/usr/share/obs/obs-plugins) continue ;; esac
  [ -e "$jail$path" ] && left+=("$path")
done < "$work/files"
[ ${#left[@]} -eq 0 ] || fail "left after removal: ${left[*]}"
stray=$(find "$jail" -xdev -name '*tollivaren*' -not -path "$jail/tmp/*" -not -path "$jail/opt/tv-host/*")
[ -z "$stray" ] || fail "left after removal: $stray"
say "$suite: installed, loaded, scored and removed; $(( $(date +%s) - start )) s in all"
