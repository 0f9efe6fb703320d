"""Speech from the text-to-speech engines on the machine, as 16 kHz float arrays.

A voice is a small dict: {"engine": "espeak"|"mbrola"|"pico"|"flite"|"festival", "name": ...}
plus per-utterance prosody (speed, pitch, amplitude) picked by the caller.
"""

import os
import subprocess
import tempfile

import numpy as np

from audio_io import read_wav, resample

SAMPLE_RATE = 16000

ESPEAK_ENGLISH = ["en", "en-us", "en-gb-x-rp", "en-gb-scotland", "en-029",
                  "en-gb-x-gbclan", "en-gb-x-gbcwmd", "en-us-nyc"]
# Other languages' voices reading English text: accents.
ESPEAK_ACCENTS = ["de", "fr", "es", "it", "pt", "pl", "ru", "cs", "fi", "hu", "ro", "el",
                  "nl", "sv", "hi", "tr", "sw", "id", "vi", "da"]
ESPEAK_LANGS = ESPEAK_ENGLISH + ESPEAK_ACCENTS
ESPEAK_VARIANTS = ["", "m1", "m2", "m3", "m4", "m5", "m6", "m7", "m8",
                   "f1", "f2", "f3", "f4", "f5", "klatt", "klatt2", "klatt3",
                   "klatt4", "Andy", "Annie", "Denis", "Lee", "Mike", "Storm",
                   "ed", "edward", "grandma", "grandpa", "linda", "paul",
                   "robert", "steph", "travis", "victor", "zac", "adam",
                   "belinda", "david", "john", "max", "michel", "quincy",
                   "shelby", "whisper"]
# MBROLA's diphone voices, each cut from one real speaker, driven by espeak-ng.
MBROLA_ENGLISH = ["mb-us1", "mb-us2", "mb-us3", "mb-en1"]
MBROLA_ACCENTS = ["mb-de2", "mb-de6", "mb-fr1", "mb-fr4", "mb-es2", "mb-it3", "mb-pl1", "mb-pt1",
                  "mb-br3", "mb-ro1", "mb-cz2", "mb-hu1", "mb-gr2", "mb-mx1", "mb-nl2", "mb-sw1",
                  "mb-tr1", "mb-id1"]
# SVOX Pico: the English voices and, reading English, the others.
PICO_ENGLISH = ["en-US", "en-GB"]
PICO_ACCENTS = ["de-DE", "es-ES", "fr-FR", "it-IT"]
FLITE_VOICES = ["awb", "kal", "kal16", "rms", "slt"]
FESTIVAL_VOICES = ["kal_diphone", "ked_diphone", "cmu_us_slt_arctic_hts", "lp_diphone", "pc_diphone",
                   "msu_ru_nsh_clunits", "czech_dita",
                   "czech_krb", "czech_machac", "czech_ph", "suo_fi_lj_diphone", "upc_ca_ona_hts"]


def all_voices():
    voices = []
    for lang in ESPEAK_LANGS:
        variants = ESPEAK_VARIANTS if lang in ESPEAK_ENGLISH else ESPEAK_VARIANTS[::3]
        for variant in variants:
            voices.append({"engine": "espeak", "lang": lang, "variant": variant})
    for name in MBROLA_ENGLISH + MBROLA_ACCENTS:
        voices.append({"engine": "mbrola", "name": name})
    for name in PICO_ENGLISH + PICO_ACCENTS:
        voices.append({"engine": "pico", "name": name})
    for name in FLITE_VOICES:
        voices.append({"engine": "flite", "name": name})
    for name in FESTIVAL_VOICES:
        voices.append({"engine": "festival", "name": name})
    return voices


def voice_id(voice):
    if voice["engine"] == "espeak":
        return "espeak:%s+%s" % (voice["lang"], voice["variant"] or "default")
    return "%s:%s" % (voice["engine"], voice["name"])


# Whole voice families that training never hears: a speaker recorded for
# several engines (kal in flite and festival) is held out in all of them, and
# two engines (MBROLA, SVOX Pico) are heard only by the evaluation.
HELD_OUT_ESPEAK_LANGS = ("en-029", "en-us-nyc", "nl", "sv", "hi", "tr", "sw", "id", "vi", "da")
HELD_OUT_ESPEAK_VARIANTS = ("m6", "f3", "Storm", "grandpa", "belinda", "klatt3")
HELD_OUT_VOICES = ("flite:rms", "flite:kal", "flite:kal16", "festival:kal_diphone", "festival:czech_dita",
                   "festival:czech_krb", "festival:czech_machac", "festival:czech_ph",
                   "festival:suo_fi_lj_diphone", "festival:upc_ca_ona_hts")
