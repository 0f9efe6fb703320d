#!/usr/bin/env bash
# The plug-in in the OBS that most streamers run today: Debian sid's OBS 32
# in a fresh chroot (debootstrap, from the archive this machine's apt uses).
#   1. The plug-in, its tools and tests are built inside it against OBS 32's
#      SDK with its compiler, warnings as errors.
#   2. The real-app tests (tests/real_obs) end to end and re-pairing through
#      obs-websocket run in that OBS 32, with the plug-in from step 1
#      installed by scripts/install.sh inside the chroot.
#   3. The end-to-end test runs again in OBS 32 with the module built here on
#      Debian 12 against OBS 29, unchanged.
#   4. The Debian package built here is installed in the chroot with apt-get,
#      real OBS 32 loads it from the system plug-in folders and the end-to-end
#      test passes with it; apt-get remove leaves none of its files.
# The test driver, Xvfb and the local dashboard run on this machine; OBS runs
# in the chroot and sees the same /tmp (work folders, the X socket) and the
# same repository path.
#   scripts/test_obs32_chroot.sh
# Needs root (chroot, mount). Environment: TV_BUILD_DIR (the Debian 12 build,
# default <repo>/build), TV_OBS32_ROOT (reuse a chroot this script made
# earlier and keep it; by default a fresh one is made and removed),
# TV_OBS32_SUITE (default sid).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="${TV_BUILD_DIR:-$root/build}"
suite="${TV_OBS32_SUITE:-sid}"
build32="$root/build-obs32"
say() { echo "[obs32] $*"; }
fail() { echo "[obs32] FAILED: $*" >&2; exit 1; }

start=$(date +%s)
cmake --build "$build" -j"${TV_JOBS:-2}" --target tollivaren-voice wake-score tollivaren-dashboard >/dev/null

work=$(mktemp -d /var/tmp/tv-obs32-XXXXXX)
if [ -n "${TV_OBS32_ROOT:-}" ]; then
  jail=$TV_OBS32_ROOT
  keep_jail=1
else
  jail="$work/root"
  keep_jail=0
fi
mounts=()
bind() { # host path, then path in the jail (default the same)
  local target="$jail${2:-$1}"
  mkdir -p "$target"
  mount --bind "$1" "$target"
  mounts=("$target" "${mounts[@]}")
}
cleanup() {
  for m in "${mounts[@]}"; do umount -l "$m" 2>/dev/null || true; done
  # Never delete through a mount that is still there: it would reach this
  # machine's own /tmp or the repository.
  if [ "$keep_jail" = 0 ] && [ -d "$jail" ] && ! findmnt -rn -o TARGET | grep -q "^$jail/"; then
    rm -rf --one-file-system "$jail"
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

mirror=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1)
[ -n "$mirror" ] || mirror=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list | awk '{print $2}')
if [ ! -x "$jail/usr/bin/apt-get" ]; then
  t=$(date +%s)
  debootstrap --variant=minbase "$suite" "$jail" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap $suite"; }
  say "debootstrap $suite: $(( $(date +%s) - t )) s"
fi
mount -t proc proc "$jail/proc"; mounts=("$jail/proc" "${mounts[@]}")
bind /sys
bind /dev
bind /dev/pts
bind /dev/shm
bind /tmp
case "$root" in /tmp/*) ;; *) bind "$root" ;; esac # a clone in /tmp is already there
in_jail() { chroot "$jail" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }

t=$(date +%s)
# An unstable suite's Release file carries a Valid-Until that a mirror's
# copy may have passed; the signature is still checked.
in_jail apt-get -o Acquire::Check-Valid-Until=false update -qq
in_jail apt-get install -y -qq --no-install-recommends obs-studio libobs-dev cmake g++ make pkg-config \
  libcurl4-openssl-dev libjansson-dev patchelf ca-certificates libgtest-dev libgmock-dev libbenchmark-dev \
  libcpp-httplib-dev libhwy-dev gdb libgl1 libopengl0 libgl1-mesa-dri libglx-mesa0 libegl-mesa0 \
  >"$work/install.log" 2>&1 || { tail -n 30 "$work/install.log" >&2; fail "apt-get install in the chroot"; }
say "apt-get install: $(( $(date +%s) - t )) s"
say "with $(in_jail dpkg-query -W -f='${db:Status-Abbrev}${Package} ${Version}\n' obs-studio 'libobs-dev' g++ 'libcurl4*' |
  sed -n 's/^ii *//p' | paste -sd, -)"

