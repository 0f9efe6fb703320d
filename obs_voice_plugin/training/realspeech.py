"""Recordings of real people speaking, from Debian packages, split into a part
for training and a part that only the evaluation hears (other speakers and
other languages).

- tuxpaint-stamps-default: the spoken descriptions of the drawing stamps,
  recorded by volunteers, one language (and so one set of speakers) per
  file suffix.
- hedgewars-data: the game's voice packs, each recorded by its own actor.
- warzone2100-data: the narration, tutorial and battle messages (English),
  kept inside the game's base.wz archive. Training only.
- megaglest-data: the units' replies and battle cries, one actor per unit.
  Training only.
"""

import glob
import json
import os
import subprocess
import tempfile
import zipfile
from multiprocessing import Pool

import numpy as np

import tts
from audio_io import to_int16

TUXPAINT = "/usr/share/tuxpaint/stamps"
HEDGEWARS = "/usr/share/games/hedgewars/Data/Sounds/voices"

WARZONE = "/usr/share/games/warzone2100/base.wz"
MEGAGLEST = "/usr/share/games/megaglest/techs/megapack/factions"

TRAIN_LANGS = ("fr", "ru", "ro", "ca", "bg", "es")
EVAL_LANGS = ("be", "el", "da", "lt", "nl")
EVAL_PACKS = ("British", "Mobster", "Pirate", "Default_uk")


def _tuxpaint(langs):
    files = []
    for lang in langs:
        files += glob.glob(os.path.join(TUXPAINT, "**", "*_desc_%s.ogg" % lang), recursive=True)
    return sorted(files)


def _hedgewars(held_out):
    packs = sorted(p for p in os.listdir(HEDGEWARS)) if os.path.isdir(HEDGEWARS) else []
    files = []
    for pack in packs:
        if (pack in EVAL_PACKS) == held_out:
            files += glob.glob(os.path.join(HEDGEWARS, pack, "*.ogg"))
    return sorted(files)


def _warzone(cache_dir):
    """The archive's spoken lines (not its sound effects), unpacked once."""
    if not os.path.exists(WARZONE):
        return []
    out = os.path.join(cache_dir, "warzone2100")
    files = []
    with zipfile.ZipFile(WARZONE) as archive:
        for name in sorted(archive.namelist()):
            if name.startswith("audio/") and name.endswith(".ogg") and not name.startswith(("audio/sfx/",
                                                                                               "audio/radclick")):
                path = os.path.join(out, name)
                if not os.path.exists(path):
                    archive.extract(name, out)
                files.append(path)
    return files


def _megaglest():
    spoken = ("_ack", "_select", "_attack")
    return sorted(f for f in glob.glob(os.path.join(MEGAGLEST, "*", "units", "*", "sounds", "*.wav"))
                  if any(k in os.path.basename(f) for k in spoken))


def files(part, cache_dir):
    """'train' or 'eval': (path, source label) pairs."""
    if part == "train":
        pairs = [(f, "tuxpaint") for f in _tuxpaint(TRAIN_LANGS)] + [(f, "hedgewars") for f in _hedgewars(False)]
        pairs += [(f, "warzone2100") for f in _warzone(cache_dir)] + [(f, "megaglest") for f in _megaglest()]
    else:
        pairs = [(f, "tuxpaint") for f in _tuxpaint(EVAL_LANGS)] + [(f, "hedgewars") for f in _hedgewars(True)]
    return pairs


def _decode(path):
    with tempfile.NamedTemporaryFile(suffix=".wav") as tmp:
        try:
            subprocess.run(["sox", "-q", "-R", path, "-r", "16000", "-b", "16", "-c", "1", tmp.name], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return tts.load_speech(tmp.name)
        except Exception:
            return np.zeros(0, np.float32)


def load(part, cache_dir, limit=None, processes=2):
    """Decoded 16 kHz recordings with their source label, in a fixed order.
    Decoding thousands of files takes minutes, so the result is kept in
    cache_dir (int16 samples, offsets and labels) and read back from there."""
    pairs = files(part, cache_dir)[:limit]
    cache = os.path.join(cache_dir, "real_%s_%d" % (part, len(pairs)))
    if os.path.exists(cache + ".json"):
        samples = np.load(cache + ".npy")
        meta = json.load(open(cache + ".json"))
    else:
        with Pool(processes) as pool:
            audio = pool.map(_decode, [p for p, _ in pairs], chunksize=32)
        kept = [(a, label) for a, (_, label) in zip(audio, pairs) if a.size > 1600]
        samples = to_int16(np.concatenate([a for a, _ in kept])) if kept else np.zeros(0, "<i2")
        sizes = [int(a.size) for a, _ in kept]
        meta = {"sizes": sizes, "labels": [label for _, label in kept]}
        np.save(cache + ".npy", samples)
        with open(cache + ".json", "w") as out:
            json.dump(meta, out)
    bounds = np.concatenate([[0], np.cumsum(meta["sizes"])]).astype(np.int64)
    return [(samples[bounds[i]:bounds[i + 1]].astype(np.float32) / 32768.0, label)
            for i, label in enumerate(meta["labels"])]


def packages():
    """Installed versions of the packages the held-out recordings come from."""
    out = {}
    for name in ("tuxpaint-stamps-default", "hedgewars-data"):
        try:
            out[name] = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], check=True,
                                       capture_output=True, text=True).stdout.strip()
        except Exception:
            out[name] = "not installed"
    return out
