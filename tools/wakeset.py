"""Training and evaluation audio for one wake phrase, as streams the detector would hear.

A stream is 16-bit audio at 16 kHz that starts with a detector reset. Positive streams hold
one spoken wake phrase after 1.3 to 4 s of other sound and before 1 to 2 s more; negative
streams hold other speech (sentences from the word list, phrases that sound close to the wake
phrase), noise and silence. Every stream carries a background noise at 0 to 30 dB SNR (or
none), a random level and sometimes room reverberation; in a tone-balanced training set,
most streams' speech also has its lows and highs raised or lowered (wakedata.tilt).

Training streams use the training voices and noises; evaluation streams use only held-out
ones: festival's voices, held-out espeak-ng accents and variants, and
noises (60 Hz hum, fan) and noise recordings never used in training.

Sets are saved as .npz: pcm (all streams end to end, int16), offsets (stream starts, and the
total at the end), spans ([start, end] of the phrase in samples within its stream, or
[-1, -1]); a held-out phrase set also has notes (one JSON text per stream, load_notes).
"""
import json
import os
import re

import numpy as np

import wakedata as wd

SR = wd.SR

# Ends every set's file name. Sets made before flite's slt voice moved from the held-out voices
# to the training voices have no such ending and are not reused.
SET_VERSION = "v2"


# The share of training streams scaled to a quiet peak level in QUIET_PEAK_DB instead of the
# usual PEAK_DB (train_wakeword.py --quiet-share; 0 by default). The front end reads
# filter energies about 75 dB below a full-scale tone as its floor, so in speech that
# peaks below about -35 dBFS more and more of the spectrum is floor; a model that never heard
# such speech misses most of it. Read by the synthesis, in the workers it forks too.
QUIET_SHARE = 0.0
QUIET_PEAK_DB = (-40.0, -30.0)
PEAK_DB = (-30.0, -2.0)  # the peak level of every other stream


def share_tag(name, share):
    """What ends the file name of a training set made with a share of some kind of stream or
    rendition: "-q15" for quiet streams at 0.15, nothing at 0."""
    return f"-{name}{round(share * 100):d}" if share > 0.0 else ""


def set_path(folder, stem, split):
    """The file of a set: its stem, the set version and, for training sets made with other
    flite voices than the default ones (train_wakeword.py --flite-voices) or with quiet
    streams (--quiet-share), those settings."""
    tag = SET_VERSION
    if split == "train":
        tag += wd.flite_tag(wd.FLITE_TRAIN_VOICES, wd.DEFAULT_FLITE_TRAIN_VOICES)
        tag += share_tag("q", QUIET_SHARE)
        tag += share_tag("fest", wd.FESTIVAL_TRAIN_SHARE)
    return os.path.join(folder, f"{stem}-{tag}.npz")

# Phrases that sound close to "hey kalmoris", as negatives for its model.
KALMORIS_CONFUSABLES = [
    "hey carl", "calm morris", "hey karis", "kalamari", "hey calamari", "hey clarice",
    "call morris", "hey morris", "hey kal", "okay morris", "hey california", "hey calm",
    "kalmar is", "hey, come on", "hey, call me", "hey cal, more rice", "hey commerce",
    "calm horses", "hey, Carl Morris", "hey chorus", "clamorous", "hey kalmor",
]
# More of them, for training only: the evaluation's confusables stay the list above, so
# that its held-out audio does not change with this one.
KALMORIS_TRAIN_CONFUSABLES = [
    "hey maurice", "hey boris", "hey doris", "hey harris", "hey paris", "hey calories",
    "hey cameras", "hey clamour", "hey glamorous", "hey amorous", "hey carlos",
    "hey, call Maurice", "they call Morris", "hey calamity", "hey kilometres",
    "hey, come over", "hey, calm down", "say calm Morris", "hey Carmen", "hey camera",
    "hey chlorine", "hey Kelly Morris", "hey Karl Marx", "hey calmer", "hey, call Doris",
    "play Calloway", "hey Columbus", "hey color is", "hey cholera", "hey Carmelo",
]


def slug(phrase):
    return re.sub(r"[^a-z0-9]+", "_", phrase.lower()).strip("_")


