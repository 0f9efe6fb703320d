"""Texts to speak: the wake phrase, near misses by kind and ordinary sentences."""

import re

# Spellings that make the engines say "tollivaren" the way a person would.
WAKE_WORDS = ["tollivaren", "tollivaren", "tolivaren", "tolli varen", "tollivahren",
              "tolliveren"]
WAKE_TAIL = ["clip it", "clip it", "clip it", "clip it!", "clip it."]
LEAD_INS = ["", "", "", "okay ", "hey ", "alright ", "yo ", "oh wow ", "right, "]
TRAILS = ["", "", "", "", " now", " please", " right now"]

# The name followed by anything but "clip it" must not fire, so training
# speaks the name with every other ending in the voices of the positives.
OTHER_VERBS = ["skip", "keep", "kill", "ship", "flip", "hit", "grip", "slip", "quit", "drop", "stop", "sell",
               "fix", "get", "do", "call", "save", "lock", "pick", "kick", "lick", "miss", "click", "chip",
               "tip", "zip", "whip", "dip", "rip", "nip", "clap", "clean", "close", "play", "pause", "mute",
               "stream", "film", "tape", "cut", "check", "take", "make", "try", "like", "leave", "lift",
               "split", "sip", "bring", "grab", "trim", "keep", "clear", "love", "hate", "spin", "win"]
OTHER_OBJECTS = ["that", "this", "them", "the last one", "the goal", "my run", "the ending", "everything",
                 "him", "her", "those", "again", "off", "out", "up", "now", "back", "on"]
NAME_SENTENCES = [
    "{n} is my favourite streamer", "hey {n}", "hey {n}, how are you", "I watched {n} yesterday",
    "did you see what {n} did", "{n} is live right now", "thanks {n}", "good morning {n}",
    "{n} {n}", "{n}, {n}, over here", "is {n} online", "{n} said we should wait",
    "{n} plays this game every night", "tell {n} I said hi", "{n} you are the best",
    "welcome to the {n} stream", "{n} and friends", "go {n}", "ask {n}", "{n}",
    "I think {n} is right", "when does {n} start", "{n} was amazing today", "shout out to {n}",
    "{n} lost again", "{n} clipped it yesterday", "{n} clips are the best", "{n} clipboard",
    "{n} clippers", "{n} clipping", "{n} it", "{n} eclipse it",
]
CLIP_SENTENCES = [
    "clip it", "clip that", "clip it chat", "someone clip it", "can you clip it", "clip that please",
    "somebody clip that", "clip it clip it", "oh my god clip it", "did anyone clip that", "clip it now",
    "please clip it", "mods clip that", "we need to clip it", "clip it and send it", "clip the last part",
    "that was a clip", "I will clip it later", "let's clip it", "I'll clip it", "go clip it", "clip it boys",
]
SOUND_ALIKES = [
    "tolliver", "tolli", "trolley van", "trolley van clip", "olive oil", "tollbooth", "tally ho",
    "travel van", "caravan", "trolley car", "toll of the bell", "rival in", "toll a van", "tolerant",
    "tallyman", "tell of a van", "holly van", "dollar van", "tall river", "Oliver", "Oliver clipped it",
    "silly van clip it", "tolliver clip", "Oliver clip", "call it even", "tell a friend clip it",
    "all of them clip it", "tell it again", "collar it", "told you so", "following it", "Tolkien",
    "trolley van clip it", "totally clip it", "Toledo clip it",
    "toll of Aaron", "Olivia", "Tolliver's van", "tell Ivan", "tulip van", "Valerie", "Tolkien clip it",
]


