#!/usr/bin/python3
"""Trains the embedding model (models/embedding_model.onnx) as a word classifier.

A vocabulary of words from the system word list is spoken by the training voices of
espeak-ng and flite; each rendition is placed at a random point of a 0.76 s window, with
neighbouring words, room reverberation and noise at 0-30 dB SNR, and turned into the 76
scaled mel frames the detector computes. A convolutional network learns to name the word
(or "no word" for noise and silence); its 96-value layer, kept at export, is the embedding
on which wake models are trained. Nothing in it is tied to a wake phrase.

    train_embedding.py [--data data] [--out models/embedding_model.onnx] [--seed 1]

Data and features are cached under --data; a second run trains from the cache.
"""
import argparse
import json
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import melspec_reference as mel  # noqa: E402
import stream_features as sf  # noqa: E402
import wakedata as wd  # noqa: E402
import wakefit  # noqa: E402
import wakenet  # noqa: E402

WINDOW_SAMPLES = (sf.WINDOW_FRAMES - 1) * mel.HOP_LENGTH + mel.FRAME_LENGTH  # 12512


def log(*args):
    print(*args, flush=True)


def pick_vocabulary(rng, count):
    words = [w for w in wd.word_list(min_len=3, max_len=9)]
    return sorted(rng.choice(words, size=count, replace=False).tolist())


# flite's voices for the embedding's word runs (--flite-voices). The committed embedding was
# trained on these four male voices, before slt joined the wake models' training voices; kept
# as the default so that the command in the manifest makes it again.
EMBEDDING_FLITE_VOICES = ["kal", "kal16", "awb", "rms"]