def confusables(phrase, rng, vocab, count=30):
    """Negatives for a phrase: its parts, its words next to other words, near-misses made by
    changing a word's ending, and a hand-made list for the default phrase."""
    words = phrase.lower().replace(",", " ").split()
    out = set()
    for i in range(len(words)):
        for j in range(i + 1, len(words) + 1):
            if (i, j) != (0, len(words)):
                out.add(" ".join(words[i:j]))
    for i, w in enumerate(words):
        if len(w) >= 5:  # a cut short word ("he" for "hey") would sound the same
            out.add(" ".join(words[:i] + [w[:int(len(w) * 0.6)]] + words[i + 1:]))
        for _ in range(3):
            other = vocab[int(rng.integers(len(vocab)))]
            out.add(" ".join(words[:i] + [other] + words[i + 1:]))
    if slug(phrase) == "hey_kalmoris":
        out.update(KALMORIS_CONFUSABLES)
    out.discard(" ".join(words))
    out = sorted(out)
    rng.shuffle(out)
    return out[:max(count, len(KALMORIS_CONFUSABLES) if slug(phrase) == "hey_kalmoris" else 0)]


def near_miss(rng, phrase, near, vocab):
    """One negative text: from the list of close phrases, or the phrase with one word
    swapped for a random one ("hey omegas"), so that no single word of the phrase is
    enough to fire on."""
    r = rng.random()
    words = phrase.split()
    if r < 0.5 or len(words) < 2:
        return near[int(rng.integers(len(near)))]
    while True:
        i = int(rng.integers(len(words)))
        other = " ".join(vocab[int(j)] for j in rng.integers(0, len(vocab),
                                                             int(rng.integers(1, 3))))
        text = " ".join(words[:i] + [other] + words[i + 1:])
        if text.lower() != phrase.lower():
            return text


def phrase_texts(phrase):
    """Ways of writing the phrase that make the engines vary their prosody."""
    words = phrase.split()
    texts = [phrase, phrase.capitalize() + "!", phrase + "?", phrase.title() + "."]
    if len(words) > 1:
        texts.append(words[0] + ", " + " ".join(words[1:]))
    return texts


# --- Rendering ------------------------------------------------------------------------------

def vary_speaker(rng, x):
    """Half the training renditions are played faster or slower (by resampling): pitch,
    formants and duration move together, as between a shorter and a longer vocal tract.
    The training voices are mostly male; this reaches higher voices too."""
    if x.size == 0 or rng.random() < 0.5:
        return x
    return wd.shift_speaker(x, rng.uniform(0.88, 1.3))


class Voices:
    """Random renditions of texts by the voices of one split ("train" or "eval"). After
    say_many, `voices` names the voice of each rendition ("festival kal_diphone"). In
    training, a share wakedata.FESTIVAL_TRAIN_SHARE of say_many's renditions is spoken by
    festival's training voices."""

    def __init__(self, tts, rng, split):
        self.tts, self.rng, self.split = tts, rng, split
        self.voices = []

    def say(self, text):
        if self.split == "train":
            return vary_speaker(self.rng, wd.trim(wd.speak(self.tts, self.rng, text, "train")))
        r = self.rng.random()
        if r < 0.45:
            return self._held_out_festival([text])[0]
        return wd.trim(wd.speak(self.tts, self.rng, text, "eval"))

    def say_many(self, texts):
        """Several texts; festival renders a batch per call for speed."""
        if self.split == "eval" and self.rng.random() < 0.45:
            out = self._held_out_festival(texts)
            self.voices = [self.tts.last_voice] * len(out)
            return out
        if self.split == "train" and wd.FESTIVAL_TRAIN_SHARE > 0.0:
            return self._say_many_with_festival(texts)
        out, self.voices = [], []
        for t in texts:
            out.append(self.say(t))
            self.voices.append(self.tts.last_voice)
        return out

    def _held_out_festival(self, texts):
        """The texts by one of festival's held-out voices at a random pace, trimmed. A
        rendition it could not make stops the set rather than leave a wake phrase without
        sound, which would count as a miss."""
        voice = wd.FESTIVAL_EVAL_VOICES[int(self.rng.integers(len(wd.FESTIVAL_EVAL_VOICES)))]
        said = self.tts.festival(texts, voice, float(self.rng.uniform(0.85, 1.3)))
        for text, x in zip(texts, said):
            if not x.size:
                raise RuntimeError(f"festival {voice} could not say {text!r}")
        return [wd.trim(x) for x in said]

    def _say_many_with_festival(self, texts):
        """Training renditions where each text goes to a festival training voice with the
        share's chance; festival renders the texts of one voice in one run. Numbers are drawn
        only here, so that sets made without festival stay as they were."""
        voices = wd.FESTIVAL_TRAIN_VOICES
        picks = [voices[int(self.rng.integers(len(voices)))]
                 if self.rng.random() < wd.FESTIVAL_TRAIN_SHARE else None for _ in texts]
        out, self.voices = [None] * len(texts), [None] * len(texts)
        for i, (text, voice) in enumerate(zip(texts, picks)):
            if voice is None:
                out[i] = self.say(text)
                self.voices[i] = self.tts.last_voice
        for voice in sorted({v for v in picks if v is not None}):
            idx = [i for i, v in enumerate(picks) if v == voice]
            said = self.tts.festival([texts[i] for i in idx], voice,
                                     float(self.rng.uniform(0.8, 1.3)))
            for i, x in zip(idx, said):
                x = wd.trim(x)
                if x.size:
                    out[i] = vary_speaker(self.rng, x)
                    self.voices[i] = f"festival {voice}"
                else:  # festival could not say it: another training voice does
                    out[i] = self.say(texts[i])
                    self.voices[i] = self.tts.last_voice
        return out


