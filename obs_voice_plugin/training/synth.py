"""Runs many synthesis jobs in parallel and returns their audio.

A job is a dict: {"text", "voice", "seed"}; prosody is drawn from the seed so
that the same job always sounds the same.
"""

import os
import shutil
import tempfile
from multiprocessing import Pool

import numpy as np

import tts

FLITE_F0 = {"awb": 100.0, "kal": 105.0, "kal16": 105.0, "rms": 95.0, "slt": 170.0}


def _prosody(job):
    rng = np.random.default_rng(job["seed"])
    return {
        "speed": int(rng.uniform(115, 235)),
        "pitch": int(rng.uniform(15, 85)),
        "amplitude": int(rng.uniform(80, 180)),
        "gap": int(rng.choice([0, 0, 0, 1, 2, 4])),
        "stretch": float(rng.uniform(0.8, 1.3)),
        "f0_scale": float(rng.uniform(0.8, 1.3)),
    }


def _synth_one(args):
    job, tmpdir, index = args
    path = os.path.join(tmpdir, "j%d.wav" % index)
    voice = job["voice"]
    p = _prosody(job)
    try:
        if voice["engine"] == "espeak":
            tts.espeak(job["text"], voice, p["speed"], p["pitch"], p["amplitude"], p["gap"], path)
        else:
            tts.flite(job["text"], voice, p["stretch"], FLITE_F0[voice["name"]] * p["f0_scale"], path)
        audio = tts.load_speech(path)
    except Exception:
        audio = np.zeros(0, np.float32)
    if os.path.exists(path):
        os.unlink(path)
    return audio


def _festival_voice(args):
    name, jobs, tmpdir = args
    batch = []
    for index, job in jobs:
        batch.append((job["text"], _prosody(job)["stretch"],
                      os.path.join(tmpdir, "f%d.wav" % index)))
    results = {}
    try:
        tts.festival_batch(name, batch)
    except Exception:
        pass
    for (index, _), (_, _, path) in zip(jobs, batch):
        try:
            results[index] = tts.load_speech(path)
            os.unlink(path)
        except Exception:
            results[index] = np.zeros(0, np.float32)
    return results


def synthesise(jobs, processes=2):
    """Audio for every job, in job order (empty arrays for failures)."""
    tmpdir = tempfile.mkdtemp(prefix="tv-synth-")
    try:
        quick = [(job, tmpdir, i) for i, job in enumerate(jobs) if job["voice"]["engine"] != "festival"]
        festival = {}
        for i, job in enumerate(jobs):
            if job["voice"]["engine"] == "festival":
                festival.setdefault(job["voice"]["name"], []).append((i, job))
        out = [None] * len(jobs)
        with Pool(processes) as pool:
            fest_async = pool.map_async(_festival_voice,
                                        [(name, items, tmpdir) for name, items in festival.items()])
            for (job, _, i), audio in zip(quick, pool.imap(_synth_one, quick, chunksize=16)):
                out[i] = audio
            for results in fest_async.get():
                for i, audio in results.items():
                    out[i] = audio
        return out
    finally:
        shutil.rmtree(tmpdir, ignore_errors=True)
