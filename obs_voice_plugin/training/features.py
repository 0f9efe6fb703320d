"""Runs wake-features and loads what it writes."""

import json
import os
import shutil
import subprocess
import time

import numpy as np

CLASSIFIER = "tollivaren_clip_it"


def model_dir(work, oww_models, classifier_path):
    """A folder with the two front-end models and the given classifier."""
    path = os.path.join(work, "models")
    os.makedirs(path, exist_ok=True)
    for name in ("melspectrogram.onnx", "embedding_model.onnx"):
        shutil.copyfile(os.path.join(oww_models, name), os.path.join(path, name))
    shutil.copyfile(classifier_path, os.path.join(path, CLASSIFIER + ".onnx"))
    return path


REUSE = False  # set by the evaluation's --reuse: keep outputs already there


def run(tool, mode, models, source, out_prefix, threads=2, packet=None):
    """Wall-clock seconds the tool took; when reusing earlier outputs, the
    seconds recorded when they were made (0 if unknown)."""
    timing = out_prefix + ".seconds"
    if REUSE and os.path.exists(out_prefix + ".scores.npy"):
        return float(open(timing).read()) if os.path.exists(timing) else 0.0
    cmd = [tool, mode, "--models", models, "--model", CLASSIFIER, "--threads", str(threads)]
    if packet:
        cmd += ["--packet", str(packet)]
    started = time.time()
    subprocess.run(cmd + [source, out_prefix], check=True)
    seconds = time.time() - started
    with open(timing, "w") as f:
        f.write("%.1f\n" % seconds)
    return seconds


def load_clips(out_prefix, meta_path):
    """rows [P,16,96], scores [P], clip index [P], pass end [P], clip metadata."""
    index = np.load(out_prefix + ".index.npy")
    meta = json.load(open(meta_path)) if meta_path else None
    return (np.load(out_prefix + ".rows.npy", mmap_mode="r"), np.load(out_prefix + ".scores.npy"),
            index[:, 0], index[:, 1], meta)


def stream_list(raw_path, list_path, chunk_seconds=600):
    """Cuts a long raw stream into overlapping clips so that every pass that
    a detector fed from sample 0 would run at a 1280-sample hop is scored
    exactly once. Returns the pass ends' offset of each chunk."""
    window, hop = 32000, 1280
    total = os.path.getsize(raw_path) // 2
    chunk = chunk_seconds * 16000 // hop * hop
    lines, offsets = [], []
    start = 0  # first pass end of this chunk, in stream samples
    first_end = window
    while first_end <= total:
        last_end = min(total, first_end + chunk - hop)
        begin = first_end - window
        lines.append("%s %d %d %d %d" % (raw_path, begin, last_end - begin, window,
                                         last_end - begin))
        offsets.append(begin)
        first_end = last_end - (last_end - first_end) % hop + hop
        start += 1
    with open(list_path, "w") as out:
        out.write("\n".join(lines) + "\n")
    return offsets