# Step 1: everything (plug-in, tools, tests) against OBS 32's SDK and sid's
# compiler and libraries; OBS loads the plug-in and wake-score from it.
t=$(date +%s)
rm -rf "$build32"
in_jail cmake -S "$root" -B "$build32" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; fail "cmake configure against OBS 32"; }
in_jail cmake --build "$build32" -j"${TV_JOBS:-2}" \
  >"$work/build.log" 2>&1 || { grep -E 'error|warning' "$work/build.log" | head -n 40 >&2; fail "build against OBS 32"; }
say "built against OBS 32 with -Wall -Wextra -Werror: $(( $(date +%s) - t )) s"

# OBS 30 and later ask about safe mode after a run that did not shut down
# cleanly; a hang the tests provoke and kill must not block the next start.
obs_env=(TV_OBS_ROOT="$jail" TV_OBS_ARGS="--disable-shutdown-check"
         TV_DASHBOARD="$build/obs_voice_plugin/native/tools/dashboard/tollivaren-dashboard")
real_obs="$root/obs_voice_plugin/native/tests/real_obs/run.sh"

t=$(date +%s)
say "real OBS 32, the plug-in built against OBS 32"
# OBS 32 itself, with no plug-in installed, sometimes keeps a scene alive
# when its window closes and may then crash (tests/real_obs/close_without_plugin.py,
# the real_obs README): of the 10 closes while scene, show and hide commands
# flow, the re-pairing test's close and each end-to-end close, those that go wrong after OBS logged
# so are counted, not failed; a hang, or a bad close without that line, fails. The scene-collection switch
# test, whose close would meet the same fault, is left out.
env "${obs_env[@]}" TV_BUILD_DIR="$build32" TV_INSTALL_COMMAND="chroot $jail" \
  TV_REALOBS_CLOSE_KIND=scene_show_hide TV_REALOBS_CLOSES=10 TV_REALOBS_OBS_LEFTOVERS=10 \
  bash "$real_obs" -k "e2e or filter_settings or close" ||
  fail "the real-app tests in OBS 32 (the plug-in built against OBS 32)"
say "real-app tests in OBS 32: $(( $(date +%s) - t )) s"

t=$(date +%s)
say "real OBS 32, the module built on Debian 12 against OBS 29, unchanged"
env "${obs_env[@]}" TV_BUILD_DIR="$build" TV_REALOBS_OBS_LEFTOVERS=1 bash "$real_obs" -k e2e ||
  fail "the end-to-end test in OBS 32 (the module built against OBS 29)"
say "end to end in OBS 32 with the OBS 29 build: $(( $(date +%s) - t )) s"

t=$(date +%s)
say "real OBS 32, the Debian package built on Debian 12"
deb=$(TV_BUILD_DIR="$build" TV_DEB_COMPRESSION=gzip bash "$root/scripts/make_deb.sh" "$work/deb" 2>/dev/null | tail -n 1)
[ -f "$deb" ] || fail "make_deb.sh wrote no package"
cp "$deb" "$jail/tmp/"
jail_deb="/tmp/$(basename "$deb")"
in_jail apt-get install -y -qq --no-install-recommends "$jail_deb" >"$work/deb-install.log" 2>&1 ||
  { tail -n 30 "$work/deb-install.log" >&2; fail "apt-get install ./$(basename "$deb") in the chroot"; }
rm -f "$jail$jail_deb"
in_jail dpkg -L tollivaren-voice >"$work/deb-files"
env "${obs_env[@]}" TV_BUILD_DIR="$build" TV_PLUGIN_SYSTEM=1 TV_REALOBS_OBS_LEFTOVERS=1 bash "$real_obs" -k e2e ||
  { in_jail apt-get remove -y -qq tollivaren-voice >/dev/null 2>&1 || true; fail "the end-to-end test in OBS 32 with the Debian package"; }
in_jail apt-get remove -y -qq tollivaren-voice >"$work/deb-remove.log" 2>&1 ||
  { cat "$work/deb-remove.log" >&2; fail "apt-get remove tollivaren-voice in the chroot"; }
left=$(while read -r path; do if [ -f "$jail$path" ]; then echo "$path"; fi; done <"$work/deb-files")
[ -z "$left" ] || fail "left after apt-get remove: $left"
say "Debian package in OBS 32: installed, end to end, removed: $(( $(date +%s) - t )) s"
say "OBS 32 ($suite): built, tested end to end, closed and re-paired; $(( $(date +%s) - start )) s in all"