# Share of the streams of a tone-balanced training set whose speech goes through a random
# tone balance (wakedata.tilt).
TILT_SHARE = 0.6


def noise_kinds(split):
    return wd.TRAIN_NOISES if split == "train" else wd.EVAL_NOISES


# Background noise is mixed at a signal-to-noise ratio drawn from this range (dB).
SNR_RANGE_DB = (0.0, 30.0)


def finish(rng, speech, split, pool, snr_range=SNR_RANGE_DB, clean=0.15, note=None):
    """Adds tone balance (in the training sets built with it), room, background noise and
    level to a speech track; returns int16. Without the tone balance no number is drawn for
    it, so that plain training sets and the held-out sets of a seed stay as they were.
    note, a dict, is given the background noise's kind ("none" without) and SNR."""
    tilt = _SHARED.get("tilt", 0.0)
    if split == "train" and tilt > 0.0 and rng.random() < tilt:
        speech = wd.tilt(rng, speech)
    if rng.random() < 0.3:
        speech = wd.reverb(rng, speech)[:len(speech)]
    total = speech.copy()
    level = wd.active_rms(speech) if np.any(speech) else 0.02
    if rng.random() >= clean:
        kinds = noise_kinds(split)
        kind = kinds[int(rng.integers(len(kinds)))]
        snr = rng.uniform(*snr_range)
        total += wd.noise(rng, kind, len(total), pool) * level / 10.0 ** (snr / 20.0)
        if note is not None:
            note.update(noise=kind, snr_db=round(float(snr), 1))
    elif note is not None:
        note["noise"] = "none"
    peak_db = rng.uniform(*PEAK_DB)
    # Drawn only when asked for, so that sets made without quiet streams stay as they were.
    if split == "train" and QUIET_SHARE > 0.0 and rng.random() < QUIET_SHARE:
        peak_db = rng.uniform(*QUIET_PEAK_DB)
    pcm = wd.to_pcm(total, peak_db)
    # A little sensor noise, so that quiet passages are not digital silence.
    if rng.random() < 0.7:
        pcm = np.clip(pcm.astype(np.int32) + rng.integers(-3, 4, len(pcm)), -32768, 32767)
    return pcm.astype(np.int16)


def filler(rng, voices, seconds, vocab, others):
    """seconds of other speech (or silence, when others is empty and by chance)."""
    n = int(seconds * SR)
    out = np.zeros(n)
    if rng.random() < 0.25:
        return out
    pos = int(rng.uniform(0.0, 0.3) * SR)
    while pos < n:
        clip = others[int(rng.integers(len(others)))] if others else voices.say(
            wd.sentence(rng, vocab, 2, 6))
        clip = clip * rng.uniform(0.4, 1.0)
        take = min(len(clip), n - pos)
        out[pos:pos + take] += clip[:take]
        pos += len(clip) + int(rng.uniform(0.15, 0.8) * SR)
    return out


