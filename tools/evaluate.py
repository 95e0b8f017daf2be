#!/usr/bin/python3
"""Evaluates a wake model by streaming held-out audio through the built library.

    evaluate.py --model models/hey_kalmoris.onnx [--phrase "hey kalmoris"]
                [--frontend models] [--lib build/libkalmoris-wakeword.so]
                [--positives 600] [--hours 2] [--seed 7] [--det det.png] [--json out.json]
                [--peak-dbfs P]

Each stream is written to the detector chunk by chunk after a reset; the detections the
library latches and every chunk's score are recorded. A wake phrase counts as detected when
a detection falls between its start and 1.5 s after its end; every other detection is a
false accept. Recall and false accepts per hour are given at the threshold the model was
loaded with (0.5), and the detection-error trade-off over thresholds is computed from the
recorded scores with the library's latch rules (warm-up 5, cooldown 8) and drawn as a PNG.

The evaluation audio (festival's voices, held-out espeak-ng accents and variants, held-out
noises) is generated once per seed into the data folder.
"""
import argparse
import collections
import ctypes
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stream_features as sf  # noqa: E402
import wakedata as wd  # noqa: E402
import wakeset  # noqa: E402

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHUNK = sf.CHUNK
SR = 16000
WINDOW_AFTER_END = 1.5  # seconds after the phrase end in which a detection counts
WARMUP = 5
COOLDOWN = 8
# A detection needs more of a phrase than its first 0.3 s: a close phrase that began later
# than that before a detection is not what set it off.
ATTRIBUTION_LEAD = 0.3


class Library:
    """The detector's C interface through ctypes."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        L = self.lib
        L.kalwake_load.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_float]
        L.kalwake_write.argtypes = [ctypes.POINTER(ctypes.c_int16), ctypes.c_int]
        L.kalwake_triggered.argtypes = [ctypes.POINTER(ctypes.c_int32),
                                        ctypes.POINTER(ctypes.c_float)]
        L.kalwake_scores.argtypes = [ctypes.POINTER(ctypes.c_float), ctypes.c_int]
        L.kalwake_last_error.restype = ctypes.c_char_p

    def error(self):
        return self.lib.kalwake_last_error().decode("utf-8", "replace")

    def load(self, frontend, model, threshold=0.5):
        if self.lib.kalwake_load(frontend.encode(), model.encode(), ctypes.c_float(threshold)):
            raise RuntimeError(f"kalwake_load: {self.error()}")

    def unload(self):
        self.lib.kalwake_unload()

    def run(self, pcm):
        """Streams one recording after a reset: (scores per chunk, chunks that fired)."""
        self.lib.kalwake_reset()
        pcm = np.ascontiguousarray(pcm, dtype=np.int16)
        chunks = len(pcm) // CHUNK
        scores = np.zeros(chunks, dtype=np.float32)
        fired = []
        score = ctypes.c_float()
        index = ctypes.c_int32()
        base = pcm.ctypes.data_as(ctypes.POINTER(ctypes.c_int16))
        ptr_type = ctypes.POINTER(ctypes.c_int16)
        for c in range(chunks):
            ptr = ctypes.cast(ctypes.addressof(base.contents) + 2 * c * CHUNK, ptr_type)
            if self.lib.kalwake_write(ptr, CHUNK) != 1:
                raise RuntimeError(f"kalwake_write: {self.error()}")
            self.lib.kalwake_scores(ctypes.byref(score), 1)
            scores[c] = score.value
            while self.lib.kalwake_triggered(ctypes.byref(index), None) == 1:
                fired.append(c)
        return scores, fired


def latch(scores, threshold):
    """Chunks at which the detector's latch fires for these scores (one slot, from a reset)."""
    fired = []
    cooldown = 0
    for n, p in enumerate(scores, start=1):
        if cooldown > 0:
            cooldown -= 1
        if n > WARMUP and cooldown == 0 and p >= threshold:
            fired.append(n - 1)
            cooldown = COOLDOWN
    return fired


