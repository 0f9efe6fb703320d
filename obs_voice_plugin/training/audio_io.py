"""Reading WAV files and raw 16-bit clip packs, and resampling."""

import wave

import numpy as np


def read_wav(path):
    """Returns (mono float32 in [-1, 1], sample rate)."""
    with wave.open(path, "rb") as wav:
        rate = wav.getframerate()
        channels = wav.getnchannels()
        width = wav.getsampwidth()
        data = wav.readframes(wav.getnframes())
    if width != 2:
        raise ValueError("%s: %d-byte samples, want 16-bit" % (path, width))
    audio = np.frombuffer(data, dtype="<i2").astype(np.float32) / 32768.0
    if channels > 1:
        audio = audio.reshape(-1, channels).mean(axis=1)
    return audio, rate


def resample(audio, rate_in, rate_out):
    """Band-limited resampling through the spectrum (clips are short)."""
    if rate_in == rate_out or audio.size == 0:
        return audio.astype(np.float32)
    n_out = int(round(audio.size * rate_out / rate_in))
    spectrum = np.fft.rfft(audio)
    bins_out = n_out // 2 + 1
    if bins_out <= spectrum.size:
        spectrum = spectrum[:bins_out]
    else:
        spectrum = np.concatenate([spectrum, np.zeros(bins_out - spectrum.size, spectrum.dtype)])
    out = np.fft.irfft(spectrum, n_out) * (n_out / audio.size)
    return out.astype(np.float32)


def to_int16(audio):
    return np.clip(np.round(audio * 32767.0), -32768, 32767).astype("<i2")


class ClipPack:
    """Many clips in one raw little-endian int16 file, listed with their offsets.

    The list file that wake-features reads has one line per clip:
    <raw file> <first sample> <sample count> <first pass end> <last pass end>
    where a pass end is the index one past the newest sample of a two-second
    window; pass ends run from first to last in steps of 1280.
    """

    def __init__(self, raw_path):
        self.raw_path = raw_path
        self.file = open(raw_path, "wb")
        self.offset = 0
        self.lines = []

    def add(self, audio, first_end, last_end):
        samples = to_int16(audio)
        self.file.write(samples.tobytes())
        self.lines.append("%s %d %d %d %d" % (self.raw_path, self.offset, samples.size,
                                             first_end, last_end))
        self.offset += samples.size
        return len(self.lines) - 1

    def again(self, first_end, last_end):
        """Another pass range over the clip added last."""
        raw, first, count = self.lines[-1].split()[:3]
        self.lines.append("%s %s %s %d %d" % (raw, first, count, first_end, last_end))

    def close(self, list_path):
        self.file.close()
        with open(list_path, "w") as out:
            out.write("\n".join(self.lines) + "\n")
