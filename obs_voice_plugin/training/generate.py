"""Builds the training and evaluation audio from the TTS engines.

Writes into <work>/data:
  train.s16 + train.list + train.json   clips for training (training voices)
  eval_pos.*, eval_pos_noisy.*          held-out-voice phrases, clean and at 10 dB SNR
  eval_near.*                           held-out-voice near misses
  stream.s16, stream_noisy.s16          two hours of held-out negative audio
The .list files are what wake-features reads; the .json files say, per clip,
its kind and how each pass is labelled.
"""

import argparse
import json
import os
import time

import numpy as np

import augment
import corpus
import synth
import tts
from audio_io import ClipPack, to_int16

SR = 16000
WINDOW = 32000
HOP = 1280


def pick_voice(rng, voices, weights=(0.72, 0.18, 0.10)):
    by_engine = {e: [v for v in voices if v["engine"] == e] for e in ("espeak", "flite", "festival")}
    engines = [e for e in ("espeak", "flite", "festival") if by_engine[e]]
    w = np.array([weights[("espeak", "flite", "festival").index(e)] for e in engines])
    engine = engines[int(rng.choice(len(engines), p=w / w.sum()))]
    pool = by_engine[engine]
    return pool[int(rng.integers(len(pool)))]


def make_jobs(rng, texts, voices, weights=(0.72, 0.18, 0.10)):
    return [{"text": t, "voice": pick_voice(rng, voices, weights), "seed": int(rng.integers(1 << 31))}
            for t in texts]


def level(rng, audio, low_db=-30.0, high_db=-2.0):
    peak = np.abs(audio).max() + 1e-9
    return audio * (10 ** (rng.uniform(low_db, high_db) / 20.0) / peak)


def with_background(rng, speech, pre, post, pool, snr_range):
    """Places speech after `pre` samples of context and mixes a background under all."""
    n = pre + speech.size + post
    track = np.zeros(n, np.float32)
    track[pre:pre + speech.size] = speech
    bg = augment.background(rng, n, pool)
    snr = rng.uniform(*snr_range)
    ref = augment.rms(speech) if speech.size else 0.01
    bg_gain = ref / (augment.rms(bg) * 10 ** (snr / 20.0))
    out = track + bg * bg_gain
    if rng.random() < 0.15:
        out = augment.band_limit(out, 300, 3400)
    return out


def positive_clip(rng, core, lead, trail, pool, snr_range, jitter_end):
    """Returns (clip, phrase end sample) or None when the phrase cannot fit a window."""
    parts, end = [], 0
    if lead is not None and lead.size:
        parts += [lead, np.zeros(int(rng.uniform(0.03, 0.25) * SR), np.float32)]
    parts.append(core)
    end = sum(p.size for p in parts)
    if trail is not None and trail.size:
        parts += [np.zeros(int(rng.uniform(0.0, 0.15) * SR), np.float32), trail]
    utt = np.concatenate(parts)
    if rng.random() < 0.3:
        factor = rng.uniform(0.9, 1.12)
        utt = augment.speed(utt, factor)
        end = int(end / factor)
    if core.size == 0 or core.size > WINDOW - 1600:
        return None
    utt = level(rng, augment.channel(rng, utt))
    front = max(0, end - (WINDOW - 400))
    utt, end = utt[front:], end - front
    pre = WINDOW - end + int(rng.integers(4000, 16000))
    clip = with_background(rng, utt, pre, int(jitter_end + 0.3 * SR), pool, snr_range)
    return clip, pre + end