def chunk_time(c):
    return (c + 1) * CHUNK / SR


def count(fired_per_stream, spans):
    """(hits, positives, false accepts) for detections per stream and phrase spans."""
    hits = positives = false = 0
    for fired, (start, end) in zip(fired_per_stream, spans):
        if start < 0:
            false += len(fired)
            continue
        positives += 1
        lo, hi = start / SR, end / SR + WINDOW_AFTER_END
        inside = [c for c in fired if lo <= chunk_time(c) <= hi]
        hits += 1 if inside else 0
        false += len(fired) - len(inside)
    return hits, positives, false


def evaluate(lib_path, frontend, model, pos_streams, pos_spans, neg_streams, threshold=0.5,
             thresholds=None, neg_groups=None, pos_notes=None, neg_notes=None, log=print):
    """Streams the sets through the library; returns the figures. With the streams' notes
    (wakeset.load_notes; None for a negative stream without one), recall is also split by
    voice and by background noise, and the false accepts on close phrases by what was said."""
    lib = Library(lib_path)
    lib.load(frontend, model, threshold)
    t0 = time.time()
    pos_scores, pos_fired, neg_scores, neg_fired = [], [], [], []
    try:
        for i, s in enumerate(pos_streams):
            sc, f = lib.run(s)
            pos_scores.append(sc)
            pos_fired.append(f)
        for i, s in enumerate(neg_streams):
            sc, f = lib.run(s)
            neg_scores.append(sc)
            neg_fired.append(f)
    finally:
        lib.unload()
    seconds = time.time() - t0
    audio = sum(len(s) for s in pos_streams) + sum(len(s) for s in neg_streams)
    neg_hours = sum(len(s) for s in neg_streams) / SR / 3600.0
    hits, positives, stray = count(pos_fired, pos_spans)
    neg_false = sum(len(f) for f in neg_fired)
    # The latch replayed on the recorded scores must give what the library latched.
    replay = [latch(s, threshold) for s in pos_scores + neg_scores]
    mismatch = sum(1 for a, b in zip(replay, pos_fired + neg_fired) if a != b)
    result = {
        "threshold": threshold,
        "positives": positives,
        "detected": hits,
        "recall": hits / max(1, positives),
        "negative_hours": neg_hours,
        "false_accepts": neg_false,
        "false_accepts_per_hour": neg_false / max(neg_hours, 1e-9),
        "false_accepts_in_positive_streams": stray,
        "audio_hours": audio / SR / 3600.0,
        "seconds": seconds,
        "real_time_factor": seconds / (audio / SR),
        "latch_replay_mismatches": mismatch,
    }
    if neg_groups is not None:
        groups = {}
        for g, s, f in zip(neg_groups, neg_streams, neg_fired):
            e = groups.setdefault(g, {"hours": 0.0, "false_accepts": 0})
            e["hours"] += len(s) / SR / 3600.0
            e["false_accepts"] += len(f)
        result["negative_groups"] = groups
    if pos_notes is not None:
        result["recall_by_voice"] = recall_by(pos_fired, pos_spans,
                                              [voice_group(n.get("voice")) for n in pos_notes])
        result["recall_by_noise"] = recall_by(pos_fired, pos_spans,
                                              [n.get("noise", "?") for n in pos_notes])
        result["recall_by_snr"] = recall_by(pos_fired, pos_spans,
                                            [snr_band(n.get("snr_db")) for n in pos_notes])
    if neg_notes is not None:
        result["false_accepts_by_text"] = {  # the texts that were fired on
            t: e for t, e in false_accepts_by_text(neg_fired, neg_notes).items()
            if e["false_accepts"]}
    curve = []
    for t in thresholds if thresholds is not None else default_thresholds():
        fired = [latch(s, t) for s in pos_scores + neg_scores]
        h, p, _ = count(fired[:len(pos_scores)], pos_spans)
        fa = sum(len(f) for f in fired[len(pos_scores):])
        curve.append({"threshold": float(t), "recall": h / max(1, p),
                      "false_accepts_per_hour": fa / max(neg_hours, 1e-9)})
    result["curve"] = curve
    result["best_recall_at_false_accepts_per_hour"] = {
        f"{limit:g}": {"recall": r, "threshold": t} for limit, r, t in recall_at(curve)}
    return result