def synthesis_runs(rng, espeak_runs, flite_runs, voices=EMBEDDING_FLITE_VOICES,
                   festival_runs=0):
    """One entry a run, each with its own voice settings: the whole vocabulary is spoken once
    a run. flite's voices take turns; half their runs set another pitch, most of them
    towards a higher voice (the feature step also shifts formants, see make_example).
    festival's non-English training voices take turns over festival_runs more runs, drawn
    last so that the other runs stay as they were without them."""
    runs = []
    for _ in range(espeak_runs):
        voice, rate, pitch = wd.random_espeak_voice(rng, "train")
        runs.append(("espeak", voice, rate, pitch))
    for run in range(flite_runs):
        voice = voices[run % len(voices)]
        stretch = float(rng.uniform(0.8, 1.3))
        f0 = float(rng.uniform(80, 240)) if (run // len(voices)) % 2 else None
        runs.append(("flite", voice, stretch, f0))
    for run in range(festival_runs):
        voice = wd.FESTIVAL_TRAIN_VOICES[run % len(wd.FESTIVAL_TRAIN_VOICES)]
        runs.append(("festival", voice, float(rng.uniform(0.8, 1.3))))
    return runs


def _speak_run(job):
    """Worker: one run over the vocabulary -> [(label, int16 clip)]."""
    run, vocab = job
    tts = wd.Tts()
    out = []
    try:
        if run[0] == "espeak":
            _, voice, rate, pitch = run
            for start in range(0, len(vocab), 100):
                batch = vocab[start:start + 100]
                pieces = tts.espeak_words(batch, voice, rate, pitch)
                if pieces is None:
                    continue
                for i, p in enumerate(pieces):
                    out.append((start + i + 1, wd.to_pcm(p, -3.0)))
        elif run[0] == "festival":
            _, voice, stretch = run
            for start in range(0, len(vocab), 100):
                pieces = tts.festival(vocab[start:start + 100], voice, stretch)
                for i, p in enumerate(pieces):
                    x = wd.trim(p)
                    if x.size:
                        out.append((start + i + 1, wd.to_pcm(x, -3.0)))
        else:
            _, voice, stretch, f0 = run
            for i, word in enumerate(vocab):
                x = wd.trim(tts.flite(word, voice, stretch, f0))
                if x.size:
                    out.append((i + 1, wd.to_pcm(x, -3.0)))
    finally:
        tts.close()
    return out


def synthesize_words(rng, vocab, espeak_runs, flite_runs, workers=2,
                     voices=EMBEDDING_FLITE_VOICES, festival_runs=0):
    """Renditions of every word: [(label, int16 clip, run)]. Label 0 is reserved for no word.
    The runs are spoken by worker processes; the result does not depend on their number."""
    runs = synthesis_runs(rng, espeak_runs, flite_runs, voices, festival_runs)
    out = []
    with _pool(workers) as pool:
        for k, clips in enumerate(pool.imap(_speak_run, [(r, vocab) for r in runs])):
            out += [(label, clip, k) for label, clip in clips]
            r = runs[k]
            log(f"  run {k + 1}/{len(runs)} ({r[0]} {r[1]}): {len(out)} clips")
    return out


class _Serial:
    """Stands in for a process pool when one worker is asked for."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def imap(self, fn, jobs):
        return map(fn, jobs)


def _pool(workers):
    if workers <= 1:
        return _Serial()
    import multiprocessing
    return multiprocessing.get_context("fork").Pool(workers)


def place(canvas, clip, start):
    """Adds clip into canvas from sample start (may begin before 0 or run past the end)."""
    a, b = max(0, start), min(len(canvas), start + len(clip))
    if a < b:
        canvas[a:b] += clip[a - start:b - start]


def make_example(rng, clip, clips, noise_pool):
    """One 76-frame window holding clip (or only background when clip is None)."""
    n = WINDOW_SAMPLES
    speech = np.zeros(n)
    if clip is not None:
        x = clip.astype(np.float64) / 32768.0
        if rng.random() < 0.6:
            # A shorter or longer vocal tract: pitch, formants and pace move together.
            x = wd.shift_speaker(x, rng.uniform(0.85, 1.3))
        centre = n // 2 + int(rng.uniform(-0.12, 0.12) * wd.SR)
        start = centre - len(x) // 2
        place(speech, x, start)
        # Neighbouring words, as in running speech.
        if rng.random() < 0.35:
            other = clips[int(rng.integers(len(clips)))].astype(np.float64) / 32768.0
            gap = int(rng.uniform(0.03, 0.2) * wd.SR)
            place(speech, other * rng.uniform(0.5, 1.2), start - gap - len(other))
        if rng.random() < 0.35:
            other = clips[int(rng.integers(len(clips)))].astype(np.float64) / 32768.0
            gap = int(rng.uniform(0.03, 0.2) * wd.SR)
            place(speech, other * rng.uniform(0.5, 1.2), start + len(x) + gap)
        if rng.random() < 0.3:
            speech = wd.reverb(rng, speech)[:n]
        level = wd.active_rms(speech)
    else:
        level = 0.05
    total = speech.copy()
    kind = None
    if clip is None or rng.random() < 0.85:
        kind = wd.TRAIN_NOISES[int(rng.integers(len(wd.TRAIN_NOISES)))]
        snr = rng.uniform(0.0, 30.0) if clip is not None else 0.0
        total += wd.noise(rng, kind, n, noise_pool) * level / 10.0 ** (snr / 20.0)
    if clip is None and rng.random() < 0.25:
        total[:] = 0.0  # digital silence
        peak = -20.0
    else:
        peak = rng.uniform(-35.0, -1.0)
    if not total.any():
        pcm = np.zeros(n, dtype=np.int16)
    else:
        pcm = wd.to_pcm(total, peak)
        if rng.random() < 0.5:
            pcm = np.clip(pcm.astype(np.int32) + rng.integers(-2, 3, n), -32768, 32767)
    return mel.scaled(mel.melspectrogram(pcm.astype(np.float64)))


_SHARED = {}


def _feature_block(job):
    """Worker: the windows of clips [a, b) (or `background` windows without a word), from
    the block's own seed so that the result does not depend on the number of workers."""
    seed, a, b, per_clip, background = job
    clips, pool = _SHARED["clips"], _SHARED["pool"]
    rng = np.random.default_rng(seed)
    xs = []
    for i in range(a, b):
        for _ in range(per_clip):
            xs.append(make_example(rng, clips[i], clips, pool).astype(np.float16))
    for _ in range(background):
        xs.append(make_example(rng, None, clips, pool).astype(np.float16))
    return np.stack(xs) if xs else np.zeros((0, sf.WINDOW_FRAMES, mel.N_MELS), np.float16)


def build_features(rng, clips, labels, per_clip, background, workers=2, block=1000):
    """(x [M, 76, 32] float16, y [M], clip index of each window, -1 for no word)."""
    order = rng.permutation(len(clips))[:2000]
    _SHARED["clips"] = clips
    _SHARED["pool"] = [clips[i].astype(np.float64) / 32768.0 for i in order]
    jobs = [(int(rng.integers(1 << 31)), a, min(a + block, len(clips)), per_clip, 0)
            for a in range(0, len(clips), block)]
    for a in range(0, background, block):
        jobs.append((int(rng.integers(1 << 31)), 0, 0, 0, min(block, background - a)))
    xs = []
    t0 = time.time()
    with _pool(workers) as pool:
        for k, x in enumerate(pool.imap(_feature_block, jobs)):
            xs.append(x)
            if (k + 1) % 10 == 0:
                log(f"  features: {k + 1}/{len(jobs)} blocks, {time.time() - t0:.0f} s")
    _SHARED.clear()
    clip_of = np.concatenate([np.repeat(np.arange(len(clips)), per_clip),
                              np.full(background, -1)])
    y = np.concatenate([np.repeat(np.asarray(labels, dtype=np.int64), per_clip),
                        np.zeros(background, dtype=np.int64)])
    return np.concatenate(xs), y, clip_of


def train(x, y, classes, tr, val, epochs, seed, batch=128):
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    model = wakenet.WordClassifier(classes)
    opt = torch.optim.AdamW(model.parameters(), lr=3e-3, weight_decay=1e-3)
    steps = max(1, epochs * (len(tr) // batch))
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=3e-3, total_steps=steps)
    lossf = torch.nn.CrossEntropyLoss(label_smoothing=0.05)
    xt = torch.from_numpy(x)
    yt = torch.from_numpy(y)
    history = []
    for epoch in range(epochs):
        model.train()
        perm = rng.permutation(tr)
        t0 = time.time()
        total, correct, seen = 0.0, 0, 0
        for s in range(len(tr) // batch):
            idx = torch.from_numpy(perm[s * batch:(s + 1) * batch])
            xb = xt[idx].float().unsqueeze(-1)
            out = model(xb)
            loss = lossf(out, yt[idx])
            opt.zero_grad()
            loss.backward()
            opt.step()
            sched.step()
            total += float(loss) * len(idx)
            correct += int((out.argmax(1) == yt[idx]).sum())
            seen += len(idx)
        acc = evaluate(model, xt, yt, val)
        history.append({"epoch": epoch + 1, "loss": total / seen, "train_acc": correct / seen,
                        "val_acc": acc, "seconds": time.time() - t0})
        log(f"  epoch {epoch + 1}/{epochs}: loss {total / seen:.3f}, train acc "
            f"{correct / seen:.3f}, val acc {acc:.3f}, {time.time() - t0:.0f} s "
            f"({seen / (time.time() - t0):.0f} examples/s)")
    return model, history


def evaluate(model, xt, yt, idx, batch=512):
    model.eval()
    correct = 0
    with torch.no_grad():
        for s in range(0, len(idx), batch):
            i = torch.from_numpy(idx[s:s + batch])
            correct += int((model(xt[i].float().unsqueeze(-1)).argmax(1) == yt[i]).sum())
    return correct / max(1, len(idx))


def features(data, seed, words, espeak_runs, flite_runs, per_clip, workers=2,
             voices=EMBEDDING_FLITE_VOICES, festival_runs=0):
    """The training examples, synthesized and cached under data/embedding on first use:
    (x [M, 76, 32] float16, y [M], run of each window (-1 without a word), vocabulary,
    synthesis seconds, feature seconds)."""
    folder = os.path.join(data, "embedding")
    os.makedirs(folder, exist_ok=True)
    key = (f"v2-s{seed}-w{words}-e{espeak_runs}-f{flite_runs}-p{per_clip}"
           + wd.flite_tag(voices, EMBEDDING_FLITE_VOICES)
           + (f"-fest{festival_runs}" if festival_runs else ""))
    path = os.path.join(folder, f"features-{key}.npz")
    if os.path.exists(path):
        log(f"features from {path}")
        d = np.load(path)
        return (d["x"], d["y"], d["run"], d["vocab"].tolist(), float(d["synth_s"]),
                float(d["feat_s"]))
    rng = np.random.default_rng(seed)
    vocab = pick_vocabulary(rng, words)
    log(f"synthesizing {len(vocab)} words")
    t0 = time.time()
    triples = synthesize_words(rng, vocab, espeak_runs, flite_runs, workers, voices,
                               festival_runs)
    synth_s = time.time() - t0
    labels = [label for label, _, _ in triples]
    clips = [clip for _, clip, _ in triples]
    runs = np.array([run for _, _, run in triples], dtype=np.int64)
    del triples
    log(f"{len(clips)} clips in {synth_s:.0f} s; building features")
    t0 = time.time()
    x, y, clip_of = build_features(rng, clips, labels, per_clip, len(clips) // 10, workers)
    run_of = np.where(clip_of >= 0, runs[np.maximum(clip_of, 0)], -1)
    feat_s = time.time() - t0
    np.savez(path + ".tmp.npz", x=x, y=y, run=run_of, vocab=np.array(vocab), synth_s=synth_s,
             feat_s=feat_s)
    os.replace(path + ".tmp.npz", path)
    log(f"{len(x)} examples in {feat_s:.0f} s -> {path}")
    return x, y, run_of, vocab, synth_s, feat_s


def main():
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = argparse.ArgumentParser(description="Trains the embedding model as a word classifier.")
    p.add_argument("--data", default=os.path.join(here, "data"))
    p.add_argument("--out", default=os.path.join(here, "models", "embedding_model.onnx"))
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--words", type=int, default=1000)
    p.add_argument("--espeak-runs", type=int, default=60)
    p.add_argument("--flite-runs", type=int, default=16)
    p.add_argument("--per-clip", type=int, default=2)
    p.add_argument("--epochs", type=int, default=12)
    p.add_argument("--threads", type=int, default=2, help="threads and worker processes")
    p.add_argument("--flite-voices", default=",".join(EMBEDDING_FLITE_VOICES),
                   help="flite's voices, comma-separated, taking turns over the flite runs "
                        "(default %(default)s)")
    p.add_argument("--festival-runs", type=int, default=0,
                   help="more runs over the vocabulary by festival's non-English voices, "
                        "taking turns (default 0; needs scripts/install_training_deps.sh)")
    args = p.parse_args()
    try:
        voices = wd.parse_flite_voices(args.flite_voices)
    except ValueError as e:
        p.error(str(e))
    if args.festival_runs < 0:
        p.error(f"--festival-runs must be 0 or more, not {args.festival_runs}")
    if args.festival_runs:
        problem = wd.festival_training_voices_problem()
        if problem:
            p.error(f"--festival-runs: {problem}")
    t_start = time.time()
    x, y, run_of, vocab, synth_s, feat_s = features(args.data, args.seed, args.words,
                                                    args.espeak_runs, args.flite_runs,
                                                    args.per_clip, args.threads, voices,
                                                    args.festival_runs)
    # Threads are set after the worker processes are done, so that none is forked with them.
    torch.set_num_threads(args.threads)
    # festival's runs come last and are all trained on; the held-out runs stay those of
    # espeak-ng and flite.
    held = wakefit.validation_runs(args.espeak_runs + args.flite_runs, args.espeak_runs)
    tr, val = wakefit.split_windows(run_of, held, args.seed)
    log(f"{len(tr)} training and {len(val)} validation windows (held-out voice runs {held})")
    t0 = time.time()
    model, history = train(x, y, len(vocab) + 1, tr, val, args.epochs, args.seed)
    train_s = time.time() - t0
    wakenet.export_embedder(model.embedder, args.out)
    example = torch.ones(1, wakenet.WINDOW_FRAMES, wakenet.MEL_BINS, 1)
    entry = {
        "file": os.path.basename(args.out),
        "sha256": wakenet.sha256(args.out),
        "bytes": os.path.getsize(args.out),
        "parameters": wakenet.count_params(model.embedder),
        "macs": wakenet.count_macs(model.embedder, example),
        "seed": args.seed,
        "command": "tools/train_embedding.py " + " ".join(sys.argv[1:]),
        "settings": {"words": args.words, "espeak_runs": args.espeak_runs,
                     "flite_runs": args.flite_runs, "examples_per_clip": args.per_clip,
                     "examples": int(len(x)), "epochs": args.epochs, "threads": args.threads,
                     "voices": wd.describe_voices(voices),
                     "festival_runs": args.festival_runs,
                     "noises": wd.TRAIN_NOISES},
        "metrics": {"word_accuracy_validation": history[-1]["val_acc"],
                    "validation": "every window of voice runs " + str(held) +
                                  " (not trained on) and 8% of the no-word windows",
                    "classes": len(vocab) + 1},
        "seconds": {"synthesis": round(synth_s), "features": round(feat_s),
                    "training": round(train_s), "total_this_run": round(time.time() - t_start)},
    }
    manifest = os.path.join(os.path.dirname(os.path.abspath(args.out)), "MANIFEST.json")
    if os.path.abspath(os.path.dirname(args.out)) == os.path.join(here, "models"):
        wakenet.update_manifest(manifest, "embedding_model", entry)
    log(json.dumps(entry, indent=2))


if __name__ == "__main__":
    main()
