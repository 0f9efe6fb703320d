"""Texts to speak: the wake phrase, near misses and ordinary sentences."""

import re

# Spellings that make the engines say "tollivaren" the way a person would.
WAKE_WORDS = ["tollivaren", "tollivaren", "tolivaren", "tolli varen", "tollivahren",
              "tolliveren"]
WAKE_TAIL = ["clip it", "clip it", "clip it", "clip it!", "clip it."]
LEAD_INS = ["", "", "", "okay ", "hey ", "alright ", "yo ", "oh wow ", "right, "]
TRAILS = ["", "", "", "", " now", " please", " right now"]

NEAR_MISSES = [
    "clip it", "clip that", "tollivaren", "tolliver", "tolli", "tollivaren is live",
    "call it even", "all of them clip it", "tell a friend clip it", "trolley van",
    "trolley van clip", "olive oil", "tell it again", "collar it", "clip it later",
    "tollbooth", "tally ho", "travel van", "tell everyone", "caravan", "clipboard",
    "flip it", "ship it", "skip it", "grip it", "dip it", "slip it", "clip on",
    "trolley car", "told you so", "toll of the bell", "rival in", "on the clip",
    "clippers", "let's clip it", "quit it", "hit it", "toll a van", "all of them",
    "tolerant", "tallyman", "I'll clip it", "cliff it", "tell of a van",
    "rolling over", "holly van", "tolli", "ravel and clip", "clip the last one",
    "tolliver clip", "Oliver clip", "Oliver clipped it", "silly van clip it",
    "dollar van", "following it", "tell it", "collaring", "Tolkien", "tall river",
]


TEXT_FILES = ["/usr/share/games/fortunes/fortunes", "/usr/share/games/fortunes/literature",
              "/usr/share/games/fortunes/riddles", "/usr/share/common-licenses/GPL-3",
              "/usr/share/common-licenses/Apache-2.0", "/usr/share/common-licenses/MPL-2.0",
              "/usr/share/common-licenses/GFDL-1.3", "/usr/share/common-licenses/Artistic",
              "/usr/share/common-licenses/LGPL-2.1"]


def sentences(paths=TEXT_FILES):
    """Sentences of 3 to 25 words from fortunes and licence texts Debian ships."""
    out = []
    for path in paths:
        try:
            text = open(path, encoding="utf-8", errors="ignore").read()
        except OSError:
            continue
        for entry in text.split("\n%\n"):
            for sentence in re.split(r"(?<=[.!?])\s+", " ".join(entry.split())):
                sentence = re.sub(r"[^A-Za-z0-9 ,.'!?-]", " ", sentence).strip()
                words = sentence.split()
                # Long licence sentences are read out in pieces of up to 16 words.
                for i in range(0, len(words), 16):
                    piece = words[i:i + 16]
                    if len(piece) >= 3 and "tolliv" not in sentence.lower():
                        out.append(" ".join(piece))
    return sorted(set(out))


def dictionary_words(path="/usr/share/dict/words"):
    try:
        words = open(path, encoding="utf-8", errors="ignore").read().split()
    except OSError:
        return []
    return [w for w in words if w.isalpha() and w.isascii() and "'" not in w]


def word_salad(rng, words, n_words):
    return " ".join(words[int(rng.integers(len(words)))] for _ in range(n_words))


def wake_text(rng, with_extras=True):
    """Returns (full text, text of the phrase alone)."""
    core = "%s %s" % (rng.choice(WAKE_WORDS), rng.choice(WAKE_TAIL))
    if not with_extras:
        return core, core
    return rng.choice(LEAD_INS) + core + rng.choice(TRAILS), core