def voice_group(voice):
    """espeak-ng voices by accent ("espeak-ng en-us-nyc"), the variants of one accent
    together: a few phrases a variant say little on their own."""
    return (voice or "?").split("+")[0]


def snr_band(snr_db, width=10):
    """A recording's background level in bands of width dB ("0-10 dB"), "no noise" without.
    The notes keep a tenth of a dB, so a draw just below the top of the range the
    backgrounds are drawn from is noted at the top itself; it goes with the band below, not
    into a band of its own."""
    if snr_db is None:
        return "no noise"
    lo = min(int(snr_db // width) * width, int(wakeset.SNR_RANGE_DB[1]) - width)
    return f"{lo}-{lo + width} dB"


def at_peak(pcm, peak_dbfs):
    """A recording scaled to one peak level, as the training audio is levelled (--peak-dbfs)."""
    return wd.to_pcm(pcm.astype(np.float64), peak_dbfs)


def recall_by(fired_per_stream, spans, keys):
    """{key: {"positives", "detected", "recall"}} over the positive streams of each key."""
    out = {}
    for fired, span, key in zip(fired_per_stream, spans, keys):
        h, p, _ = count([fired], [span])
        e = out.setdefault(key, {"positives": 0, "detected": 0})
        e["positives"] += p
        e["detected"] += h
    for e in out.values():
        e["recall"] = e["detected"] / max(1, e["positives"])
    return dict(sorted(out.items()))


def false_accepts_by_text(fired_per_stream, notes):
    """{text: {"spoken", "false_accepts"}} over the streams whose notes list their clips: a
    detection is put down to the clip that started last, at least ATTRIBUTION_LEAD before the
    end of the chunk that fired (a clip that began just before cannot have caused it)."""
    out = collections.defaultdict(lambda: {"spoken": 0, "false_accepts": 0})
    for fired, note in zip(fired_per_stream, notes):
        clips = (note or {}).get("clips")
        if clips is None:
            continue
        for text, _, _ in clips:
            out[text]["spoken"] += 1
        for c in fired:
            end = (c + 1) * CHUNK - ATTRIBUTION_LEAD * SR
            before = [clip for clip in clips if clip[1] <= end]
            text = max(before, key=lambda clip: clip[1])[0] if before else "(before any)"
            out[text]["false_accepts"] += 1
    return dict(out)


def recall_at(curve, fa_limits=(0.5, 1.0, 2.0, 5.0, 10.0)):
    """For each false-accept rate, the best recall of the curve's thresholds that stay at or
    below it, with that threshold: [(limit, recall, threshold)], recall None when no
    threshold stays below the limit."""
    out = []
    for limit in fa_limits:
        best = None
        for c in curve:
            if c["false_accepts_per_hour"] <= limit and (best is None or c["recall"] > best[0]):
                best = (c["recall"], c["threshold"])
        out.append((limit, None, None) if best is None else (limit, best[0], best[1]))
    return out


def default_thresholds():
    return np.concatenate([np.linspace(0.01, 0.09, 9), np.linspace(0.1, 0.9, 33),
                           1.0 - np.logspace(-1.3, -4, 12)])


def plot_det(curve, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fa = np.array([c["false_accepts_per_hour"] for c in curve])
    miss = np.array([1.0 - c["recall"] for c in curve]) * 100.0
    th = np.array([c["threshold"] for c in curve])
    fig, ax = plt.subplots(figsize=(6, 4.2), dpi=110)
    ax.plot(np.maximum(fa, 0.01), np.maximum(miss, 0.05), marker=".", lw=1.2)
    at = int(np.argmin(np.abs(th - 0.5)))
    ax.plot([max(fa[at], 0.01)], [max(miss[at], 0.05)], "o", color="C3",
            label=f"threshold 0.5: {fa[at]:.2f} FA/h, {miss[at]:.1f}% missed")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("false accepts per hour (values below 0.01 drawn at 0.01)")
    ax.set_ylabel("missed wake phrases, % (below 0.05 drawn at 0.05)")
    ax.axvline(0.5, color="grey", lw=0.6, ls="--")
    ax.axhline(5.0, color="grey", lw=0.6, ls="--")
    ax.grid(True, which="both", lw=0.3)
    ax.set_title(title, fontsize=10)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def eval_sets(data, phrase, seed, positives, hours, confusable_streams=None, log=print):
    """Builds (once) and loads the held-out sets: phrase positives and confusables, and
    general negative audio of the given length. Returns (positive streams, their spans,
    negative streams, their groups, notes): notes = (a note per positive stream, a note per
    negative stream or None), see wakeset.load_notes."""
    folder = os.path.join(data, "eval")
    conf = confusable_streams if confusable_streams is not None else max(40, positives // 4)
    pset = wakeset.set_path(folder, f"{wakeset.slug(phrase)}-s{seed}-p{positives}-c{conf}",
                            "eval")
    nset = wakeset.set_path(folder, f"negatives-s{seed}-m{int(round(hours * 60))}", "eval")
    t0 = time.time()
    wakeset.ensure(pset, wakeset.build_phrase_set, phrase, "eval", seed, positives, conf)
    wakeset.ensure(nset, wakeset.build_speech_negatives, "eval", seed + 1000, hours * 60.0,
                   stream_seconds=300.0)
    log(f"evaluation sets ready in {time.time() - t0:.0f} s")
    p_streams, p_spans = wakeset.load_set(pset)
    p_notes = wakeset.load_notes(pset)
    n_streams, _ = wakeset.load_set(nset)
    pos = [(s, sp, n) for s, sp, n in zip(p_streams, p_spans, p_notes) if sp[0] >= 0]
    conf = [(s, n) for s, sp, n in zip(p_streams, p_spans, p_notes) if sp[0] < 0]
    notes = ([n for _, _, n in pos], [n for _, n in conf] + [None] * len(n_streams))
    return [s for s, _, _ in pos], [sp for _, sp, _ in pos], \
        [s for s, _ in conf] + n_streams, \
        ["confusable phrases"] * len(conf) + ["other speech and noise"] * len(n_streams), notes


def default_lib():
    for cand in ("build/libkalmoris-wakeword.so", "build-test/libkalmoris-wakeword.so"):
        path = os.path.join(HERE, cand)
        if os.path.exists(path):
            return path
    return os.path.join(HERE, "build", "libkalmoris-wakeword.so")


def report(result, log=print):
    log(f"recall {result['recall'] * 100:.1f}% ({result['detected']}/{result['positives']} "
        f"wake phrases detected within {WINDOW_AFTER_END} s of their end, threshold "
        f"{result['threshold']})")
    log(f"false accepts {result['false_accepts']} in {result['negative_hours']:.2f} h of "
        f"negative audio: {result['false_accepts_per_hour']:.2f} per hour "
        f"(+{result['false_accepts_in_positive_streams']} stray detections in the positive "
        f"streams)")
    for name, g in result.get("negative_groups", {}).items():
        log(f"  {name}: {g['false_accepts']} in {g['hours']:.2f} h")
    by_text = result.get("false_accepts_by_text")
    if by_text is not None:
        fired = sorted(((e["false_accepts"], t) for t, e in by_text.items()),
                       key=lambda x: (-x[0], x[1]))
        log("  close phrases fired on (times, what was said last): " +
            (", ".join(f'{n} "{t}"' for n, t in fired) if fired else "none"))
    for what, label in (("voice", "voice"), ("noise", "noise"), ("snr", "SNR")):
        by = result.get(f"recall_by_{what}")
        if by:
            log(f"recall by {label}: " + "; ".join(
                f"{k} {e['recall'] * 100:.1f}% of {e['positives']}" for k, e in by.items()))
    if "curve" in result:
        parts = []
        for limit, r, t in recall_at(result["curve"]):
            best = "none" if r is None else f"{r * 100:.1f}% (threshold {t:.4g})"
            parts.append(f"<= {limit:g}/h: {best}")
        log("best recall at a false-accept rate, over thresholds: " + "; ".join(parts))
    log(f"streamed {result['audio_hours']:.2f} h through the library in {result['seconds']:.0f} s "
        f"(real-time factor {result['real_time_factor']:.4f})")


def main():
    p = argparse.ArgumentParser(description="Evaluates a wake model through the library.")
    p.add_argument("--model", required=True)
    p.add_argument("--phrase", default="hey kalmoris")
    p.add_argument("--frontend", default=os.path.join(HERE, "models"))
    p.add_argument("--lib", default=default_lib())
    p.add_argument("--data", default=os.path.join(HERE, "data"))
    p.add_argument("--positives", type=int, default=600)
    p.add_argument("--hours", type=float, default=2.0)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--threshold", type=float, default=0.5)
    p.add_argument("--peak-dbfs", type=float, metavar="P",
                   help="scale every held-out recording to this peak level first (how quiet "
                        "or loud speech fares; not with --manifest)")
    p.add_argument("--det", help="PNG of the detection-error trade-off curve")
    p.add_argument("--json", help="write the figures here")
    p.add_argument("--manifest", metavar="NAME",
                   help="record the figures as the evaluation of entry NAME of "
                        "models/MANIFEST.json")
    args = p.parse_args()
    if args.peak_dbfs is not None and args.manifest:
        p.error("--peak-dbfs changes the held-out audio: its figures are not the model's "
                "evaluation for the manifest")
    pos, spans, neg, groups, (pos_notes, neg_notes) = eval_sets(
        args.data, args.phrase, args.seed, args.positives, args.hours)
    if args.peak_dbfs is not None:
        pos = [at_peak(s, args.peak_dbfs) for s in pos]
        neg = [at_peak(s, args.peak_dbfs) for s in neg]
        print(f"every recording scaled to a peak of {args.peak_dbfs:g} dBFS")
    result = evaluate(args.lib, args.frontend, args.model, pos, spans, neg, args.threshold,
                      neg_groups=groups, pos_notes=pos_notes, neg_notes=neg_notes)
    report(result)
    if args.det:
        plot_det(result["curve"], args.det, f'"{args.phrase}": {result["positives"]} held-out '
                 f'phrases, {result["negative_hours"]:.1f} h negative audio')
        print(f"DET curve: {args.det}")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=2)
    if args.manifest:
        import wakenet
        path = os.path.join(HERE, "models", "MANIFEST.json")
        with open(path, encoding="utf-8") as f:
            entry = json.load(f)[args.manifest]
        if entry.get("sha256") != wakenet.sha256(args.model):
            sys.exit(f"{args.model} is not the model of manifest entry {args.manifest}")
        entry["evaluation"] = {k: v for k, v in result.items() if k != "curve"}
        entry["evaluation"]["command"] = "tools/evaluate.py " + " ".join(
            f'"{a}"' if " " in a else a for a in sys.argv[1:])
        entry["evaluation"]["seed"] = args.seed
        wakenet.update_manifest(path, args.manifest, entry)
    if result["latch_replay_mismatches"]:
        print(f"warning: the replayed latch differs from the library on "
              f"{result['latch_replay_mismatches']} streams", file=sys.stderr)


if __name__ == "__main__":
    main()