def near_texts(rng, kind, count):
    """Near-miss texts of one kind: other_verb, other_object, name_alone,
    clip_alone or sound_alike. Returns (text, name, rest) triples: name and
    rest are set where the text is the name and an ending, which can be
    spoken apart with a pause like the phrase."""
    out = []
    for _ in range(count):
        name = str(rng.choice(WAKE_WORDS))
        if kind in ("other_verb", "other_object"):
            rest = ("%s it" % rng.choice(OTHER_VERBS) if kind == "other_verb"
                    else "clip %s" % rng.choice(OTHER_OBJECTS))
            out.append(("%s %s" % (name, rest), name, rest))
            continue
        elif kind == "name_alone":
            text = str(rng.choice(NAME_SENTENCES)).format(n=name)
        elif kind == "clip_alone":
            text = str(rng.choice(CLIP_SENTENCES))
        else:
            text = str(rng.choice(SOUND_ALIKES))
        if rng.random() < 0.25:
            text = str(rng.choice(LEAD_INS)) + text
        out.append((text, None, None))
    return out


NEAR_KINDS = ["other_verb", "other_object", "name_alone", "clip_alone", "sound_alike"]
# The twins of a phrase take: the name with another ending, and another
# word before "clip it".
TWIN_KINDS = ["twin_verb", "twin_object", "twin_name", "twin_lead"]
TWIN_NAME_ENDINGS = ["is live", "is here", "again", "please", "hello", "thanks", "you know", "over here",
                     "look at this", "come on", "oh no", "stop it", "did it", "got it"]
TWIN_LEADS = ["someone", "somebody", "totally", "Oliver", "tolliver", "trolley van", "silly van", "caravan",
              "chat", "mods", "please", "okay", "quick", "let's", "go", "just", "tell a friend", "all of them",
              "Toledo", "Tolkien", "Olivia", "Valerie", "hey", "yes", "alright", "travel van", "holly van",
              "tally ho", "the river", "italian", "we can", "you should", "oh wow", "Vivian", "Harry"]


def twin_ending(rng):
    """(kind, words after the name) for the twin of a phrase take that keeps
    the name: another verb and "it", "clip" with another object, or other
    words."""
    kind = str(rng.choice(TWIN_KINDS[:3], p=[0.55, 0.3, 0.15]))
    if kind == "twin_verb":
        return kind, "%s it" % rng.choice(OTHER_VERBS)
    if kind == "twin_object":
        return kind, "clip %s" % rng.choice(OTHER_OBJECTS)
    return kind, str(rng.choice(TWIN_NAME_ENDINGS))


def twin_lead(rng):
    """What the twin that keeps "clip it" says instead of the name."""
    return str(rng.choice(TWIN_LEADS))

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


# Stream talk: a streamer talking to chat while playing.
_OPENERS = ["okay", "alright", "so", "oh", "wait", "yeah", "no way", "look", "honestly", "chat", "guys", "um"]
_SUBJECTS = ["we", "I", "you", "the boss", "this guy", "my team", "the game", "chat", "that player", "the enemy"]
_VERBS = ["need to", "are going to", "should", "can't", "want to", "always", "never", "just", "might",
          "have to", "tried to", "forgot to"]
_ACTIONS = ["go left", "climb the tower", "grab the loot", "check the map", "reload", "heal up", "wait here",
            "push forward", "hold this corner", "take a break", "read the chat", "drink some water",
            "jump over there", "follow the road", "build a wall", "save the game", "open the chest",
            "craft a sword", "fight the dragon", "try again", "finish the level", "talk to the shop keeper",
            "sell these items", "upgrade the car", "pick a new skin", "restart the round", "clear the room",
            "cover the bridge", "find the key", "kill the boss", "skip the cut scene", "ship the package"]
_ENDINGS = ["", "", "", "right now", "real quick", "before the storm", "after this round", "I think",
            "for sure", "thanks for the follow", "let's go", "that was close", "no problem", "again",
            "this time", "in a minute", "trust me", "good game", "thank you for the sub"]


def stream_talk(rng, count):
    out = []
    for _ in range(count):
        parts = []
        if rng.random() < 0.6:
            parts.append(str(rng.choice(_OPENERS)))
        parts += [str(rng.choice(_SUBJECTS)), str(rng.choice(_VERBS)), str(rng.choice(_ACTIONS))]
        ending = str(rng.choice(_ENDINGS))
        if ending:
            parts.append(ending)
        out.append(" ".join(parts))
    return out


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
