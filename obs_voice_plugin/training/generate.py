"""Builds the training and evaluation audio from the TTS engines and from
recordings of real people.

Writes into <work>/data:
  train.*          phrases, their twins (same voice, another ending or another
                   word before "clip it"), windows cut inside the phrase, near misses, speech
                   and sound (training voices); labelled per pass
  negatives.*      long stretches of training-voice talk and real recorded
                   talk: every pass is a negative
  eval_pos.*       held-out-voice phrases, one condition per clip
  eval_near.*      held-out-voice near misses, by kind
  stream.s16       an hour of held-out synthetic talk and sound
  stream_real.s16  held-out real recordings end to end
  bank.*           training voices' near misses, windows inside the phrase and
                   talk, every pass a negative: what the voice bank is picked from
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
import realspeech
import synth
import tts
from audio_io import ClipPack, to_int16

SR = 16000
WINDOW = 32000
HOP = 1280
# MBROLA and Pico speak only in the evaluation: training on MBROLA's voices
# made a classifier that heard less of the phrase from voices it never met.
# Their weights count only where their voices are, so the training draws stay
# those of the first three engines alone.
ENGINES = ("espeak", "flite", "festival", "mbrola", "pico")
ENGINE_WEIGHTS = (0.62, 0.14, 0.24, 0.25, 0.15)


def pick_voice(rng, voices, accent_share=0.2):
    by_engine = {e: [v for v in voices if v["engine"] == e] for e in ENGINES}
    engines = [e for e in ENGINES if by_engine[e]]
    w = np.array([ENGINE_WEIGHTS[ENGINES.index(e)] for e in engines])
    engine = engines[int(rng.choice(len(engines), p=w / w.sum()))]
    pool = by_engine[engine]
    if engine in ("espeak", "mbrola", "pico"):
        accented = [v for v in pool if tts.is_accent(v)]
        native = [v for v in pool if not tts.is_accent(v)]
        if accented and native:
            pool = accented if rng.random() < accent_share else native
    return pool[int(rng.integers(len(pool)))]


def make_jobs(rng, texts, voices, vary=True):
    return [{"text": t, "voice": pick_voice(rng, voices), "seed": int(rng.integers(1 << 31)), "vary": vary}
            for t in texts]


def level(rng, audio, low_db=-30.0, high_db=-2.0):
    peak = np.abs(audio).max() + 1e-9
    return audio * (10 ** (rng.uniform(low_db, high_db) / 20.0) / peak)


def babble(rng, n, pool, talkers=3):
    """Several talkers at once, each a run of recordings from the pool."""
    out = np.zeros(n, np.float32)
    for _ in range(talkers):
        track, pos = np.zeros(n, np.float32), int(rng.integers(0, SR // 2))
        while pos < n:
            piece = pool[int(rng.integers(len(pool)))]
            take = min(piece.size, n - pos)
            track[pos:pos + take] += piece[:take] / (augment.rms(piece) + 1e-6)
            pos += take + int(rng.uniform(0.05, 0.4) * SR)
        out += track
    return out


def bed(rng, n, kind, speech_pool, babble_pool):
    if kind == "babble" and babble_pool:
        return babble(rng, n, babble_pool, int(rng.integers(2, 5)))
    if kind == "music":
        return augment.music_like(rng, n)
    if kind == "game":
        return augment.game_like(rng, n)
    if kind in ("white", "pink", "brown"):
        return augment.coloured_noise(rng, n, kind)
    return augment.background(rng, n, speech_pool)


def with_background(rng, speech, pre, post, bg, snr_db):
    """Places speech after `pre` samples of context and mixes a bed under all."""
    n = pre + speech.size + post
    track = np.zeros(n, np.float32)
    track[pre:pre + speech.size] = speech
    if bg is None:
        bg = augment.coloured_noise(rng, n, "pink")
    bg = np.resize(bg, n)
    ref = augment.rms(speech) if speech.size else 0.01
    return track + bg * (ref / (augment.rms(bg) * 10 ** (snr_db / 20.0)))


def random_bed(rng, n, pools):
    """Training beds: everything a stream carries, at 0 to 30 dB, a fifth of
    them faint (30 to 70 dB under the speech)."""
    kind = str(rng.choice(["white", "pink", "brown", "music", "game", "speech", "babble", "silence"],
                          p=[0.07, 0.11, 0.07, 0.17, 0.15, 0.12, 0.22, 0.09]))
    snr = rng.uniform(30, 70) if rng.random() < 0.2 else rng.uniform(0, 30)
    return bed(rng, n, kind, pools["speech"], pools["babble"]), snr


def synth_phrases(rng, voices, count, pause_share=0.25, extras=True, vary=True, effects=None, twins=None):
    """The phrase in `count` takes: (core audio, lead, trail, voice id, text).
    A share is spoken as the name and "clip it" apart, joined with a pause.
    With a list as `twins`, each take also gets two twins in the same voice,
    prosody and layout: one says the name with another ending
    (corpus.twin_ending), one another word before the same "clip it"
    (corpus.twin_lead). They are appended to the list as (core audio, lead,
    trail, kind, text), so that only the name and "clip it" together make
    the phrase."""
    jobs, layout = [], []
    for _ in range(count):
        name, tail = str(rng.choice(corpus.WAKE_WORDS)), str(rng.choice(corpus.WAKE_TAIL))
        voice = pick_voice(rng, voices)
        seed = int(rng.integers(1 << 31))
        base = {"voice": voice, "seed": seed, "vary": vary}
        if effects is not None:
            base["effects"] = effects(rng)
        entry = {}
        if twins is not None:
            entry["twin_kind"], entry["twin_rest"] = corpus.twin_ending(rng)
            entry["twin_text"] = "%s %s" % (name, entry["twin_rest"])
            entry["lead_word"] = corpus.twin_lead(rng)
            entry["lead_text"] = "%s %s" % (entry["lead_word"], tail)
        if rng.random() < pause_share:
            entry["name"], entry["gap"] = len(jobs), int(rng.uniform(0.15, 0.65) * SR)
            jobs.append(dict(base, text=name))
            entry["core"] = len(jobs)
            jobs.append(dict(base, text=tail))
            if twins is not None:
                entry["twin"] = len(jobs)
                jobs.append(dict(base, text=entry["twin_rest"]))
                entry["lead_twin"] = len(jobs)
                jobs.append(dict(base, text=entry["lead_word"]))
        else:
            entry["core"] = len(jobs)
            jobs.append(dict(base, text="%s %s" % (name, tail)))
            if twins is not None:
                entry["twin"] = len(jobs)
                jobs.append(dict(base, text=entry["twin_text"]))
                entry["lead_twin"] = len(jobs)
                jobs.append(dict(base, text=entry["lead_text"]))
        if extras and rng.random() < 0.3:
            entry["lead"] = len(jobs)
            jobs.append(dict(base, text=str(rng.choice(corpus.LEAD_INS[3:])).strip(" ,")))
        if extras and rng.random() < 0.2:
            entry["trail"] = len(jobs)
            jobs.append(dict(base, text=str(rng.choice(corpus.TRAILS[4:])).strip()))
        layout.append((entry, tts.voice_id(voice), "%s %s" % (name, tail)))
    audio = synth.synthesise(jobs)
    out = []
    for entry, vid, text in layout:
        get = lambda key: audio[entry[key]] if key in entry else None
        if "twin" in entry:
            twin = with_name(audio, entry, entry["twin"])
            if twin is not None:
                twins.append((twin, get("lead"), get("trail"), entry["twin_kind"], entry["twin_text"]))
            twin = lead_twin(audio, entry)
            if twin is not None:
                twins.append((twin, get("lead"), get("trail"), "twin_lead", entry["lead_text"]))
        core = with_name(audio, entry, entry["core"])
        if core is not None:
            out.append((core, get("lead"), get("trail"), vid, text))
    return out


def lead_twin(audio, entry):
    """The other word, then the take's own "clip it" after the same pause
    when spoken apart; None when a part failed."""
    word = audio[entry["lead_twin"]]
    if word.size == 0:
        return None
    if "name" not in entry:
        return word
    tail = audio[entry["core"]]
    return np.concatenate([word, np.zeros(entry["gap"], np.float32), tail]) if tail.size else None


def with_name(audio, entry, at):
    """The job at `at`, after the name and its pause when spoken apart; None
    when a part failed."""
    core = audio[at]
    if core.size == 0:
        return None
    if "name" not in entry:
        return core
    if audio[entry["name"]].size == 0:
        return None
    return np.concatenate([audio[entry["name"]], np.zeros(entry["gap"], np.float32), core])


def synth_near(rng, voices, kinds, pause_share=0.25, vary=True):
    """Near misses in the voices of the positives: (audio, kind, text)."""
    items = []
    for kind, count in kinds:
        for text, name, rest in corpus.near_texts(rng, kind, count):
            items.append((kind, text, name, rest))
    jobs, layout = [], []
    for kind, text, name, rest in items:
        base = {"voice": pick_voice(rng, voices), "seed": int(rng.integers(1 << 31)), "vary": vary}
        if name and rng.random() < pause_share:
            layout.append((kind, text, len(jobs), int(rng.uniform(0.15, 0.65) * SR)))
            jobs += [dict(base, text=name), dict(base, text=rest)]
        else:
            layout.append((kind, text, len(jobs), None))
            jobs.append(dict(base, text=text))
    audio = synth.synthesise(jobs)
    out = []
    for kind, text, at, gap in layout:
        utt = audio[at]
        if gap is not None:
            utt = np.concatenate([utt, np.zeros(gap, np.float32), audio[at + 1]]) if audio[at + 1].size else utt[:0]
        if utt.size:
            out.append((utt, kind, text))
    return out


def phrase_utterance(rng, core, lead, trail, speed_share=0.3):
    """Joins lead-in, phrase and trail; returns (audio, phrase end sample)."""
    parts = []
    if lead is not None and lead.size:
        parts += [lead, np.zeros(int(rng.uniform(0.03, 0.25) * SR), np.float32)]
    parts.append(core)
    end = sum(p.size for p in parts)
    if trail is not None and trail.size:
        parts += [np.zeros(int(rng.uniform(0.0, 0.15) * SR), np.float32), trail]
    utt = np.concatenate(parts)
    if rng.random() < speed_share:
        factor = rng.uniform(0.9, 1.12)
        utt = augment.speed(utt, factor)
        end = int(end / factor)
    return utt, end


def place_phrase(rng, utt, end, core_size):
    """Cuts the utterance so the phrase ends inside a two-second window with
    room before it; returns (speech, pre, phrase end in speech) or None."""
    if core_size == 0 or core_size > WINDOW - 1600:
        return None
    front = max(0, end - (WINDOW - 400))
    utt, end = utt[front:], end - front
    pre = WINDOW - end + int(rng.integers(4000, 16000))
    return utt, pre, end


def negative_clip(rng, utt, pools, max_len=4.5):
    utt = level(rng, augment.channel(rng, utt[:int(max_len * SR)]))
    pre = max(0, WINDOW - utt.size) + int(rng.integers(0, SR // 2))
    post = int(rng.uniform(0.2, 1.0) * SR)
    bg, snr = random_bed(rng, pre + utt.size + post, pools)
    clip = with_background(rng, utt, pre, post, bg, snr)
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

    def add(self, clip, first_end, last_end, kind, label, voice="", text="", condition=""):
        last_end = min(last_end, clip.size)
        if last_end < first_end or first_end < WINDOW:
            return False
        first_end = last_end - ((last_end - first_end) // HOP) * HOP
        self.pack.add(clip, first_end, last_end)
        self.meta.append({"kind": kind, "label": label, "voice": voice, "text": text, "condition": condition})
        return True

    def again(self, first_end, last_end, kind, label, voice="", text=""):
        """More passes over the clip added last, labelled on their own."""
        first_end = max(first_end, WINDOW)
        if last_end < first_end:
            return
        self.pack.again(first_end, last_end)
        self.meta.append({"kind": kind, "label": label, "voice": voice, "text": text, "condition": ""})

    def close(self):
        self.pack.close(os.path.join(self.workdir, self.name + ".list"))
        with open(os.path.join(self.workdir, self.name + ".json"), "w") as out:
            json.dump(self.meta, out)


def build_train(rng, workdir, voices, sentences, words, sizes, babble_pool):
    t0 = time.time()
    twins = []
    phrases = synth_phrases(rng, voices, sizes["phrases"], pause_share=0.35, twins=twins)
    near = synth_near(rng, voices, [(k, int(sizes["near"] * w)) for k, w in
                                    zip(corpus.NEAR_KINDS, (0.34, 0.14, 0.26, 0.12, 0.14))])
    texts = [sentences[int(i)] for i in rng.choice(len(sentences), sizes["speech"], replace=False)]
    texts += corpus.stream_talk(rng, sizes["talk"])
    texts += [corpus.word_salad(rng, words, int(rng.integers(2, 7))) for _ in range(sizes["salad"])]
    speech = synth.synthesise(make_jobs(rng, texts, voices))
    print("  train synthesis: %.0f s" % (time.time() - t0), flush=True)
    pools = {"speech": [s for s in speech if s.size][:300], "babble": babble_pool}

    split = Split(workdir, "train")
    for core, lead, trail, vid, text in phrases:
        utt, end = phrase_utterance(rng, core, lead, trail)
        placed = place_phrase(rng, level(rng, augment.channel(rng, utt)), end, core.size)
        if not placed:
            continue
        utt, pre, end = placed
        post = int(5 * HOP + 0.3 * SR)
        bg, snr = random_bed(rng, pre + utt.size + post, pools)
        clip = with_background(rng, utt, pre, post, bg, snr)
        end += pre
        if split.add(clip, end, end + 4 * HOP, "positive", 1, vid, text):
            # Windows that end inside the phrase, before "clip it" is
            # complete: the name alone must not fire.
            split.again(end - int(0.85 * core.size), end - int(0.3 * core.size), "partial", 0, vid, text)
    for core, lead, trail, kind, text in twins:
        utt, _ = phrase_utterance(rng, core, lead, trail)
        clip, first = negative_clip(rng, utt, pools)
        split.add(clip, first, clip.size, "near_miss", 0, text=text, condition=kind)
    for utt, kind, text in near:
        clip, first = negative_clip(rng, utt, pools)
        split.add(clip, first, clip.size, "near_miss", 0, text=text, condition=kind)
    for utt, text in zip(speech, texts):
        if utt.size:
            clip, first = negative_clip(rng, utt, pools)
            split.add(clip, first, clip.size, "speech", 0, text=text)
    for _ in range(sizes["nonspeech"]):
        clip = nonspeech_clip(rng, rng.uniform(2.3, 3.5))
        split.add(clip, WINDOW, clip.size, "nonspeech", 0)
    split.close()
    print("  train clips: %d, %.0f s" % (len(split.meta), time.time() - t0), flush=True)


def build_bank(rng, workdir, voices, sentences, words, sizes, real):
    """The material of the negative bank that voice enrollment learns against:
    training voices only (a streamer's profile must not have met the
    evaluation's voices), every pass a negative. Near misses: the name with
    other endings and another word before "clip it" (the twins of phrase
    takes), the near-miss kinds, and the windows that end inside a phrase;
    talk: training-voice sentences and stream talk, and real recordings."""
    t0 = time.time()
    twins = []
    phrases = synth_phrases(rng, voices, sizes["phrases"], pause_share=0.3, twins=twins)
    near = synth_near(rng, voices, [(k, sizes["near_per_kind"]) for k in corpus.NEAR_KINDS])
    texts = [sentences[int(i)] for i in rng.choice(len(sentences), sizes["speech"], replace=False)]
    texts += corpus.stream_talk(rng, sizes["talk"])
    texts += [corpus.word_salad(rng, words, int(rng.integers(3, 10))) for _ in range(sizes["salad"])]
    jobs = make_jobs(rng, texts, voices)
    speech = synth.synthesise(jobs)
    print("  bank synthesis: %.0f s" % (time.time() - t0), flush=True)
    real_audio = [a for a, _ in real]
    pools = {"speech": [s for s in speech if s.size][:200], "babble": real_audio}
    split = Split(workdir, "bank")
    for core, lead, trail, vid, text in phrases:
        utt, end = phrase_utterance(rng, core, lead, trail)
        placed = place_phrase(rng, level(rng, augment.channel(rng, utt)), end, core.size)
        if not placed:
            continue
        utt, pre, end = placed
        bg, snr = random_bed(rng, pre + utt.size + HOP, pools)
        clip = with_background(rng, utt, pre, HOP, bg, snr)
        end += pre
        split.add(clip, end - int(0.85 * core.size), end - int(0.3 * core.size), "partial", 0, vid, text)
    for core, lead, trail, kind, text in twins:
        utt, _ = phrase_utterance(rng, core, lead, trail)
        clip, first = negative_clip(rng, utt, pools)
        split.add(clip, first, clip.size, "near_miss", 0, text=text, condition=kind)
    for utt, kind, text in near:
        clip, first = negative_clip(rng, utt, pools)
        split.add(clip, first, clip.size, "near_miss", 0, text=text, condition=kind)
    for utt, text, job in zip(speech, texts, jobs):
        if utt.size:
            clip, first = negative_clip(rng, utt, pools)
            split.add(clip, first, clip.size, "speech", 0, tts.voice_id(job["voice"]), text)
    for i in rng.permutation(len(real))[:sizes["real"]]:
        audio, source = real[int(i)]
        clip, first = negative_clip(rng, audio, pools)
        split.add(clip, first, clip.size, "speech", 0, source)
    split.close()
    print("  bank clips: %d, %.0f s" % (len(split.meta), time.time() - t0), flush=True)


def talk_blocks(rng, utterances, split, pools):
    """Runs of two to five utterances with pauses, under a bed, every pass a
    negative; now and then a stretch of sound alone."""
    si = 0
    while si < len(utterances):
        if rng.random() < 0.88:
            block = []
            for _ in range(int(rng.integers(2, 6))):
                if si >= len(utterances):
                    break
                utt, si = utterances[si], si + 1
                if rng.random() < 0.4:
                    utt = augment.speed(utt, rng.uniform(0.85, 1.18))
                block += [level(rng, augment.channel(rng, utt), -30.0, -2.0),
                          np.zeros(int(rng.uniform(0.1, 1.5) * SR), np.float32)]
            utt = np.concatenate(block)
            pre, post = int(rng.uniform(0.5, 2.0) * SR), int(0.5 * SR)
            bg, snr = random_bed(rng, pre + utt.size + post, pools)
            clip = with_background(rng, utt, pre, post, bg, snr)
            split.add(clip, WINDOW, clip.size, "speech", 0)
        else:
            clip = nonspeech_clip(rng, rng.uniform(5, 12))
            split.add(clip, WINDOW, clip.size, "nonspeech", 0)


def build_negatives(rng, workdir, voices, sentences, words, sizes, real):
    """Long stretches of training-voice talk and real recorded talk."""
    t0 = time.time()
    n = int(sizes["hours"] * 3600 / 3.0)
    texts = []
    for i in rng.integers(0, len(sentences), n):
        r = rng.random()
        texts.append(sentences[int(i)] if r < 0.6 else corpus.stream_talk(rng, 1)[0] if r < 0.85
                     else corpus.word_salad(rng, words, int(rng.integers(3, 12))))
    speech = [s for s in synth.synthesise(make_jobs(rng, texts, voices)) if s.size]
    print("  negatives synthesis: %d utterances, %.0f s" % (len(speech), time.time() - t0), flush=True)
    real_audio = [a for a, _ in real]
    pools = {"speech": speech[:200], "babble": real_audio}
    split = Split(workdir, "negatives")
    talk_blocks(rng, speech, split, pools)
    # Real recordings in a shuffled order (tempo and pitch shifted on some).
    for _ in range(sizes["real_copies"]):
        order = rng.permutation(len(real_audio))
        talk_blocks(rng, [real_audio[int(i)] for i in order], split, pools)
    split.close()
    kept = thin(workdir, "negatives", sizes["keep"], 7)
    seconds = sum(int(line.split()[2]) for line in open(os.path.join(workdir, "negatives.list"))) / SR
    print("  negative clips: %d of %d kept, %.2f h, %.0f s" % (kept, len(split.meta), seconds / 3600,
                                                              time.time() - t0), flush=True)


def thin(workdir, name, share, seed):
    """Keeps a seeded share of a set's clips in its list and metadata (the
    raw audio stays): the feature rows of every pass cost the most time."""
    lines = open(os.path.join(workdir, name + ".list")).read().split("\n")
    lines = [line for line in lines if line]
    meta = json.load(open(os.path.join(workdir, name + ".json")))
    keep = np.random.default_rng(seed).random(len(lines)) < share
    with open(os.path.join(workdir, name + ".list"), "w") as out:
        out.write("\n".join(line for line, k in zip(lines, keep) if k) + "\n")
    with open(os.path.join(workdir, name + ".json"), "w") as out:
        json.dump([m for m, k in zip(meta, keep) if k], out)
    return int(keep.sum())


def _pitch(cents_low, cents_high):
    return lambda rng: ["pitch", "%d" % int(rng.uniform(cents_low, cents_high))]


def _tempo(low, high):
    return lambda rng: ["tempo", "-s", "%.3f" % rng.uniform(low, high)]


# Evaluation conditions: (name, how the phrase is spoken, bed kind, SNR range).
CONDITIONS = [
    ("clean", {}, "pink", (40, 60)),
    ("babble_3_talkers", {}, "babble", (5, 15)),
    ("music_bed", {}, "music", (5, 15)),
    ("game_bed", {}, "game", (5, 15)),
    ("noise_10dB", {}, "noise", (10, 10)),
    ("room_and_phone", {"room": True}, "pink", (30, 50)),
    ("low_pitch", {"effects": _pitch(-700, -300)}, "pink", (40, 60)),
    ("high_pitch", {"effects": _pitch(300, 600)}, "pink", (40, 60)),
    ("slow", {"effects": _tempo(0.7, 0.85)}, "pink", (40, 60)),
    ("fast", {"effects": _tempo(1.2, 1.4)}, "pink", (40, 60)),
    ("pause_after_name", {"pause": 1.0}, "pink", (40, 60)),
    ("accented", {"accent": True}, "pink", (40, 60)),
    ("lead_in_and_trail", {"extras": True}, "pink", (40, 60)),
]


def build_eval(rng, workdir, voices, sentences, sizes, real):
    t0 = time.time()
    real_audio = [a for a, _ in real]
    pos = Split(workdir, "eval_pos")
    accents = [v for v in voices if tts.is_accent(v)]
    for name, how, bed_kind, snr_range in CONDITIONS:
        pool = accents if how.get("accent") else voices
        phrases = synth_phrases(rng, pool, sizes["per_condition"], pause_share=how.get("pause", 0.0),
                                extras=how.get("extras", False), vary=False, effects=how.get("effects"))
        for core, lead, trail, vid, text in phrases:
            utt, end = phrase_utterance(rng, core, lead, trail, speed_share=0.0)
            if how.get("room"):
                utt = augment.reverb(rng, utt, rng.uniform(0.3, 0.9))
                utt = augment.band_limit(utt, 300, 3400) if rng.random() < 0.5 else \
                    augment.band_limit(utt, 150, 5000)
            placed = place_phrase(rng, level(rng, utt, -20.0, -3.0), end, core.size)
            if not placed:
                continue
            utt, pre, end = placed
            post = 14 * HOP
            kind = str(rng.choice(["white", "pink", "brown"])) if bed_kind == "noise" else bed_kind
            bg = bed(rng, pre + utt.size + post, kind, [], real_audio)
            clip = with_background(rng, utt, pre, post, bg, rng.uniform(*snr_range))
            first = pre + end
            pos.add(clip, first, first + 12 * HOP, "positive", 1, vid, text, name)
    pos.close()
    print("  eval positives: %d clips, %.0f s" % (len(pos.meta), time.time() - t0), flush=True)

    near = synth_near(rng, voices, [(k, sizes["near_per_kind"]) for k in corpus.NEAR_KINDS], vary=False)
    near_split = Split(workdir, "eval_near")
    for utt, kind, text in near:
        utt = level(rng, utt, -20.0, -3.0)
        pre = max(0, WINDOW - utt.size) + int(rng.integers(0, SR // 2))
        post = int(rng.uniform(0.5, 1.0) * SR)
        clip = with_background(rng, utt, pre, post, None, rng.uniform(30, 50))
        near_split.add(clip, WINDOW, clip.size, "near_miss", 0, text=text, condition=kind)
    near_split.close()
    print("  eval near misses: %d clips, %.0f s" % (len(near_split.meta), time.time() - t0), flush=True)
    build_stream(rng, workdir, voices, sentences, sizes["stream_hours"], real_audio)
    build_real_stream(rng, workdir, real)


def write_stream(workdir, name, stream, info):
    with open(os.path.join(workdir, name + ".s16"), "wb") as out:
        out.write(to_int16(stream).tobytes())
    info.update({"samples": int(stream.size), "hours": stream.size / SR / 3600.0})
    with open(os.path.join(workdir, name + ".json"), "w") as out:
        json.dump(info, out)


def build_stream(rng, workdir, voices, sentences, hours, real_audio):
    """Held-out talk (sentences and stream talk), some of it over music or
    game sound, music-like sound, game sound and noise, end to end."""
    t0 = time.time()
    total = int(hours * 3600 * SR)
    n_utts = int(total * 0.82 / (2.6 * SR)) + 50
    texts = [sentences[int(rng.integers(len(sentences)))] if rng.random() < 0.7 else corpus.stream_talk(rng, 1)[0]
             for _ in range(n_utts)]
    jobs = make_jobs(rng, texts, voices, vary=False)
    spoken = [(s, tts.voice_id(j["voice"])) for s, j in zip(synth.synthesise(jobs), jobs) if s.size]
    print("  stream synthesis: %d utterances, %.0f s" % (len(spoken), time.time() - t0), flush=True)

    pieces, used, si, speech_samples = [], 0, 0, 0
    segments = []  # [first sample, end sample, source], for the report
    while used < total:
        if si < len(spoken) and (rng.random() < 0.88 or used > total - 10 * SR):
            block, at = [], used
            for _ in range(int(rng.integers(4, 12))):
                if si >= len(spoken):
                    break
                utt = level(rng, augment.channel(rng, spoken[si][0]), -20.0, -3.0)
                gap = int(rng.uniform(0.2, 2.0) * SR)
                segments.append([at, at + utt.size + gap, spoken[si][1]])
                at += utt.size + gap
                si += 1
                block += [utt, np.zeros(gap, np.float32)]
            piece = np.concatenate(block)
            speech_samples += piece.size
            if rng.random() < 0.3:
                kind = str(rng.choice(["music", "game"]))
                bg = bed(rng, piece.size, kind, [], [])
                piece = piece + bg * (augment.rms(piece) / (augment.rms(bg) * 10 ** (rng.uniform(10, 25) / 20)))
        else:
            piece = nonspeech_clip(rng, rng.uniform(20, 60))
            segments.append([used, used + piece.size, "nonspeech"])
        pieces.append(piece)
        used += piece.size
    stream = np.concatenate(pieces)[:total]
    stream = stream + augment.coloured_noise(rng, stream.size, "pink") * 3e-4
    write_stream(workdir, "stream", stream, {"utterances": si, "speech_hours": speech_samples / SR / 3600.0,
                                             "segments": segments})
    print("  stream: %.2f h (%d utterances), %.0f s" % (stream.size / SR / 3600.0, si, time.time() - t0),
          flush=True)


def build_real_stream(rng, workdir, real):
    """Held-out real recordings end to end with short pauses, through room
    and microphone colouring, over a faint floor."""
    order = rng.permutation(len(real))
    pieces, segments, at = [], [], 0
    for i in order:
        audio, source = real[int(i)]
        utt = level(rng, augment.channel(rng, audio), -20.0, -3.0)
        gap = int(rng.uniform(0.2, 1.2) * SR)
        pieces += [utt, np.zeros(gap, np.float32)]
        segments.append([at, at + utt.size + gap, source])
        at += utt.size + gap
    stream = np.concatenate(pieces)
    stream = stream + augment.coloured_noise(rng, stream.size, "pink") * 3e-4
    write_stream(workdir, "stream_real", stream, {"recordings": len(real), "speech_hours": stream.size / SR / 3600.0,
                                                  "segments": segments, "packages": realspeech.packages()})
    print("  real stream: %.2f h (%d recordings)" % (stream.size / SR / 3600.0, len(real)), flush=True)


SIZES = {
    "full": {"train": {"phrases": 4000, "near": 4200, "speech": 1400, "talk": 700, "salad": 200,
                       "nonspeech": 500},
             "negatives": {"hours": 2.4, "real_copies": 2, "keep": 0.8},
             "eval": {"per_condition": 100, "near_per_kind": 120, "stream_hours": 1.0},
             "bank": {"phrases": 400, "near_per_kind": 120, "speech": 400, "talk": 250, "salad": 100,
                      "real": 300}},
    "tiny": {"train": {"phrases": 40, "near": 40, "speech": 30, "talk": 10, "salad": 5, "nonspeech": 10},
             "negatives": {"hours": 0.02, "real_copies": 0, "keep": 1.0},
             "eval": {"per_condition": 3, "near_per_kind": 3, "stream_hours": 0.02},
             "bank": {"phrases": 5, "near_per_kind": 3, "speech": 5, "talk": 5, "salad": 2, "real": 5}},
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--size", choices=sorted(SIZES), default="full")
    parser.add_argument("--only", choices=["train", "negatives", "eval", "bank"], action="append",
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
    only = args.only or ["train", "negatives", "eval"]
    limit = 40 if args.size == "tiny" else None
    train_real = realspeech.load("train", workdir, limit) if {"train", "negatives", "bank"} & set(only) else []
    # Each set has its own seed, so building one alone gives the same audio.
    if "train" in only:
        build_train(np.random.default_rng(args.seed + 1), workdir, train_voices, train_sentences, words,
                    sizes["train"], [a for a, _ in train_real])
    if "negatives" in only:
        build_negatives(np.random.default_rng(args.seed + 3), workdir, train_voices, train_sentences, words,
                        sizes["negatives"], train_real)
    if "bank" in only:
        build_bank(np.random.default_rng(args.seed + 4), workdir, train_voices, train_sentences, words,
                   sizes["bank"], train_real)
    if "eval" in only:
        eval_real = realspeech.load("eval", workdir, limit)
        build_eval(np.random.default_rng(args.seed + 2), workdir, eval_voices, eval_sentences, sizes["eval"],
                   eval_real)


if __name__ == "__main__":
    main()
