"""Noise, reverberation, channel colouring and synthetic non-speech sound.

Every function takes a numpy Generator so that a run is fixed by its seed.
"""

import numpy as np

SR = 16000


def coloured_noise(rng, n, colour):
    """White, pink (1/f) or brown (1/f^2) noise with unit RMS."""
    white = rng.standard_normal(n)
    if colour == "white" or n < 4:
        noise = white
    else:
        spectrum = np.fft.rfft(white)
        f = np.arange(spectrum.size, dtype=np.float64)
        f[0] = 1.0
        power = {"pink": 0.5, "brown": 1.0, "blue": -0.5}[colour]
        noise = np.fft.irfft(spectrum / f ** power, n)
    return (noise / (np.sqrt(np.mean(noise ** 2)) + 1e-12)).astype(np.float32)


def rms(audio):
    return float(np.sqrt(np.mean(audio.astype(np.float64) ** 2) + 1e-12))


def mix_at_snr(signal, noise, snr_db):
    """signal + noise scaled so that the signal's RMS is snr_db above it."""
    if noise.size < signal.size:
        noise = np.resize(noise, signal.size)
    noise = noise[:signal.size]
    gain = rms(signal) / (rms(noise) * 10 ** (snr_db / 20.0))
    return signal + noise * gain


def impulse_response(rng, rt60):
    """Synthetic room: direct path plus exponentially decaying noise tail."""
    n = int(SR * min(rt60, 1.0))
    t = np.arange(n) / SR
    tail = rng.standard_normal(n) * np.exp(-6.9 * t / rt60)
    tail[:int(0.002 * SR)] = 0.0
    ir = tail * 0.3
    ir[0] = 1.0
    return (ir / np.sqrt(np.sum(ir ** 2))).astype(np.float32)


def fft_convolve(a, b):
    n = a.size + b.size - 1
    size = 1 << (n - 1).bit_length()
    out = np.fft.irfft(np.fft.rfft(a, size) * np.fft.rfft(b, size), size)[:n]
    return out.astype(np.float32)


def reverb(rng, audio, rt60):
    wet = fft_convolve(audio, impulse_response(rng, rt60))[:audio.size]
    return wet * (rms(audio) / rms(wet))


def band_limit(audio, low_hz, high_hz):
    """Brick-wall band pass with a short raised-cosine edge."""
    spectrum = np.fft.rfft(audio)
    f = np.fft.rfftfreq(audio.size, 1.0 / SR)
    gain = np.ones_like(f)
    edge = 150.0
    gain[f < low_hz - edge] = 0.0
    rise = (f >= low_hz - edge) & (f < low_hz)
    gain[rise] = 0.5 - 0.5 * np.cos(np.pi * (f[rise] - low_hz + edge) / edge)
    gain[f > high_hz + edge] = 0.0
    fall = (f > high_hz) & (f <= high_hz + edge)
    gain[fall] = 0.5 + 0.5 * np.cos(np.pi * (f[fall] - high_hz) / edge)
    return np.fft.irfft(spectrum * gain, audio.size).astype(np.float32)


def speed(audio, factor):
    """Plays faster (factor > 1) or slower, shifting pitch with it."""
    n = int(audio.size / factor)
    if n < 2:
        return audio
    return np.interp(np.linspace(0, audio.size - 1, n), np.arange(audio.size),
                     audio).astype(np.float32)


def music_like(rng, n):
    """Chords of decaying harmonic notes with a beat: stands in for music."""
    out = np.zeros(n, np.float32)
    bpm = rng.uniform(70, 170)
    beat = int(SR * 60 / bpm)
    root = rng.uniform(110, 330)
    scale = [0, 2, 4, 5, 7, 9, 11, 12]
    pos = 0
    while pos < n:
        length = beat * int(rng.integers(1, 4))
        t = np.arange(min(length, n - pos)) / SR
        env = np.exp(-t * rng.uniform(1.5, 8.0))
        for _ in range(int(rng.integers(1, 4))):
            f0 = root * 2 ** (scale[int(rng.integers(len(scale)))] / 12.0)
            tone = sum(np.sin(2 * np.pi * f0 * k * t + rng.uniform(0, 6.3)) / k ** rng.uniform(1, 2)
                       for k in range(1, 6))
            out[pos:pos + t.size] += (tone * env).astype(np.float32)
        if rng.random() < 0.7:
            kick = np.exp(-np.arange(min(1200, n - pos)) / 250.0)
            out[pos:pos + kick.size] += (np.sin(2 * np.pi * 60 * np.arange(kick.size) / SR)
                                         * kick * 2).astype(np.float32)
        pos += length
    return out / (np.abs(out).max() + 1e-9)


def game_like(rng, n):
    """Laser sweeps, explosions and blips over a low hum."""
    out = coloured_noise(rng, n, "brown") * 0.05
    pos = int(rng.integers(0, SR // 4))
    while pos < n:
        kind = rng.integers(3)
        length = min(int(rng.uniform(0.05, 0.6) * SR), n - pos)
        t = np.arange(length) / SR
        if kind == 0:
            f = np.linspace(rng.uniform(800, 3000), rng.uniform(100, 600), length)
            sound = np.sin(2 * np.pi * np.cumsum(f) / SR)
        elif kind == 1:
            sound = coloured_noise(rng, length, "brown") * np.exp(-t * 6)
        else:
            sound = np.sign(np.sin(2 * np.pi * rng.uniform(300, 1500) * t)) * 0.5
        out[pos:pos + length] += sound.astype(np.float32) * rng.uniform(0.3, 1.0)
        pos += length + int(rng.uniform(0.05, 0.8) * SR)
    return out / (np.abs(out).max() + 1e-9)


def background(rng, n, speech_pool):
    """Something to lie under or around speech: noise, music, game or babble."""
    kind = rng.choice(["white", "pink", "brown", "music", "game", "speech", "silence"],
                      p=[0.1, 0.15, 0.1, 0.2, 0.15, 0.2, 0.1])
    if kind in ("white", "pink", "brown"):
        return coloured_noise(rng, n, kind)
    if kind == "music":
        return music_like(rng, n)
    if kind == "game":
        return game_like(rng, n)
    if kind == "speech" and speech_pool:
        out = np.zeros(n, np.float32)
        pos = 0
        while pos < n:
            piece = speech_pool[int(rng.integers(len(speech_pool)))]
            take = min(piece.size, n - pos)
            out[pos:pos + take] += piece[:take]
            pos += take + int(rng.uniform(0.1, 0.5) * SR)
        return out
    return coloured_noise(rng, n, "white") * 1e-3


def channel(rng, audio):
    """Random room, microphone band and gain, as a stream would carry it."""
    if rng.random() < 0.4:
        audio = reverb(rng, audio, rng.uniform(0.15, 0.8))
    r = rng.random()
    if r < 0.15:
        audio = band_limit(audio, 300, 3400)
    elif r < 0.3:
        audio = band_limit(audio, rng.uniform(80, 200), rng.uniform(4000, 7000))
    return audio