def negative_clip(rng, utt, pool, snr_range, max_len=4.0):
    utt = level(rng, augment.channel(rng, utt[:int(max_len * SR)]))
    pre = max(0, WINDOW - utt.size) + int(rng.integers(0, SR // 2))
    clip = with_background(rng, utt, pre, int(rng.uniform(0.2, 1.0) * SR), pool, snr_range)
    first = max(WINDOW, pre + utt.size // 3)
    return clip, first


def nonspeech_clip(rng, seconds):
    n = int(seconds * SR)
    kind = rng.choice(["music", "game", "white", "pink", "brown", "silence"],
                      p=[0.35, 0.25, 0.1, 0.1, 0.1, 0.1])
    if kind == "music":
        a = augment.music_like(rng, n)
    elif kind == "game":
        a = augment.game_like(rng, n)
    elif kind == "silence":
        a = augment.coloured_noise(rng, n, "pink") * 1e-3
    else:
        a = augment.coloured_noise(rng, n, kind)
    return level(rng, augment.channel(rng, a), -45.0, -1.0)


class Split:
    def __init__(self, workdir, name):
        self.name = name
        self.pack = ClipPack(os.path.join(workdir, name + ".s16"))
        self.meta = []
        self.workdir = workdir

    def add(self, clip, first_end, last_end, kind, label, voice="", text=""):
        last_end = min(last_end, clip.size)
        if last_end < first_end or first_end < WINDOW:
            return False
        first_end = last_end - ((last_end - first_end) // HOP) * HOP
        self.pack.add(clip, first_end, last_end)
        self.meta.append({"kind": kind, "label": label, "voice": voice, "text": text})
        return True

    def again(self, first_end, last_end, kind, label, voice="", text=""):
        """More passes over the clip added last, labelled on their own."""
        first_end = max(first_end, WINDOW)
        if last_end < first_end:
            return
        self.pack.again(first_end, last_end)
        self.meta.append({"kind": kind, "label": label, "voice": voice, "text": text})

    def close(self):
        self.pack.close(os.path.join(self.workdir, self.name + ".list"))
        with open(os.path.join(self.workdir, self.name + ".json"), "w") as out:
            json.dump(self.meta, out)


def synth_phrases(rng, voices, count, weights):
    """Core phrases plus optional separately spoken lead-ins and trails."""
    jobs, layout = [], []
    for _ in range(count):
        full, core = corpus.wake_text(rng, with_extras=False)
        voice = pick_voice(rng, voices, weights)
        seed = int(rng.integers(1 << 31))
        entry = {"core": len(jobs)}
        jobs.append({"text": core, "voice": voice, "seed": seed})
        if rng.random() < 0.3:
            entry["lead"] = len(jobs)
            jobs.append({"text": rng.choice(corpus.LEAD_INS[3:]).strip(" ,"), "voice": voice, "seed": seed})
        if rng.random() < 0.2:
            entry["trail"] = len(jobs)
            jobs.append({"text": rng.choice(corpus.TRAILS[4:]).strip(), "voice": voice, "seed": seed})
        layout.append((entry, tts.voice_id(voice), core))
    audio = synth.synthesise(jobs)
    out = []
    for entry, vid, text in layout:
        get = lambda key: audio[entry[key]] if key in entry else None
        out.append((get("core"), get("lead"), get("trail"), vid, text))
    return out


def build_train(rng, workdir, voices, sentences, words, sizes):
    t0 = time.time()
    phrases = synth_phrases(rng, voices, sizes["phrases"], (0.7, 0.2, 0.1))
    near_texts = [rng.choice(corpus.NEAR_MISSES) for _ in range(sizes["near"])]
    near = synth.synthesise(make_jobs(rng, near_texts, voices))
    texts = [sentences[int(i)] for i in rng.choice(len(sentences), sizes["speech"], replace=False)]
    texts += [corpus.word_salad(rng, words, int(rng.integers(2, 7))) for _ in range(sizes["salad"])]
    speech = synth.synthesise(make_jobs(rng, texts, voices))
    print("  train synthesis: %.0f s" % (time.time() - t0), flush=True)
    pool = [s for s in speech if s.size][:300]

    split = Split(workdir, "train")
    for core, lead, trail, vid, text in phrases:
        for _ in range(sizes["copies"]):
            made = positive_clip(rng, core, lead, trail, pool, (0, 30), 5 * HOP)
            if made:
                clip, end = made
                if split.add(clip, end, end + 4 * HOP, "positive", 1, vid, text):
                    # Windows that end inside the phrase, before "clip it" is
                    # complete: "tollivaren" alone must not fire.
                    split.again(end - int(0.8 * core.size), end - int(0.4 * core.size), "partial", 0, vid, text)
    for utt, text in zip(near, near_texts):
        if utt.size:
            clip, first = negative_clip(rng, utt, pool, (0, 30))
            split.add(clip, first, clip.size, "near_miss", 0, text=text)
    for utt, text in zip(speech, texts):
        if utt.size:
            clip, first = negative_clip(rng, utt, pool, (0, 30))
            split.add(clip, first, clip.size, "speech", 0, text=text)
    for _ in range(sizes["nonspeech"]):
        clip = nonspeech_clip(rng, rng.uniform(2.3, 3.5))
        split.add(clip, WINDOW, clip.size, "nonspeech", 0)
    split.close()
    print("  train clips: %d" % len(split.meta), flush=True)


def build_negatives(rng, workdir, voices, sentences, words, sizes):
    """Long stretches of ordinary speech and sound in training voices: every
    pass of them is a negative, as in a stream."""
    t0 = time.time()
    n = int(sizes["hours"] * 3600 / 3.0)
    texts = [sentences[int(i)] if rng.random() < 0.7 else corpus.word_salad(rng, words, int(rng.integers(3, 12)))
             for i in rng.integers(0, len(sentences), n)]
    jobs = make_jobs(rng, texts, voices, (0.6, 0.25, 0.15))
    spoken = [(s, tts.voice_id(j["voice"])) for s, j in zip(synth.synthesise(jobs), jobs) if s.size]
    speech = [s for s, _ in spoken]
    print("  negatives synthesis: %d utterances, %.0f s" % (len(speech), time.time() - t0), flush=True)
    split, si = Split(workdir, "negatives"), 0
    while si < len(speech):
        if rng.random() < 0.85:
            block = []
            for _ in range(int(rng.integers(2, 5))):
                if si < len(speech):
                    utt = speech[si]
                    # Tempo and pitch shifts make voices training has not heard.
                    if rng.random() < 0.5:
                        utt = augment.speed(utt, rng.uniform(0.85, 1.18))
                    block += [level(rng, augment.channel(rng, utt), -30.0, -2.0),
                              np.zeros(int(rng.uniform(0.1, 1.5) * SR), np.float32)]
                    si += 1
            utt = np.concatenate(block)
            clip = with_background(rng, utt, int(rng.uniform(0.5, 2.0) * SR), int(0.5 * SR), speech[:200], (0, 30))
            split.add(clip, WINDOW, clip.size, "speech", 0)
        else:
            clip = nonspeech_clip(rng, rng.uniform(5, 12))
            split.add(clip, WINDOW, clip.size, "nonspeech", 0)
    split.close()
    print("  negative clips: %d, %.0f s" % (len(split.meta), time.time() - t0), flush=True)


def build_quiet(rng, workdir, voices, sentences, words, sizes):
    """Phrases, near misses and speech over a faint floor (30 to 75 dB under
    the speech), as a good microphone in a quiet room gives: the other sets
    always carry a background within 30 dB."""
    t0 = time.time()
    phrases = synth_phrases(rng, voices, sizes["phrases"], (0.6, 0.25, 0.15))
    near_texts = [rng.choice(corpus.NEAR_MISSES) for _ in range(sizes["near"])]
    texts = [sentences[int(i)] if rng.random() < 0.7 else corpus.word_salad(rng, words, int(rng.integers(3, 12)))
             for i in rng.integers(0, len(sentences), sizes["speech"])]
    audio = synth.synthesise(make_jobs(rng, near_texts + texts, voices, (0.6, 0.25, 0.15)))
    near, speech = audio[:len(near_texts)], audio[len(near_texts):]
    print("  quiet synthesis: %.0f s" % (time.time() - t0), flush=True)
    pool = [s for s in speech if s.size][:200]
    split = Split(workdir, "quiet")
    for core, lead, trail, vid, text in phrases:
        made = positive_clip(rng, core, lead, trail, pool, (30, 75), 5 * HOP)
        if made:
            clip, end = made
            if split.add(clip, end, end + 4 * HOP, "positive", 1, vid, text):
                split.again(end - int(0.8 * core.size), end - int(0.4 * core.size), "partial", 0, vid, text)
    for utts, kind, labels in ((near, "near_miss", near_texts), (speech, "speech", texts)):
        for utt, text in zip(utts, labels):
            if utt.size:
                clip, first = negative_clip(rng, utt, pool, (30, 75))
                split.add(clip, first, clip.size, kind, 0, text=text)
    split.close()
    print("  quiet clips: %d, %.0f s" % (len(split.meta), time.time() - t0), flush=True)


def build_eval(rng, workdir, voices, sentences, sizes):
    t0 = time.time()
    phrases = synth_phrases(rng, voices, sizes["phrases"], (0.6, 0.25, 0.15))
    near_texts = [rng.choice(corpus.NEAR_MISSES) for _ in range(sizes["near"])]
    near = synth.synthesise(make_jobs(rng, near_texts, voices, (0.6, 0.25, 0.15)))
    print("  eval synthesis: %.0f s" % (time.time() - t0), flush=True)
    pool = [s for s in near if s.size]

    clean, noisy = Split(workdir, "eval_pos"), Split(workdir, "eval_pos_noisy")
    for core, lead, trail, vid, text in phrases:
        made = positive_clip(rng, core, lead, trail, pool, (20, 30), 13 * HOP)
        if not made:
            continue
        clip, end = made
        first = end + int(rng.integers(0, HOP))
        clean.add(clip, first, first + 12 * HOP, "positive", 1, vid, text)
        noise = augment.coloured_noise(rng, clip.size, rng.choice(["white", "pink", "brown"]))
        phrase = clip[end - core.size:end]
        noisy_clip = clip + noise * (augment.rms(phrase) / (augment.rms(noise) * 10 ** 0.5))
        noisy.add(noisy_clip, first, first + 12 * HOP, "positive", 1, vid, text)
    clean.close()
    noisy.close()

    near_split = Split(workdir, "eval_near")
    for utt, text in zip(near, near_texts):
        if utt.size:
            clip, first = negative_clip(rng, utt, pool, (15, 30))
            near_split.add(clip, first, clip.size, "near_miss", 0, text=text)
    near_split.close()
    build_stream(rng, workdir, voices, sentences, sizes["stream_hours"])


def build_stream(rng, workdir, voices, sentences, hours):
    """Held-out speech, music-like sound, game sound and noise, end to end."""
    t0 = time.time()
    total = int(hours * 3600 * SR)
    speech_share = int(total * 0.6)
    n_sentences = int(speech_share / (3.2 * SR)) + 50
    texts = [sentences[int(i)] for i in rng.choice(len(sentences), n_sentences, replace=True)]
    jobs = make_jobs(rng, texts, voices, (0.6, 0.25, 0.15))
    spoken = [(s, tts.voice_id(j["voice"])) for s, j in zip(synth.synthesise(jobs), jobs) if s.size]
    speech = [s for s, _ in spoken]
    print("  stream synthesis: %d sentences, %.0f s" % (len(speech), time.time() - t0), flush=True)

    pieces, speech_pieces, used, si = [], [], 0, 0
    segments = []  # [first sample, end sample, voice or "nonspeech"], for the report
    while used < total:
        if si < len(speech) and (rng.random() < 0.85 or used > total - 10 * SR):
            block, at = [], used
            for _ in range(int(rng.integers(4, 12))):
                if si >= len(speech):
                    break
                utt = level(rng, augment.channel(rng, speech[si]), -20.0, -3.0)
                gap = int(rng.uniform(0.2, 2.5) * SR)
                segments.append([at, at + utt.size + gap, spoken[si][1]])
                at += utt.size + gap
                si += 1
                block += [utt, np.zeros(gap, np.float32)]
            piece = np.concatenate(block)
            speech_pieces.append(piece)
        else:
            piece = nonspeech_clip(rng, rng.uniform(20, 90))
            segments.append([used, used + piece.size, "nonspeech"])
        pieces.append(piece)
        used += piece.size
    stream = np.concatenate(pieces)[:total]
    stream = stream + augment.coloured_noise(rng, stream.size, "pink") * 3e-4
    speech_rms = augment.rms(np.concatenate(speech_pieces))
    with open(os.path.join(workdir, "stream.s16"), "wb") as out:
        out.write(to_int16(stream).tobytes())
    noise = np.concatenate([augment.coloured_noise(rng, 60 * SR, c)
                            for c in rng.choice(["white", "pink", "brown"], total // (60 * SR) + 1)])[:total]
    noisy = stream + noise * (speech_rms / 10 ** 0.5)
    with open(os.path.join(workdir, "stream_noisy.s16"), "wb") as out:
        out.write(to_int16(noisy).tobytes())
    with open(os.path.join(workdir, "stream.json"), "w") as out:
        json.dump({"samples": int(stream.size), "hours": stream.size / SR / 3600.0,
                   "speech_sentences": si,
                   "speech_hours": sum(p.size for p in speech_pieces) / SR / 3600.0,
                   "segments": segments}, out)
    print("  stream: %.2f h (%d sentences), %.0f s" % (stream.size / SR / 3600.0, si, time.time() - t0),
          flush=True)


SIZES = {
    "full": {"train": {"phrases": 1600, "copies": 2, "near": 1400, "speech": 1500, "salad": 200,
                       "nonspeech": 700},
             "negatives": {"hours": 4.5},
             "quiet": {"phrases": 800, "near": 500, "speech": 1000},
             "eval": {"phrases": 500, "near": 400, "stream_hours": 2.0}},
    "tiny": {"train": {"phrases": 40, "copies": 2, "near": 30, "speech": 30, "salad": 5, "nonspeech": 10},
             "negatives": {"hours": 0.02},
             "quiet": {"phrases": 10, "near": 5, "speech": 10},
             "eval": {"phrases": 20, "near": 10, "stream_hours": 0.02}},
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--size", choices=sorted(SIZES), default="full")
    parser.add_argument("--only", choices=["train", "negatives", "quiet", "eval"], action="append",
                        help="build only these sets (default: all)")
    args = parser.parse_args()
    workdir = os.path.join(args.work, "data")
    os.makedirs(workdir, exist_ok=True)
    voices = tts.all_voices()
    train_voices = [v for v in voices if not tts.is_held_out(v)]
    eval_voices = [v for v in voices if tts.is_held_out(v)]
    sentences = corpus.sentences()
    words = corpus.dictionary_words()
    rng = np.random.default_rng(args.seed)
    # Training and evaluation speak different sentences as well as different voices.
    order = rng.permutation(len(sentences))
    half = len(sentences) // 3
    train_sentences = [sentences[i] for i in order[half:]]
    eval_sentences = [sentences[i] for i in order[:half]]
    print("voices: %d training, %d held out; %d sentences" % (len(train_voices), len(eval_voices),
                                                              len(sentences)), flush=True)
    sizes = SIZES[args.size]
    only = args.only or ["train", "negatives", "quiet", "eval"]
    # Each set has its own seed, so building one alone gives the same audio.
    if "train" in only:
        build_train(np.random.default_rng(args.seed + 1), workdir, train_voices, train_sentences, words,
                    sizes["train"])
    if "negatives" in only:
        build_negatives(np.random.default_rng(args.seed + 3), workdir, train_voices, train_sentences, words,
                        sizes["negatives"])
    if "quiet" in only:
        build_quiet(np.random.default_rng(args.seed + 4), workdir, train_voices, train_sentences, words,
                    sizes["quiet"])
    if "eval" in only:
        build_eval(np.random.default_rng(args.seed + 2), workdir, eval_voices, eval_sentences, sizes["eval"])


if __name__ == "__main__":
    main()
