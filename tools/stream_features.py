"""The features the detector computes from a stream, reproduced for training.

The detector runs the mel model once per 1280-sample chunk: the first chunk after a reset
yields frames 0 to 4 of the stream, each later chunk the next 8 (frames start every 160
samples). Frames are stored as v / 10 + 2 behind 76 frames of 1.0 that a reset leaves, and
after chunk c the embedding model sees the newest 76 stored frames. The wake model then sees
the newest 16 embeddings, the first embedding after a reset standing in for all earlier ones.

Only numpy is needed here, so that the build can check these windows against the library.
"""
import numpy as np

import melspec_reference as mel

CHUNK = 1280  # samples a chunk (80 ms)
WINDOW_FRAMES = 76  # frames the embedding model sees
RESET_VALUE = 1.0  # stored value of every frame a reset leaves in the history
FIRST_CHUNK_FRAMES = 5  # frames the 1280-sample first window yields
FRAMES_PER_CHUNK = 8  # frames each later 1760-sample window yields
CONTEXT = 16  # embeddings a wake model sees


def chunk_count(n_samples):
    return n_samples // CHUNK


def stored_frames(pcm, bank=None):
    """The scaled frames the library appends for the complete chunks of pcm, in order:
    [5 + 8 (chunks - 1), 32] float32 (empty without a complete chunk)."""
    chunks = chunk_count(len(pcm))
    if chunks == 0:
        return np.zeros((0, mel.N_MELS), dtype=np.float32)
    produced = FIRST_CHUNK_FRAMES + FRAMES_PER_CHUNK * (chunks - 1)
    # The frames a chunk yields all end inside the samples written so far, so the stream's
    # frames over the complete chunks are exactly what the chunk windows give.
    used = (produced - 1) * mel.HOP_LENGTH + mel.FRAME_LENGTH
    db = mel.melspectrogram(np.asarray(pcm[:used], dtype=np.float64), bank)
    assert db.shape[0] == produced
    return mel.scaled(db)


def history(frames):
    """The mel history after a reset and these frames: 76 rows of 1.0, then the frames."""
    pad = np.full((WINDOW_FRAMES, mel.N_MELS), RESET_VALUE, dtype=np.float32)
    return np.concatenate([pad, frames.astype(np.float32)], axis=0)


def embedding_windows(pcm, bank=None):
    """[chunks, 76, 32] float32: what the embedding model is fed after each complete chunk of
    a stream that starts with a reset."""
    hist = history(stored_frames(pcm, bank))
    chunks = chunk_count(len(pcm))
    ends = WINDOW_FRAMES + FIRST_CHUNK_FRAMES + FRAMES_PER_CHUNK * np.arange(chunks)
    idx = ends[:, None] - WINDOW_FRAMES + np.arange(WINDOW_FRAMES)[None, :]
    return hist[idx]


def wake_contexts(embeddings, context=CONTEXT):
    """[chunks, context, D]: the rows a wake model sees after each chunk, oldest first; before
    the context is full, the stream's first embedding fills the missing rows."""
    e = np.asarray(embeddings)
    idx = np.arange(len(e))[:, None] - (context - 1) + np.arange(context)[None, :]
    return e[np.maximum(idx, 0)]


def chunk_end_seconds(c):
    """Stream time at which chunk c (from 0) is complete."""
    return (np.asarray(c) + 1) * CHUNK / mel.SAMPLE_RATE


# Chunk end times relative to the phrase end (seconds) at which a wake model should fire...
FIRE_FROM, FIRE_TO = -0.08, 0.24
# ...and the neighbourhood around them where either answer is accepted. The score must fall
# again soon after: the latch may fire again 0.64 s after a detection (cooldown 8 chunks),
# and one spoken phrase should give one detection.
EITHER_FROM, EITHER_TO = -0.25, 0.40


def fire_labels(chunks, phrase_end=None):
    """Training targets for the chunks of a stream: 1 fire, 0 stay quiet, -1 either.
    phrase_end is the sample at which the wake phrase ends, or None for a stream without."""
    y = np.zeros(chunks, dtype=np.int8)
    if phrase_end is None or phrase_end < 0:
        return y
    rel = chunk_end_seconds(np.arange(chunks)) - phrase_end / mel.SAMPLE_RATE
    eps = 1e-6  # window edges are inclusive, whatever the rounding of the times
    y[(rel > EITHER_FROM + eps) & (rel <= EITHER_TO + eps)] = -1
    y[(rel >= FIRE_FROM - eps) & (rel <= FIRE_TO + eps)] = 1
    return y


def main(argv):
    """stream_features.py PCM OUT_DIR: writes what the detector should feed its models for the
    16-bit little-endian stream in PCM: windows.f32 ([chunks, 76, 32] embedding inputs) and
    context_index.i32 ([chunks, 16]: the chunk whose embedding each wake-input row holds)."""
    import os
    pcm = np.fromfile(argv[1], dtype="<i2")
    os.makedirs(argv[2], exist_ok=True)
    embedding_windows(pcm).astype("<f4").tofile(os.path.join(argv[2], "windows.f32"))
    chunks = np.arange(chunk_count(len(pcm))).reshape(-1, 1)
    wake_contexts(chunks)[:, :, 0].astype("<i4").tofile(os.path.join(argv[2], "context_index.i32"))


if __name__ == "__main__":
    import sys
    main(sys.argv)
