"""Runs many synthesis jobs in parallel and returns their audio.

A job is a dict: {"text", "voice", "seed"} and optionally "effects" (a sox
effect list applied to the speech) or "vary": True (a voice conversion drawn
from the seed: pitch shift, formant shift, tempo); prosody is drawn from the
seed so that the same job always sounds the same.
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


def conversion(job):
    """The sox effects a job's speech gets, [] for none."""
    if "effects" in job:
        return list(job["effects"])
    if not job.get("vary"):
        return []
    rng = np.random.default_rng(job["seed"] + 17)
    effects = []
    if rng.random() < 0.4:
        # A speed change undone by tempo moves formants and pitch together:
        # a longer or shorter vocal tract.
        factor = rng.uniform(0.88, 1.12)
        effects += ["speed", "%.3f" % factor, "tempo", "-s", "%.3f" % (1.0 / factor)]
    if rng.random() < 0.55:
        # Deep voices are the ones the engines lack most.
        effects += ["pitch", "%d" % int(rng.uniform(-850, 500))]
    if rng.random() < 0.3:
        effects += ["tempo", "-s", "%.3f" % rng.uniform(0.7, 1.45)]
    return effects


def _converted(job, path):
    effects = conversion(job)
    if effects:
        out = path[:-4] + "-c.wav"
        tts.sox_effects(path, out, effects)
        os.replace(out, path)
    return tts.load_speech(path)


def _synth_one(args):
    job, tmpdir, index = args
    path = os.path.join(tmpdir, "j%d.wav" % index)
    voice = job["voice"]
    p = _prosody(job)
    try:
        if voice["engine"] == "espeak":
            tts.espeak(job["text"], voice, p["speed"], p["pitch"], p["amplitude"], p["gap"], path)
        elif voice["engine"] == "mbrola":
            tts.mbrola(job["text"], voice, p["speed"], p["pitch"], p["amplitude"], path)
        elif voice["engine"] == "pico":
            tts.pico(job["text"], voice, int(100 / p["stretch"]), int(100 * p["f0_scale"]), path)
        else:
            tts.flite(job["text"], voice, p["stretch"], FLITE_F0[voice["name"]] * p["f0_scale"], path)
        audio = _converted(job, path)
    except Exception:
        audio = np.zeros(0, np.float32)
    if os.path.exists(path):
        os.unlink(path)
    return audio


def _festival_voice(args):
    name, jobs, tmpdir = args
    batch = []
    jobs_by_index = dict(jobs)
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
            results[index] = _converted(dict(jobs_by_index[index]), path)
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
