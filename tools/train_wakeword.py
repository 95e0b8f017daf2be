#!/usr/bin/python3
"""Trains a wake model for a phrase on the fixed embedding model, then evaluates it through
the built library on held-out voices and noises.

    train_wakeword.py --phrase "hey computer" --out computer.onnx

Steps, each cached under --data so that a second run starts where the first stopped:
  1. synthetic training streams, in two versions (plain and tone-balanced): the phrase by the
     training voices in running speech and noise; phrases that sound close to it; other
     speech and noise (shared by all phrases);
  2. the detector's features for every chunk of every stream (stream_features.py), and
     their embeddings by the embedding model read from its ONNX file;
  3. small networks over the 16 newest embeddings, in two groups of --members: one trained on
     the streams as synthesized, one on a second version of them where most streams' speech
     has a random tone balance (SET_KINDS). Each network starts from its own seed and trains
     on all streams of its set but its own random tenth, to fire from the phrase's end to
     0.24 s after it and to stay quiet elsewhere (hard negatives mined and weighed up in two
     more rounds); their mean probability is exported to ONNX (opset 13) as the wake model;
  4. recall and false accepts per hour on held-out audio, streamed through the library.
--flite-voices chooses flite's training voices (the default includes slt, the one woman's
voice); --quiet-share makes a share of the training streams quiet (peaks at -40 to -30 dBFS),
for hosts whose speech arrives quiet; --festival-share has festival's voices for other
languages speak a share of the training renditions; merge_wake_models.py joins the models of
several runs into one.
"""
import argparse
import json
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate as ev  # noqa: E402
import melspec_reference as mel  # noqa: E402
import soundalike  # noqa: E402
import stream_features as sf  # noqa: E402
import wakedata as wd  # noqa: E402
import wakeset  # noqa: E402
import wakefit  # noqa: E402
import wakenet  # noqa: E402

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SR = mel.SAMPLE_RATE


def log(*args):
    print(*args, flush=True)


def embed_set(embedder, path, cache):
    """Embeddings of every chunk of every stream of a set: (list of [chunks, 96], spans)."""
    if os.path.exists(cache):
        d = np.load(cache)
        e, offsets, spans = d["e"], d["offsets"], d["spans"]
        return [e[offsets[i]:offsets[i + 1]] for i in range(len(offsets) - 1)], spans
    streams, spans = wakeset.load_set(path)
    bank = mel.filterbank()
    out = []
    t0 = time.time()
    group = []

    def flush():
        if not group:
            return
        emb = wakenet.embed_windows(embedder, np.concatenate(group))
        at = 0
        for w in group:
            out.append(emb[at:at + len(w)])
            at += len(w)
        group.clear()

    for i, s in enumerate(streams):
        group.append(sf.embedding_windows(s, bank))
        if sum(len(g) for g in group) > 4000:
            flush()
        if (i + 1) % 500 == 0:
            log(f"  embedded {i + 1}/{len(streams)} streams ({time.time() - t0:.0f} s)")
    flush()
    lengths = np.array([len(e) for e in out])
    offsets = np.concatenate([[0], np.cumsum(lengths)])
    np.savez(cache, e=np.concatenate(out).astype(np.float32), offsets=offsets, spans=spans)
    return out, spans


class Examples(wakefit.Examples):
    def batch(self, which):
        return torch.from_numpy(self.rows(which))


def mask_rows(x, share, fill):
    """[B, 16, 96] training contexts with each row (one embedding) replaced by fill, the
    training set's mean embedding, with probability share: a network that cannot count on
    every row must find the phrase in the rest of the context, and leans less on the few rows
    where a close phrase and the wake phrase sound alike."""
    drop = torch.rand(x.shape[0], x.shape[1]) < share
    return torch.where(drop.unsqueeze(-1), fill, x)


def input_statistics(ex, use, context_norm, sample=20000, seed=0):
    """Per-value mean and standard deviation (plus 1e-3) the network's input is scaled by:
    of the embedding table, or with context_norm of normalised contexts drawn from the
    training examples (no draw without it, so such runs train as before)."""
    if not context_norm:
        return ex.table.mean(axis=0), ex.table.std(axis=0) + 1e-3
    which = np.random.default_rng(seed).choice(use, min(sample, len(use)), replace=False)
    x = wakenet.normalise_context(ex.batch(np.sort(which))).reshape(-1, ex.table.shape[1])
    return x.mean(0).numpy(), x.std(0).numpy() + 1e-3