def positive_stream(rng, phrase_audio, others, split, pool, note=None):
    """[lead][phrase][tail]: returns (pcm, (start, end)). note: see finish."""
    lead = int(rng.uniform(1.3, 4.0) * SR)
    tail = int(rng.uniform(1.0, 2.0) * SR)
    speech = np.zeros(lead + len(phrase_audio) + tail)
    if others and rng.random() < 0.7:
        # Other speech before the phrase, ending 0.2 to 1 s before it.
        before = filler(rng, None, lead / SR - rng.uniform(0.2, 1.0), None, others)
        speech[:len(before)] += before
    if others and rng.random() < 0.4:
        after = filler(rng, None, tail / SR - 0.3, None, others)
        start = lead + len(phrase_audio) + int(0.3 * SR)
        speech[start:start + len(after)] += after[:len(speech) - start]
    speech[lead:lead + len(phrase_audio)] += phrase_audio * rng.uniform(0.7, 1.0)
    return finish(rng, speech, split, pool, note=note), (lead, lead + len(phrase_audio))


def negative_stream(rng, clips, split, pool, seconds, texts=None, note=None):
    """Other speech clips with pauses, over a background, for about seconds. With the clips'
    texts, note (a dict, see finish) is also given each placed clip as [text, start, end]."""
    n = int(seconds * SR)
    speech = np.zeros(n)
    pos = int(rng.uniform(0.0, 1.0) * SR)
    placed = []
    while pos < n and clips:
        k = int(rng.integers(len(clips)))
        clip = clips[k] * rng.uniform(0.5, 1.0)
        take = min(len(clip), n - pos)
        speech[pos:pos + take] += clip[:take]
        if texts is not None:
            placed.append([texts[k], pos, pos + take])
        pos += len(clip) + int(rng.uniform(0.1, 1.5) * SR)
    if note is not None and texts is not None:
        note["clips"] = placed
    return finish(rng, speech, split, pool, note=note)


