"""Words that sound like the words of a wake phrase, found by their espeak-ng phonemes.

A wake model trained only on hand-picked close phrases and random word swaps still fires on
words it never heard that share most of a phrase word's sounds ("hey calibrates" for "hey
kalmoris"). These helpers rank the word list by the edit distance between phoneme strings,
so that such words can be spoken as training negatives for any phrase.
"""
import re
import subprocess

# espeak-ng's stress and syllable marks: they say how a sound is spoken, not which it is.
_MARKS = re.compile(r"[',_%=]")
# Phrase words with fewer phoneme symbols than this ("hey", "ok") are left alone: too many
# words sound close to them, and swapping them is what random word swaps already do.
MIN_PHONEMES = 4


def phonemes(words, voice="en-us"):
    """espeak-ng's phonemes of each word (its -x notation without stress marks), one espeak-ng
    run for all of them."""
    if not words:
        return []
    text = "".join(w + ".\n" for w in words)
    out = subprocess.run(["espeak-ng", "-q", "-x", "-v", voice], input=text, check=True,
                         capture_output=True, text=True).stdout
    lines = [_MARKS.sub("", line.strip()) for line in out.split("\n")]
    lines = [line for line in lines if line]
    if len(lines) != len(words):
        raise RuntimeError(f"espeak-ng gave {len(lines)} phoneme lines for {len(words)} words")
    return lines


def distance(a, b):
    """Edit distance between two phoneme strings over the longer one's length: 0 the same
    sounds, 1 nothing in common."""
    if not a and not b:
        return 0.0
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb)))
        prev = cur
    return prev[-1] / max(len(a), len(b))


def nearest_words(target, vocab, vocab_phonemes, count, target_phonemes=None):
    """The `count` words of vocab whose phonemes are nearest the target's (target_phonemes,
    when the caller has them), nearest first. Words whose sounds begin with all of the
    target's ("computers" for "computer") are left out: spoken, they hold the wake phrase
    itself."""
    t = target_phonemes if target_phonemes is not None else phonemes([target])[0]
    scored = []
    for w, p in zip(vocab, vocab_phonemes):
        # The distance is at least the length difference over the longer length; skip words
        # that cannot come near enough to matter before paying for the full comparison.
        if abs(len(p) - len(t)) > len(t) // 2 or p.startswith(t):
            continue
        scored.append((distance(t, p), w))
    scored.sort()
    return [w for _, w in scored[:count]]


def sound_alikes(phrase, vocab, count):
    """Phrases made by swapping one word of the phrase for one of the `count` words that
    sound nearest to it: "hey chorus", "hey calibrates" for "hey kalmoris"."""
    words = phrase.replace(",", " ").split()
    word_phonemes = phonemes(words)
    swap = [i for i, p in enumerate(word_phonemes) if len(p) >= MIN_PHONEMES]
    if not swap or count <= 0:
        return []
    vocab_phonemes = phonemes(vocab)
    return [" ".join(words[:i] + [other] + words[i + 1:])
            for i in swap for other in nearest_words(words[i], vocab, vocab_phonemes, count,
                                                     word_phonemes[i])]