def train(ex, tr_mask, epochs, seed, hidden, mining_rounds=2, log_every=5, row_mask=0.0,
          context_norm=False):
    """Trains the wake network; then, for each mining round, weighs up the training negatives
    it still scores highest and trains on for a third of the epochs. row_mask: share of the
    context rows masked in each training batch (mask_rows; 0 masks none). context_norm: the
    network normalises each context on its own (wakenet.normalise_context)."""
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    use = np.nonzero(tr_mask & (ex.y >= 0))[0]
    y = torch.from_numpy(ex.y.astype(np.float32))
    weight = np.ones(len(ex.y), dtype=np.float32)
    mean, std = input_statistics(ex, use, context_norm, seed=seed + 2000)
    net = wakenet.WakeNet(mean, std, hidden=hidden, context_norm=context_norm)
    fill = torch.from_numpy(ex.table.mean(axis=0))  # the mean embedding, for mask_rows
    opt = torch.optim.AdamW(net.parameters(), lr=1e-3, weight_decay=1e-2)
    n_pos = int((ex.y[use] == 1).sum())
    n_neg = len(use) - n_pos
    # Positives are few, negatives many: weigh the positives up so that the classes carry
    # comparable weight, leaving the negatives somewhat more so that false accepts stay rare.
    pos_weight = torch.tensor(0.5 * n_neg / max(1, n_pos))
    lossf = torch.nn.BCEWithLogitsLoss(pos_weight=pos_weight, reduction="none")
    batch = 1024
    log(f"  {n_pos} positive and {n_neg} negative training contexts")
    schedule = [epochs] + [max(1, epochs // 3)] * mining_rounds
    for round_, round_epochs in enumerate(schedule):
        if round_ > 0:
            neg = use[ex.y[use] == 0]
            s = scores_of(net, ex, neg)
            hard = wakefit.weigh_up_hard(weight, neg, s)
            log(f"  mining round {round_}: {hard} negatives scored above 0.05, weighed up")
        w = torch.from_numpy(weight)
        for epoch in range(round_epochs):
            net.train()
            perm = rng.permutation(use)
            total = 0.0
            for s0 in range(0, len(perm), batch):
                which = perm[s0:s0 + batch]
                x = ex.batch(which)
                if row_mask > 0:  # without it no random draw, so such runs train as before
                    x = mask_rows(x, row_mask, fill)
                loss = (lossf(net.logits(x), y[which]) * w[which]).mean()
                opt.zero_grad()
                loss.backward()
                opt.step()
                total += float(loss) * len(which)
            if (epoch + 1) % log_every == 0 or epoch + 1 == round_epochs:
                log(f"  round {round_} epoch {epoch + 1}/{round_epochs}: loss "
                    f"{total / len(perm):.4f}")
        net.eval()
    return net


def scores_of(net, ex, which):
    out = []
    with torch.no_grad():
        for s in range(0, len(which), 4096):
            out.append(net(ex.batch(which[s:s + 4096])).squeeze(1).numpy())
    return np.concatenate(out) if out else np.zeros(0)


def validate(net, ex, spans, val_streams, n_phrase_streams, threshold=0.5):
    """Recall and false accepts on held-back training-distribution streams (latch replayed
    on scores computed in torch); false accepts split into confusable-phrase streams and
    other speech and noise."""
    hits = n = stray = 0
    fa = {"confusable": 0, "other": 0}
    hours = {"confusable": 0.0, "other": 0.0}
    for k in val_streams:
        which = np.nonzero(ex.stream == k)[0]
        fired = ev.latch(scores_of(net, ex, which), threshold)
        if spans[k][0] >= 0:
            h, p, s = ev.count([fired], [tuple(spans[k])])
            hits, n, stray = hits + h, n + p, stray + s
        else:
            group = "confusable" if k < n_phrase_streams else "other"
            fa[group] += len(fired)
            hours[group] += len(which) * sf.CHUNK / SR / 3600.0
    return {"recall": hits / max(1, n), "positives": n, "stray": stray,
            "false_accepts": fa, "negative_hours": hours}


# The wake model's networks come in two groups, each trained on its own training set: one as
# synthesized, and one where a share of the streams' speech has a random tone balance (lows
# and highs raised or lowered; wakedata.tilt). The second group hears voices whose energy sits
# in their fundamental, such as many women's voices, much better in noise, but fires more
# often on other speech; the mean of both groups keeps most of each one's strength.
SET_KINDS = (("plain", "b", 0.0), ("tone-balanced", "bt", wakeset.TILT_SHARE))


def training_sets(data, phrase, seed, positives, confusable_streams, negative_minutes,
                  mark="b", tilt=0.0, workers=2, alikes=None, alike_streams=0):
    """Builds (once) one kind of training streams: the phrase's positives and confusables,
    streams of sound-alike phrases when `alikes` (count, phrases) names some, and the other
    speech and noise that every phrase shares. Returns the set paths, phrase streams first."""
    folder = os.path.join(data, "wake")
    slug = wakeset.slug(phrase)
    pset = wakeset.set_path(folder, f"{slug}-{mark}-s{seed}-p{positives}-c{confusable_streams}",
                            "train")
    nset = wakeset.set_path(folder, f"negatives-{mark}-s{seed}-m{int(negative_minutes)}", "train")
    wakeset.ensure(pset, wakeset.build_phrase_set_parallel, phrase, "train", seed, positives,
                   confusable_streams, workers, tilt=tilt)
    paths = [pset]
    if alikes and alike_streams > 0:
        count, phrases = alikes
        aset = wakeset.set_path(folder, f"{slug}-{mark}-s{seed}-a{count}-c{alike_streams}",
                                "train")
        # Its own seed, so that the other sets are drawn exactly as without it.
        wakeset.ensure(aset, wakeset.build_sound_alike_set, phrase, "train", seed + 700,
                       phrases, alike_streams, workers, tilt=tilt)
        paths.append(aset)
    wakeset.ensure(nset, wakeset.build_speech_negatives_parallel, "train", seed + 500,
                   negative_minutes, workers=workers, tilt=tilt)
    return paths + [nset]


def train_group(embs, spans, args, label):
    """args.members networks on one training set, from seeds seed, seed+1, ...: each leaves
    out the validation streams and its own random tenth. Returns (networks, examples,
    validation streams)."""
    ex = Examples(embs, spans)
    rng = np.random.default_rng(args.seed)
    val_streams = np.nonzero(rng.random(len(embs)) < 0.1)[0]
    members = []
    for m in range(args.members):
        seed = args.seed + m
        log(f"{label} network {m + 1} of {args.members} (seed {seed})")
        # Its own seed for the left-out tenth, apart from the one that drew validation.
        own = wakefit.member_streams(len(embs), val_streams, seed + 1000)
        members.append(train(ex, np.isin(ex.stream, own), args.epochs, seed, args.hidden,
                             mining_rounds=args.mining_rounds, row_mask=args.row_mask,
                             context_norm=args.context_norm))
    return members, ex, val_streams


def embedding_for(embedding, frontend, evaluating):
    """The embedding model to train on: --embedding, else the front end's own. Returns
    (path, None), or (None, reason) when the file is missing or, with an evaluation to run,
    is not the front end's embedding_model.onnx: the library would then feed the wake model
    other embeddings than those it was trained on, and the figures would be meaningless."""
    own = os.path.join(frontend, "embedding_model.onnx")
    path = embedding or own
    if not os.path.isfile(path):
        return None, f"no embedding model at {path}"
    if (evaluating and embedding and os.path.isfile(own)
            and wakenet.sha256(embedding) != wakenet.sha256(own)):
        return None, (f"--embedding {embedding} is not the embedding model of --frontend "
                      f"({own}), which the evaluation runs; pass a --frontend folder holding "
                      "it, or --no-eval")
    return path, None


def main():
    p = argparse.ArgumentParser(description="Trains a wake model on the fixed embedding model.")
    p.add_argument("--phrase", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--embedding",
                   help="embedding model to train on (default: the one in --frontend)")
    p.add_argument("--data", default=os.path.join(HERE, "data"))
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--positives", type=int, default=2000, help="training renditions")
    p.add_argument("--confusable-streams", type=int, default=1000)
    p.add_argument("--negative-minutes", type=float, default=120.0)
    p.add_argument("--sound-alikes", type=int, default=0, metavar="N",
                   help="also train on the phrase with one word swapped for one of the N words "
                        "that sound nearest to it (by espeak-ng phonemes; words of four or "
                        "more phonemes; default 0: none)")
    p.add_argument("--sound-alike-streams", type=int, default=500,
                   help="streams of up to four such phrases in each training set (default "
                        "%(default)s)")
    p.add_argument("--epochs", type=int, default=10)
    p.add_argument("--hidden", type=int, default=64)
    p.add_argument("--mining-rounds", type=int, default=2,
                   help="rounds of hard-negative mining after the first training, each a third "
                        "of --epochs long")
    p.add_argument("--members", type=int, default=2,
                   help="networks on each of the two training sets (plain and tone-balanced), "
                        "from seeds seed, seed+1, ...; all of them are averaged")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--flite-voices", default=",".join(wd.FLITE_TRAIN_VOICES),
                   help="flite's training voices, comma-separated; a voice named twice is "
                        "drawn twice as often (default %(default)s)")
    p.add_argument("--quiet-share", type=float, default=0.0,
                   help="share of the training streams made quiet, peaking at -40 to -30 dBFS "
                        "instead of -30 to -2 (default 0): more recall on quiet speech, "
                        "measured with more false accepts")
    p.add_argument("--festival-share", type=float, default=0.0, metavar="P",
                   help="share of the training renditions spoken by festival's voices for "
                        "other languages, reading English with an accent (default 0; its "
                        "English voices are never trained on)")
    p.add_argument("--row-mask", type=float, default=0.0, metavar="P",
                   help="share of the 16 context rows replaced by the mean embedding in each "
                        "training batch (default 0: none)")
    p.add_argument("--context-norm", action="store_true",
                   help="each network first normalises its 16 x 96 context on its own (rows "
                        "to unit length, then each value centred and scaled over the 16 "
                        "rows), so that it hears how the embedding moves, not where a voice "
                        "puts it")
    p.add_argument("--hold", type=int, default=1, metavar="K",
                   help="score the lowest ensemble mean over K consecutive chunks (default 1; "
                        "the default model holds over 3); a detection comes up to K - 1 "
                        "chunks later")
    p.add_argument("--logit-offset", type=float, default=0.0, metavar="B",
                   help="add B to the logit of the (held) score (default 0; the default "
                        "model adds 0.30 to a hold of 3)")
    p.add_argument("--eval-positives", type=int, default=200)
    p.add_argument("--eval-hours", type=float, default=0.5)
    p.add_argument("--eval-seed", type=int, default=7)
    p.add_argument("--no-eval", action="store_true")
    p.add_argument("--det", help="PNG of the detection-error trade-off curve")
    p.add_argument("--lib", default=ev.default_lib())
    p.add_argument("--frontend", default=os.path.join(HERE, "models"))
    args = p.parse_args()
    torch.set_num_threads(args.threads)
    # Read by the synthesis, in this process and in the workers it forks.
    try:
        wd.FLITE_TRAIN_VOICES = wd.parse_flite_voices(args.flite_voices)
    except ValueError as e:
        p.error(str(e))
    if not 0.0 <= args.quiet_share <= 1.0:
        p.error(f"--quiet-share must be between 0 and 1, not {args.quiet_share}")
    if not 0.0 <= args.row_mask < 1.0:
        p.error(f"--row-mask must be at least 0 and below 1, not {args.row_mask}")
    if args.sound_alikes < 0 or args.sound_alike_streams < 0:
        p.error("--sound-alikes and --sound-alike-streams must not be negative")
    if args.hold < 1:
        p.error(f"--hold must be at least 1, not {args.hold}")
    if not 0.0 <= args.festival_share <= 1.0:
        p.error(f"--festival-share must be between 0 and 1, not {args.festival_share}")
    if args.festival_share > 0.0:
        problem = wd.festival_training_voices_problem()
        if problem:
            p.error(f"--festival-share: {problem}")
    wakeset.QUIET_SHARE = args.quiet_share
    wd.FESTIVAL_TRAIN_SHARE = args.festival_share
    args.embedding, problem = embedding_for(args.embedding, args.frontend, not args.no_eval)
    if problem:
        p.error(problem)
    t_start = time.time()
    timings = {}

    t0 = time.time()
    log(f"training audio for \"{args.phrase}\"")
    alikes = None
    if args.sound_alikes > 0 and args.sound_alike_streams > 0:
        phrases = soundalike.sound_alikes(args.phrase, wd.word_list(), args.sound_alikes)
        log(f"{len(phrases)} sound-alike phrases, nearest first: {', '.join(phrases[:8])}")
        alikes = (args.sound_alikes, phrases) if phrases else None
    sets = [training_sets(args.data, args.phrase, args.seed, args.positives,
                          args.confusable_streams, args.negative_minutes, mark, tilt,
                          args.threads, alikes, args.sound_alike_streams)
            for _, mark, tilt in SET_KINDS]
    timings["synthesis"] = round(time.time() - t0)

    t0 = time.time()
    embedder = wakenet.OnnxEmbedder(args.embedding)
    tag = wakenet.sha256(args.embedding)[:10]
    log("embedding the training streams")
    embedded = []
    for paths in sets:
        parts = [embed_set(embedder, path, path.replace(".npz", f".emb-{tag}.npz"))
                 for path in paths]
        # Every set before the last (other speech and noise) holds phrase streams.
        n_phrase = sum(len(e) for e, _ in parts[:-1])
        embedded.append(([e for es, _ in parts for e in es],
                         np.concatenate([sp for _, sp in parts]), n_phrase))
    timings["features"] = round(time.time() - t0)

    t0 = time.time()
    log("training")
    members, held_back = [], []
    for (kind, _, _), (embs, spans, n_phrase) in zip(SET_KINDS, embedded):
        group, ex, val_streams = train_group(embs, spans, args, kind)
        members += group
        held_back.append((kind, ex, spans, val_streams, n_phrase))
    net = wakenet.WakeEnsemble(members, args.hold, args.logit_offset)
    timings["training"] = round(time.time() - t0)
    val = {}
    for kind, ex, spans, val_streams, n_phrase in held_back:
        v = val[kind] = validate(net, ex, spans, val_streams, n_phrase)
        log(f"validation on held-back {kind} training streams: recall {v['recall'] * 100:.1f}% "
            f"of {v['positives']}; false accepts {v['false_accepts']['confusable']} in "
            f"{v['negative_hours']['confusable']:.2f} h of confusable phrases, "
            f"{v['false_accepts']['other']} in {v['negative_hours']['other']:.2f} h of other "
            f"speech and noise")
    del held_back, embedded
    torch.save(net.state_dict(), os.path.join(args.data, "wake", f"{wakeset.slug(args.phrase)}.pt"))

    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    wakenet.export_wake(net, args.out)
    log(f"wrote {args.out}")

    result = None
    if not args.no_eval:
        t0 = time.time()
        log("held-out evaluation through the library")
        pos, pos_spans, neg, groups, (pos_notes, neg_notes) = ev.eval_sets(
            args.data, args.phrase, args.eval_seed, args.eval_positives, args.eval_hours,
            log=log)
        result = ev.evaluate(args.lib, args.frontend, args.out, pos, pos_spans, neg,
                             neg_groups=groups, pos_notes=pos_notes, neg_notes=neg_notes,
                             log=log)
        ev.report(result, log=log)
        if args.det:
            ev.plot_det(result["curve"], args.det,
                        f'"{args.phrase}": {result["positives"]} held-out phrases, '
                        f'{result["negative_hours"]:.1f} h negative audio')
            log(f"DET curve: {args.det}")
        timings["evaluation"] = round(time.time() - t0)
    timings["total"] = round(time.time() - t_start)
    log(f"seconds: {json.dumps(timings)}")

    example = torch.zeros(1, sf.CONTEXT, wakenet.EMBEDDING_SIZE)
    entry = {
        "file": os.path.basename(args.out),
        "phrase": args.phrase,
        "sha256": wakenet.sha256(args.out),
        "bytes": os.path.getsize(args.out),
        "parameters": wakenet.count_params(net),
        "macs": wakenet.count_macs(net, example),
        "seed": args.seed,
        "embedding_sha256": wakenet.sha256(args.embedding),
        "command": "tools/train_wakeword.py " + " ".join(
            f'"{a}"' if " " in a else a for a in sys.argv[1:]),
        "settings": {"positives": args.positives, "confusable_streams": args.confusable_streams,
                     "sound_alikes": args.sound_alikes,
                     "sound_alike_streams": args.sound_alike_streams if alikes else 0,
                     "negative_minutes": args.negative_minutes, "epochs": args.epochs,
                     "hidden": args.hidden, "mining_rounds": args.mining_rounds,
                     "members_per_set": args.members,
                     "hold": args.hold, "logit_offset": args.logit_offset,
                     "row_mask": args.row_mask,
                     "context_norm": args.context_norm,
                     "networks": len(members),
                     "sets": {kind: {"tone_balance_share": tilt} for kind, _, tilt in SET_KINDS},
                     "quiet_share": args.quiet_share,
                     "quiet_peak_dbfs": list(wakeset.QUIET_PEAK_DB),
                     "festival_share": args.festival_share,
                     "threads": args.threads,
                     "fire_from_end_s": [sf.FIRE_FROM, sf.FIRE_TO],
                     "voices": wd.describe_voices(wd.FLITE_TRAIN_VOICES, args.festival_share),
                     "set_version": wakeset.SET_VERSION},
        "validation": val,
        "seconds": timings,
    }
    if result is not None:
        entry["evaluation"] = {k: v for k, v in result.items() if k != "curve"}
        entry["evaluation"]["seed"] = args.eval_seed  # the held-out sets depend on it
    if os.path.abspath(os.path.dirname(os.path.abspath(args.out))) == os.path.join(HERE, "models"):
        wakenet.update_manifest(os.path.join(HERE, "models", "MANIFEST.json"),
                                os.path.splitext(os.path.basename(args.out))[0], entry)
    return 0


if __name__ == "__main__":
    sys.exit(main())
