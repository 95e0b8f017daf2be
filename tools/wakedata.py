"""Synthetic speech and noise for training and evaluating wake models.

Speech comes from Debian's text-to-speech engines: espeak-ng (English accents and voice
variants) and flite (its five built-in voices) for training; festival's English voices, two
espeak-ng accents and a set of espeak-ng variants are kept for evaluation only. Variation:
speaking rate and pitch in the engines, gain, room reverberation and noise (white, pink,
brown, hum, babble) mixed at 0 to 30 dB SNR in numpy.

Audio here is float64 at 16 kHz with full scale at 1.0; to_pcm turns it into the 16-bit
values the detector receives.
"""
import os
import re
import shutil
import subprocess
import tempfile

import numpy as np
from scipy.io import wavfile
from scipy.signal import butter, fftconvolve, lfilter, resample_poly, sosfiltfilt

SR = 16000

# espeak-ng English accents and voice variants. The evaluation set never shares an accent
# or a variant with the training set.
ESPEAK_TRAIN_ACCENTS = ["en-us", "en-gb", "en-gb-scotland", "en-gb-x-gbclan", "en-gb-x-rp",
                        "en-029"]
ESPEAK_EVAL_ACCENTS = ["en-gb-x-gbcwmd", "en-us-nyc"]
ESPEAK_EVAL_VARIANTS = ["Annie", "Gene", "linda", "edward", "steph2", "Andy", "Denis",
                        "f4", "m6", "klatt4", "travis", "victor"]
# flite's voices that speak English words; flite reads an unknown name silently as kal.
FLITE_VOICES = ("kal", "kal16", "awb", "rms", "slt")
# slt, recorded from a woman and the only natural female voice among the engines' training
# voices, is listed twice: a third of the flite renditions. Without her, wake models trained
# on these voices found the held-out festival slt voice in 70% of its recordings, against 96%
# for festival's male voices.
DEFAULT_FLITE_TRAIN_VOICES = ["kal", "kal16", "awb", "rms", "slt", "slt"]
FLITE_TRAIN_VOICES = list(DEFAULT_FLITE_TRAIN_VOICES)


def parse_flite_voices(text):
    """The voices of a comma-separated --flite-voices list, in order (a name given twice is
    drawn twice as often). Raises ValueError when it names none or one flite does not have."""
    voices = [v.strip() for v in text.split(",") if v.strip()]
    if not voices:
        raise ValueError("--flite-voices names no voice")
    unknown = sorted(set(voices) - set(FLITE_VOICES))
    if unknown:
        raise ValueError(f"--flite-voices: unknown voice {', '.join(unknown)} "
                         f"(flite has {', '.join(FLITE_VOICES)})")
    return voices


def flite_tag(voices, default):
    """What a cached file's name gains when it was made with other flite voices than the
    default ones, so that it is never taken for the default's."""
    return "" if list(voices) == list(default) else "-flite-" + "-".join(voices)


def describe_voices(flite_voices, festival_share=0.0):
    """The training voices as a manifest records them."""
    text = "espeak-ng training accents and variants, flite " + ", ".join(flite_voices)
    if festival_share > 0.0:
        text += f", festival {', '.join(FESTIVAL_TRAIN_VOICES)} ({festival_share:g} of renditions)"
    return text


FESTIVAL_EVAL_VOICES = ["kal_diphone", "ked_diphone", "cmu_us_slt_arctic_hts"]
# festival's voices for other languages, each recorded from its own speaker (four women, a
# boy and four men): they read English text by their own language's rules ("hej kalmoris"),
# so they bring natural voices the English engines lack, with an accent. Only its English
# voices are held out. The Russian voice is left out: it reads Latin letters as other sounds.
FESTIVAL_TRAIN_VOICES = ["lp_diphone", "pc_diphone", "upc_ca_ona_hts", "czech_dita",
                         "czech_krb", "czech_machac", "czech_ph", "hy_fi_mv_diphone",
                         "suo_fi_lj_diphone"]
# Their Debian packages, which scripts/install_training_deps.sh installs.
FESTIVAL_TRAIN_PACKAGES = ["festvox-italp16k", "festvox-itapc16k", "festvox-ca-ona-hts",
                           "festvox-czech-dita", "festvox-czech-krb", "festvox-czech-machac",
                           "festvox-czech-ph", "festvox-suopuhe-lj", "festvox-suopuhe-mv"]
# The share of training renditions spoken by them (train_wakeword.py --festival-share; 0 by
# default). Read by the synthesis, in the workers it forks too.
FESTIVAL_TRAIN_SHARE = 0.0


