"""Builds the negative bank the plug-in ships for voice enrollment: feature
rows of other voices' talk and of near misses (the name with other endings,
"clip it" without the name, sound-alikes, windows ending inside the phrase),
picked from the feature rows the training pipeline made.

    voice_bank.py --models DIR --out data/models/voice_bank.tvnb \\
        --set work/features/train work/data/train.json \\
        --set work/features/negatives work/data/negatives.json [--rows 3000]

Each --set is a wake-features prefix (PREFIX.rows.npy [P,16,96],
PREFIX.index.npy [P,2]: clip line, pass end) and the set's clip list (.json,
one entry per clip: kind, label, voice, text, condition). Rows are spread
over voices and clips (at most every 4th pass of a clip), with a fixed seed.

File layout (little-endian), read by voice_bank_load in
native/src/detector/voice_enrollment.cpp:
  "TVNB", u32 version 1, u32 rows, u32 1536, 16 ASCII hex chars (the
  features identity: FNV-1a 64 over melspectrogram.onnx's bytes and their
  length as u64, then embedding_model.onnx's), f32 scale[1536], u8 kind[rows]
  (0 talk, 1 near miss), i8 values[rows][1536] (value = i8 * scale), u32
  FNV-1a 32 of every byte before it.
"""

import argparse
import json
import os
import struct
import sys

import numpy as np

FEATURES = 16 * 96
TALK, NEAR = 0, 1
NEAR_KINDS = ("near_miss", "partial")
TALK_KINDS = ("speech", "nonspeech")
PASS_STRIDE = 4


def fnv1a64_files(paths):
    h = 14695981039346656037
    mask = (1 << 64) - 1
    for path in paths:
        data = open(path, "rb").read() + struct.pack("<Q", os.path.getsize(path))
        for byte in data:
            h = ((h ^ byte) * 1099511628211) & mask
    return "%016x" % h


def fnv1a32(data):
    h = 2166136261
    for byte in data:
        h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return h


def features_identity(models):
    return fnv1a64_files([os.path.join(models, "melspectrogram.onnx"),
                          os.path.join(models, "embedding_model.onnx")])


def candidates(prefix, meta_path):
    """(set rows, [(row index, bank kind, voice or clip key)]) of one set."""
    rows = np.load(prefix + ".rows.npy", mmap_mode="r")
    index = np.load(prefix + ".index.npy")
    meta = json.load(open(meta_path))
    if rows.ndim != 3 or rows.shape[1] * rows.shape[2] != FEATURES or len(index) != len(rows):
        raise SystemExit("%s: rows %s and index %s do not fit" % (prefix, rows.shape, index.shape))
    picked, seen = [], {}
    for i, (clip, _end) in enumerate(index):
        m = meta[int(clip)]
        if m.get("label", 0) != 0:
            continue
        kind = NEAR if m["kind"] in NEAR_KINDS else TALK if m["kind"] in TALK_KINDS else None
        if kind is None:
            continue
        n = seen.get(int(clip), 0)
        seen[int(clip)] = n + 1
        if n % PASS_STRIDE == 0:
            picked.append((i, kind, m.get("voice") or "clip%d" % int(clip)))
    return rows, picked


def spread(rng, items, count):
    """Up to `count` items, taken round-robin over their voices."""
    by_voice = {}
    for item in items:
        by_voice.setdefault(item[2], []).append(item)
    queues = [list(rng.permutation(len(v))) for v in by_voice.values()]
    lists = list(by_voice.values())
    out = []
    while len(out) < count and any(queues):
        for q, items_of_voice in zip(queues, lists):
            if q and len(out) < count:
                out.append(items_of_voice[q.pop()])
    return out


def write_bank(path, identity, rows, kinds):
    rows = np.asarray(rows, np.float32).reshape(len(rows), FEATURES)
    if not np.isfinite(rows).all():
        raise SystemExit("rows hold numbers that are not finite")
    scale = np.abs(rows).max(axis=0) / 127.0
    safe = np.where(scale > 0, scale, 1.0)
    values = np.clip(np.rint(rows / safe), -127, 127).astype(np.int8)
    body = (b"TVNB" + struct.pack("<III", 1, len(rows), FEATURES) + identity.encode("ascii")
            + scale.astype("<f4").tobytes() + np.asarray(kinds, np.uint8).tobytes() + values.tobytes())
    with open(path + ".part", "wb") as out:
        out.write(body + struct.pack("<I", fnv1a32(body)))
    os.replace(path + ".part", path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--models", required=True, help="folder with melspectrogram.onnx and embedding_model.onnx")
    parser.add_argument("--set", nargs=2, action="append", required=True, metavar=("PREFIX", "JSON"))
    parser.add_argument("--out", required=True)
    parser.add_argument("--rows", type=int, default=3000)
    parser.add_argument("--near-share", type=float, default=0.45)
    parser.add_argument("--seed", type=int, default=24)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(args.seed)
    sets, talk, near = [], [], []
    for s, (prefix, meta) in enumerate(args.set):
        rows, picked = candidates(prefix, meta)
        sets.append(rows)
        for i, kind, voice in picked:
            (near if kind == NEAR else talk).append((s, i, voice))
    want_near = min(len(near), int(round(args.rows * args.near_share)))
    chosen = spread(rng, near, want_near)
    chosen += spread(rng, talk, args.rows - len(chosen))
    if not chosen:
        raise SystemExit("no rows to choose from")
    chosen.sort(key=lambda item: (item[0], item[1]))
    near_set = {(s, i) for s, i, _ in near}
    rows = np.stack([np.asarray(sets[s][i], np.float32).reshape(FEATURES) for s, i, _ in chosen])
    kinds = [NEAR if (s, i) in near_set else TALK for s, i, _ in chosen]
    write_bank(args.out, features_identity(args.models), rows, kinds)
    print("voice bank: %d rows (%d near misses, %d talk) -> %s, %d bytes"
          % (len(rows), sum(kinds), len(kinds) - sum(kinds), args.out, os.path.getsize(args.out)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