def save_set(path, streams, spans, meta=None):
    lengths = np.array([len(s) for s in streams], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    np.savez(path, pcm=np.concatenate(streams).astype(np.int16), offsets=offsets,
             spans=np.array(spans, dtype=np.int64).reshape(-1, 2), **(meta or {}))


def load_notes(path):
    """Per-stream notes of a set that has them (voice, background noise, the texts of a
    close-phrase stream and where they are), else None."""
    d = np.load(path)
    return [json.loads(str(n)) for n in d["notes"]] if "notes" in d.files else None


def load_set(path):
    d = np.load(path)
    pcm, offsets = d["pcm"], d["offsets"]
    streams = [pcm[offsets[i]:offsets[i + 1]] for i in range(len(offsets) - 1)]
    return streams, d["spans"]


def speech_pool(voices, rng, vocab, count):
    """Short sentences for babble and fillers."""
    return [c for c in voices.say_many([wd.sentence(rng, vocab, 2, 6) for _ in range(count)])
            if c.size]


def confusable_stream(rng, voices, phrase, near, vocab, split, pool, note=None,
                      only_near=False):
    """Four phrases close to the wake phrase, spoken with pauses over a background, 3-6 s:
    from `near` or a random word swap (near_miss), or with only_near, all from `near`.
    note: see negative_stream."""
    if only_near:
        group = [near[int(rng.integers(len(near)))] for _ in range(4)]
    else:
        group = [near_miss(rng, phrase, near, vocab) for _ in range(4)]
    said = voices.say_many(group)
    clips = [c for c in said if c.size]
    texts = [t for t, c in zip(group, said) if c.size]
    return negative_stream(rng, clips, split, pool, rng.uniform(3.0, 6.0), texts, note)


def sentence_clips(voices, rng, vocab, seconds):
    """Spoken sentences, in batches of 30, until they fill about `seconds` with pauses."""
    clips, have = [], 0.0
    while have < seconds:
        batch = voices.say_many([wd.sentence(rng, vocab) for _ in range(30)])
        clips += [c for c in batch if c.size]
        have += sum(len(c) for c in batch) / SR + 0.8 * len(batch)
    return clips


def log(*args):
    print(*args, flush=True)


def build_phrase_set(path, phrase, split, seed, positives, confusable_streams, log_every=200):
    """Positive and confusable streams for a phrase in one split; saved to path with a note
    for every stream (load_notes), so that an evaluation can say which voices it misses and
    which close phrases it fires on."""
    rng = np.random.default_rng(seed)
    vocab = wd.word_list()
    tts = wd.Tts()
    try:
        voices = Voices(tts, rng, split)
        pool = speech_pool(voices, rng, vocab, 60)
        texts = phrase_texts(phrase)
        streams, spans, notes = [], [], []
        done = 0
        while done < positives:
            group = [texts[int(rng.integers(len(texts)))] for _ in range(min(10, positives - done))]
            for audio, voice in zip(voices.say_many(group), voices.voices):
                done += 1
                if audio.size == 0:
                    continue
                note = {"voice": voice}
                pcm, span = positive_stream(rng, audio, pool, split, pool, note)
                streams.append(pcm)
                spans.append(span)
                notes.append(note)
                if done % log_every == 0:
                    log(f"  {split} positives: {done}/{positives}")
        near = confusables(phrase, rng, vocab)
        for i in range(confusable_streams):
            note = {}
            streams.append(confusable_stream(rng, voices, phrase, near, vocab, split, pool, note))
            spans.append((-1, -1))
            notes.append(note)
            if (i + 1) % log_every == 0:
                log(f"  {split} confusable streams: {i + 1}/{confusable_streams}")
    finally:
        tts.close()
    save_set(path, streams, spans, {"phrase": np.array(phrase), "confusables": np.array(near),
                                    "notes": np.array([json.dumps(n) for n in notes])})
    return path


# --- Training sets built in blocks by worker processes ------------------------------------
#
# Each block of streams is made from its own seed, so a set does not depend on the number of
# workers. (The evaluation sets keep the sequential builders above, so that a seed gives the
# same held-out audio as before.)

_SHARED = {}  # what the workers of a build share: vocabulary, speech pool, close phrases, tilt


def _block(job):
    """Worker: one block of streams -> (streams, spans)."""
    kind, seed, count, phrase, split = job
    rng = np.random.default_rng(seed)
    vocab, pool, near = _SHARED["vocab"], _SHARED["pool"], _SHARED.get("near")
    tts = wd.Tts()
    streams, spans = [], []
    try:
        voices = Voices(tts, rng, split)
        if kind == "positives":
            texts = phrase_texts(phrase)
            group = [texts[int(rng.integers(len(texts)))] for _ in range(count)]
            for audio in voices.say_many(group):
                if audio.size:
                    pcm, span = positive_stream(rng, audio, pool, split, pool)
                    streams.append(pcm)
                    spans.append(span)
        elif kind in ("confusables", "sound-alikes"):
            for _ in range(count):
                streams.append(confusable_stream(rng, voices, phrase, near, vocab, split, pool,
                                                 only_near=kind == "sound-alikes"))
                spans.append((-1, -1))
        else:  # one stream of other speech (count seconds), or of noise alone
            if kind == "noise":
                streams.append(negative_stream(rng, [], split, pool, count))
            else:
                clips = sentence_clips(voices, rng, vocab, count)
                streams.append(negative_stream(rng, clips, split, pool, count))
            spans.append((-1, -1))
    finally:
        tts.close()
    return streams, spans


def _run_blocks(jobs, workers, label):
    streams, spans = [], []
    if workers > 1:
        import multiprocessing
        pool = multiprocessing.get_context("fork").Pool(workers)
        results = pool.imap(_block, jobs)
    else:
        pool, results = None, map(_block, jobs)
    try:
        for k, (s, sp) in enumerate(results):
            streams += s
            spans += sp
            if (k + 1) % 10 == 0 or k + 1 == len(jobs):
                log(f"  {label}: {k + 1}/{len(jobs)} blocks")
    finally:
        if pool is not None:
            pool.close()
            pool.join()
    return streams, spans


def _shared_setup(rng, split, tilt):
    """Shares with a build's workers the vocabulary, a speech pool and the tone-balance share."""
    vocab = wd.word_list()
    tts = wd.Tts()
    try:
        pool = speech_pool(Voices(tts, rng, split), rng, vocab, 60)
    finally:
        tts.close()
    _SHARED.update(vocab=vocab, pool=pool, tilt=tilt)
    return vocab


def _build(path, jobs, workers, label, meta=None):
    """Runs a set's jobs (what _shared_setup shared is dropped afterwards) and saves the set."""
    try:
        streams, spans = _run_blocks(jobs, workers, label)
    finally:
        _SHARED.clear()
    save_set(path, streams, spans, meta)
    return path


def build_phrase_set_parallel(path, phrase, split, seed, positives, confusable_streams,
                              workers=2, block=50, tilt=0.0):
    """As build_phrase_set, made in blocks by worker processes; a share `tilt` of the
    training streams get a random tone balance."""
    rng = np.random.default_rng(seed)
    vocab = _shared_setup(rng, split, tilt)
    near = confusables(phrase, rng, vocab)
    if slug(phrase) == "hey_kalmoris" and split == "train":
        near = near + KALMORIS_TRAIN_CONFUSABLES
    _SHARED["near"] = near
    jobs = [("positives", int(rng.integers(1 << 31)), min(block, positives - a), phrase, split)
            for a in range(0, positives, block)]
    jobs += [("confusables", int(rng.integers(1 << 31)), min(block, confusable_streams - a),
              phrase, split) for a in range(0, confusable_streams, block)]
    return _build(path, jobs, workers, f"{split} phrase streams",
                  {"phrase": np.array(phrase), "confusables": np.array(near)})


def build_sound_alike_set(path, phrase, split, seed, alikes, streams, workers=2, block=50,
                          tilt=0.0):
    """Negative streams of phrases that sound like the wake phrase (soundalike.sound_alikes),
    up to four to a stream, made in blocks by worker processes; `tilt` as in
    build_phrase_set_parallel."""
    rng = np.random.default_rng(seed)
    _shared_setup(rng, split, tilt)
    _SHARED["near"] = list(alikes)
    jobs = [("sound-alikes", int(rng.integers(1 << 31)), min(block, streams - a), phrase, split)
            for a in range(0, streams, block)]
    return _build(path, jobs, workers, f"{split} sound-alike streams",
                  {"phrase": np.array(phrase), "confusables": np.array(alikes)})


def build_speech_negatives_parallel(path, split, seed, minutes, stream_seconds=60.0,
                                    noise_share=0.1, workers=2, tilt=0.0):
    """As build_speech_negatives, one stream a job, made by worker processes; `tilt` as in
    build_phrase_set_parallel."""
    rng = np.random.default_rng(seed)
    _shared_setup(rng, split, tilt)
    count = int(np.ceil(minutes * 60.0 / stream_seconds))
    jobs = [("noise" if rng.random() < noise_share else "speech", int(rng.integers(1 << 31)),
             stream_seconds, None, split) for _ in range(count)]
    return _build(path, jobs, workers, f"{split} negative streams")


def build_speech_negatives(path, split, seed, minutes, stream_seconds=60.0, noise_share=0.1):
    """Continuous other speech (and some noise-only streams) for split, about minutes long."""
    rng = np.random.default_rng(seed)
    vocab = wd.word_list()
    tts = wd.Tts()
    streams, spans = [], []
    try:
        voices = Voices(tts, rng, split)
        pool = speech_pool(voices, rng, vocab, 60)
        total = 0.0
        while total < minutes * 60.0:
            seconds = stream_seconds
            if rng.random() < noise_share:
                streams.append(negative_stream(rng, [], split, pool, seconds))
            else:
                clips = sentence_clips(voices, rng, vocab, seconds)
                streams.append(negative_stream(rng, clips, split, pool, seconds))
            spans.append((-1, -1))
            total += seconds
            log(f"  {split} negatives: {total / 60.0:.1f}/{minutes:.0f} min")
    finally:
        tts.close()
    save_set(path, streams, spans)
    return path


def ensure(path, builder, *args, **kwargs):
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        tmp = path + ".tmp.npz"
        builder(tmp, *args, **kwargs)
        os.replace(tmp, path)
    return path