def missing_festival_voices(voices):
    """The voices festival does not have (all of them when festival itself is missing)."""
    try:
        out = subprocess.run(["festival", "--pipe"], input="(print (voice.list))\n", text=True,
                             capture_output=True, check=True, timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        return list(voices)
    have = set(re.findall(r"[A-Za-z0-9_]+", out))
    return [v for v in voices if v not in have]


def festival_training_voices_problem():
    """What keeps festival's training voices from being used, naming the Debian packages
    that bring them, or None when festival has them all."""
    missing = missing_festival_voices(FESTIVAL_TRAIN_VOICES)
    if not missing:
        return None
    return (f"festival lacks the voices {', '.join(missing)} "
            f"(Debian packages {' '.join(FESTIVAL_TRAIN_PACKAGES)})")


TRAIN_NOISES = ["white", "pink", "brown", "hum50", "babble"]
EVAL_NOISES = ["pink", "brown", "hum60", "babble", "fan"]

_VARIANTS = None


def espeak_variants():
    """Every espeak-ng voice variant installed (file names under voices/!v)."""
    global _VARIANTS
    if _VARIANTS is None:
        out = subprocess.run(["espeak-ng", "--voices=variant"], capture_output=True,
                             text=True, check=True).stdout
        names = [line.split()[4].split("/")[-1] for line in out.splitlines()[1:] if line.split()]
        _VARIANTS = sorted(set(names))
    return _VARIANTS


def espeak_train_variants():
    held = {v.lower() for v in ESPEAK_EVAL_VARIANTS}
    # Whispering variants carry no pitch: a detector is not asked to hear whispers.
    return [v for v in espeak_variants()
            if v.lower() not in held and "whisper" not in v.lower() and v != "Mr"]


def _read_wav(path):
    rate, data = wavfile.read(path)
    x = data.astype(np.float64)
    if data.dtype == np.int16:
        x /= 32768.0
    if x.ndim > 1:
        x = x.mean(axis=1)
    return resample(x, rate)


def shift_speaker(x, factor):
    """x played `factor` times faster (by resampling): pitch and formants rise by the factor
    and the duration shrinks, as from a longer to a shorter vocal tract. The rate is rounded
    to 100 Hz, which keeps the polyphase filter short (a rate prime to 16000 would make it
    thousands of taps long)."""
    return resample(x, int(round(SR * factor / 100.0)) * 100)


def resample(x, rate):
    if rate == SR:
        return x
    g = np.gcd(int(rate), SR)
    return resample_poly(x, SR // g, int(rate) // g)


class Tts:
    """Runs the engines in a private temporary folder (in memory when /dev/shm exists)."""

    def __init__(self):
        base = "/dev/shm" if os.path.isdir("/dev/shm") else None
        self.dir = tempfile.mkdtemp(prefix="kalwake-tts-", dir=base)
        self.n = 0
        self.last_voice = None  # "engine voice" of the latest rendition, for the set's notes

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def _path(self):
        self.n += 1
        return os.path.join(self.dir, f"{self.n}.wav")

    def espeak(self, text, voice, rate=175, pitch=50, ssml=False):
        path = self._path()
        cmd = ["espeak-ng", "-v", voice, "-s", str(int(rate)), "-p", str(int(pitch)), "-w", path]
        self.last_voice = f"espeak-ng {voice}"
        if ssml:
            cmd.append("-m")
        subprocess.run(cmd + [text], check=True, capture_output=True)
        x = _read_wav(path)
        os.remove(path)
        return x

    def espeak_words(self, words, voice, rate=175, pitch=50, gap_ms=700):
        """Each word spoken alone, in one engine run: the words are separated by long breaks
        and cut apart again at the silences. Returns None if the cut does not give exactly
        one piece per word."""
        text = "<speak>" + "".join(f"{w}<break time=\"{gap_ms}ms\"/>" for w in words) + "</speak>"
        x = self.espeak(text, voice, rate, pitch, ssml=True)
        pieces = split_on_silence(x, min_gap=0.45 * gap_ms / 1000.0)
        if len(pieces) != len(words):
            return None
        return pieces

    def flite(self, text, voice, stretch=1.0, f0=None):
        path = self._path()
        cmd = ["flite", "-voice", voice, "--setf", f"duration_stretch={stretch:.3f}"]
        self.last_voice = f"flite {voice}"
        if f0 is not None:
            cmd += ["--setf", f"int_f0_target_mean={f0:.1f}"]
        subprocess.run(cmd + ["-t", text, "-o", path], check=True, capture_output=True)
        x = _read_wav(path)
        os.remove(path)
        return x

    def festival(self, texts, voice, stretch=1.0):
        """Speaks each text with one festival process; returns one array a text. A text that
        festival fails on (its voices for other languages stop with a Scheme error on some
        spellings, "fuzz" in the Finnish ones) gives an empty array; the others are spoken."""
        paths = [self._path() for _ in texts]
        self.last_voice = f"festival {voice}"
        lines = [f"(voice_{voice})", f"(Parameter.set 'Duration_Stretch {stretch:.3f})"]
        for text, path in zip(texts, paths):
            clean = text.replace("\\", " ").replace('"', " ")
            lines.append(f'(utt.save.wave (utt.synth (Utterance Text "{clean}")) "{path}" \'riff)')
        subprocess.run(["festival", "--pipe"], input="\n".join(lines) + "\n", text=True,
                       check=True, capture_output=True)
        out = []
        for path in paths:
            if os.path.exists(path):
                out.append(_read_wav(path))
                os.remove(path)
            else:
                out.append(np.zeros(0))
        return out


def split_on_silence(x, min_gap=0.3, level=2e-3):
    """Pieces of x separated by at least min_gap seconds below level."""
    loud = np.abs(x) > level
    idx = np.nonzero(loud)[0]
    if idx.size == 0:
        return []
    gaps = np.nonzero(np.diff(idx) > min_gap * SR)[0]
    starts = np.concatenate([[idx[0]], idx[gaps + 1]])
    ends = np.concatenate([idx[gaps], [idx[-1]]]) + 1
    pad = int(0.01 * SR)
    return [x[max(0, s - pad):e + pad] for s, e in zip(starts, ends)]


def trim(x, level=2e-3):
    idx = np.nonzero(np.abs(x) > level)[0]
    if idx.size == 0:
        return x[:0]
    return x[max(0, idx[0] - 80):idx[-1] + 80]


# --- Noise --------------------------------------------------------------------------------

def _coloured(rng, n, exponent):
    """Noise whose power falls as 1 / f^exponent (0 white, 1 pink, 2 brown), unit RMS."""
    spectrum = np.fft.rfft(rng.normal(size=n))
    f = np.fft.rfftfreq(n, 1.0 / SR)
    f[0] = f[1]
    spectrum *= f ** (-exponent / 2.0)
    x = np.fft.irfft(spectrum, n)
    return x / (np.sqrt(np.mean(x ** 2)) + 1e-12)


def hum(rng, n, mains):
    t = np.arange(n) / SR
    x = np.zeros(n)
    for h in range(1, 8):
        x += rng.uniform(0.1, 1.0) / h * np.sin(2 * np.pi * mains * h * t + rng.uniform(0, 6.3))
    x += 0.05 * _coloured(rng, n, 1.0)
    return x / np.sqrt(np.mean(x ** 2))


def fan(rng, n):
    """Broadband rumble with a blade tone that drifts slowly."""
    base = _coloured(rng, n, 1.5)
    t = np.arange(n) / SR
    f = rng.uniform(90, 200) * (1 + 0.02 * np.sin(2 * np.pi * rng.uniform(0.1, 0.5) * t))
    tone = np.sin(2 * np.pi * np.cumsum(f) / SR)
    x = base + rng.uniform(0.2, 0.6) * tone
    return x / np.sqrt(np.mean(x ** 2))


def babble(rng, n, speech_pool, talkers=None):
    """Several talkers at once, drawn from a pool of speech clips."""
    talkers = talkers or int(rng.integers(3, 7))
    x = np.zeros(n)
    for _ in range(talkers):
        pos = 0
        while pos < n:
            clip = speech_pool[int(rng.integers(len(speech_pool)))]
            take = min(len(clip), n - pos)
            x[pos:pos + take] += clip[:take] / (np.sqrt(np.mean(clip ** 2)) + 1e-9)
            pos += take + int(rng.integers(0, SR // 4))
    return x / (np.sqrt(np.mean(x ** 2)) + 1e-12)


def noise(rng, kind, n, speech_pool=None):
    if kind == "white":
        return _coloured(rng, n, 0.0)
    if kind == "pink":
        return _coloured(rng, n, 1.0)
    if kind == "brown":
        return _coloured(rng, n, 2.0)
    if kind == "hum50":
        return hum(rng, n, 50.0)
    if kind == "hum60":
        return hum(rng, n, 60.0)
    if kind == "fan":
        return fan(rng, n)
    if kind == "babble":
        return babble(rng, n, speech_pool)
    raise ValueError(kind)


# --- Room and level -----------------------------------------------------------------------

def reverb(rng, x, rt60=None):
    """Convolution with a synthetic room response: a direct path and exponentially decaying
    diffuse noise with a reverberation time of rt60 seconds."""
    rt60 = rt60 if rt60 is not None else rng.uniform(0.15, 0.8)
    n = int(rt60 * SR)
    t = np.arange(n) / SR
    tail = rng.normal(size=n) * np.exp(-6.9 * t / rt60)
    tail = lfilter([1.0], [1.0, -rng.uniform(0.3, 0.8)], tail)  # walls absorb the highs
    ir = np.zeros(n)
    ir[0] = 1.0
    delay = int(rng.uniform(0.003, 0.02) * SR)
    ir[delay:] += tail[:n - delay] * rng.uniform(0.05, 0.3) / np.sqrt(np.sum(tail ** 2) + 1e-12) * 3
    y = fftconvolve(x, ir)[:len(x) + n // 2]
    return y * (np.max(np.abs(x)) / (np.max(np.abs(y)) + 1e-12))


def tilt(rng, x):
    """The speech through a random tone balance: its lows (below 150-400 Hz) and highs (above
    1.5-4 kHz) raised or lowered independently, as voices and microphones differ. A voice
    whose energy sits mostly in its fundamental, as many women's voices do, then meets noise
    mixed relative to its whole level with its formants much further down; trained only on
    flat-sounding voices, a wake model misses such voices in noise."""
    low = butter(2, rng.uniform(150.0, 400.0), "lowpass", fs=SR, output="sos")
    high = butter(2, rng.uniform(1500.0, 4000.0), "highpass", fs=SR, output="sos")
    low_gain = 10.0 ** (rng.uniform(-10.0, 15.0) / 20.0)
    high_gain = 10.0 ** (rng.uniform(-12.0, 8.0) / 20.0)
    return x + (low_gain - 1.0) * sosfiltfilt(low, x) + (high_gain - 1.0) * sosfiltfilt(high, x)


def rms(x):
    return float(np.sqrt(np.mean(np.asarray(x) ** 2)) + 1e-12)


def active_rms(x, level=2e-3):
    """RMS over the samples of a clip that are not silence (speech level)."""
    loud = np.abs(x) > level
    return rms(x[loud]) if loud.any() else rms(x)


def to_pcm(x, peak_dbfs):
    """Scales x to the given peak level and rounds to 16-bit values."""
    peak = np.max(np.abs(x)) + 1e-12
    y = x * (10.0 ** (peak_dbfs / 20.0) / peak) * 32767.0
    return np.clip(np.round(y), -32768, 32767).astype(np.int16)


# --- Text ---------------------------------------------------------------------------------

def word_list(path="/usr/share/dict/words", min_len=3, max_len=10):
    words = []
    with open(path, encoding="utf-8", errors="ignore") as f:
        for line in f:
            w = line.strip()
            if min_len <= len(w) <= max_len and re.fullmatch(r"[a-z]+", w):
                words.append(w)
    return words


def sentence(rng, words, lo=4, hi=12):
    return " ".join(words[int(i)] for i in rng.integers(0, len(words), int(rng.integers(lo, hi))))


# --- Voices -------------------------------------------------------------------------------

def random_espeak_voice(rng, split):
    if split == "train":
        accent = ESPEAK_TRAIN_ACCENTS[int(rng.integers(len(ESPEAK_TRAIN_ACCENTS)))]
        variants = espeak_train_variants()
    else:
        accent = ESPEAK_EVAL_ACCENTS[int(rng.integers(len(ESPEAK_EVAL_ACCENTS)))]
        variants = ESPEAK_EVAL_VARIANTS
    variant = variants[int(rng.integers(len(variants)))]
    return f"{accent}+{variant}", float(rng.uniform(120, 230)), float(rng.uniform(15, 85))


def speak(tts, rng, text, split):
    """One rendition of text by a random training espeak-ng or flite voice, or by a held-out
    espeak-ng voice (every flite voice is a training voice)."""
    if split != "train" or rng.random() < 0.75:
        voice, rate, pitch = random_espeak_voice(rng, split)
        return tts.espeak(text, voice, rate, pitch)
    voice = FLITE_TRAIN_VOICES[int(rng.integers(len(FLITE_TRAIN_VOICES)))]
    f0 = float(rng.uniform(80, 220)) if rng.random() < 0.6 else None
    return tts.flite(text, voice, float(rng.uniform(0.8, 1.35)), f0)