HELD_OUT_ENGINES = ("mbrola", "pico")


def is_held_out(voice):
    """Voices that training never sees; the evaluation uses only these."""
    if voice["engine"] == "espeak":
        return voice["lang"] in HELD_OUT_ESPEAK_LANGS or voice["variant"] in HELD_OUT_ESPEAK_VARIANTS
    return voice["engine"] in HELD_OUT_ENGINES or voice_id(voice) in HELD_OUT_VOICES


def is_accent(voice):
    """A voice of another language reading English."""
    if voice["engine"] == "espeak":
        return voice["lang"] in ESPEAK_ACCENTS
    if voice["engine"] == "mbrola":
        return voice["name"] in MBROLA_ACCENTS
    if voice["engine"] == "pico":
        return voice["name"] in PICO_ACCENTS
    return voice["engine"] == "festival" and voice["name"] not in ("kal_diphone", "ked_diphone",
                                                                   "cmu_us_slt_arctic_hts")


def _run(cmd, stdin_text=None):
    subprocess.run(cmd, input=stdin_text, text=True, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def espeak(text, voice, speed, pitch, amplitude, gap, path):
    name = voice["lang"] + ("+" + voice["variant"] if voice["variant"] else "")
    _run(["espeak-ng", "-v", name, "-s", str(speed), "-p", str(pitch),
          "-a", str(amplitude), "-g", str(gap), "-w", path, text])


def mbrola(text, voice, speed, pitch, amplitude, path):
    # Above espeak-ng's default amplitude the diphone voices saturate.
    _run(["espeak-ng", "-v", voice["name"], "-s", str(speed), "-p", str(pitch),
          "-a", str(min(amplitude, 100)), "-w", path, text])


def pico(text, voice, speed_percent, pitch_percent, path):
    """pico2wave takes rate and pitch as markup around the text."""
    safe = text.replace("<", " ").replace(">", " ")
    marked = '<speed level="%d"><pitch level="%d">%s</pitch></speed>' % (speed_percent, pitch_percent, safe)
    _run(["pico2wave", "-l", voice["name"], "-w", path, marked])


def sox_effects(src, dst, effects):
    """Voice conversion and tempo by sox (pitch in cents, tempo, formant-like
    shifts through a speed change undone by tempo). -R: sox seeds its dither
    from the clock otherwise, and no two runs would make the same audio."""
    _run(["sox", "-q", "-R", src, "-r", "16000", "-b", "16", "-c", "1", dst] + effects)


def flite(text, voice, stretch, f0_mean, path):
    _run(["flite", "-voice", voice["name"], "--setf", "duration_stretch=%.3f" % stretch,
          "--setf", "int_f0_target_mean=%.1f" % f0_mean, "-t", text, "-o", path])


def festival_batch(voice_name, jobs):
    """jobs: list of (text, duration_stretch, path). One festival process for all."""
    lines = ["(voice_%s)" % voice_name]
    for text, stretch, path in jobs:
        safe = text.replace("\\", " ").replace('"', " ")
        lines.append("(Parameter.set 'Duration_Stretch %.3f)" % stretch)
        lines.append('(utt.save.wave (utt.synth (Utterance Text "%s")) "%s" \'riff)'
                     % (safe, path))
    with tempfile.NamedTemporaryFile("w", suffix=".scm", delete=False) as script:
        script.write("\n".join(lines) + "\n")
    try:
        _run(["festival", "--batch", script.name])
    finally:
        os.unlink(script.name)


def load_speech(path):
    """Reads a synthesised file, 16 kHz mono float in [-1, 1], silence trimmed."""
    audio, rate = read_wav(path)
    if rate != SAMPLE_RATE:
        audio = resample(audio, rate, SAMPLE_RATE)
    return trim_silence(audio)


def trim_silence(audio, floor_db=-45.0, pad=800):
    if audio.size == 0:
        return audio
    frame = 160
    n = audio.size // frame
    if n == 0:
        return audio
    energy = (audio[:n * frame].reshape(n, frame) ** 2).mean(axis=1) + 1e-12
    db = 10 * np.log10(energy / energy.max())
    loud = np.nonzero(db > floor_db)[0]
    if loud.size == 0:
        return audio[:0]
    start = max(0, loud[0] * frame - pad)
    end = min(audio.size, (loud[-1] + 1) * frame + pad)
    return audio[start:end]
