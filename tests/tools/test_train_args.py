"""train_wakeword's choice of embedding model: the wake model must be trained on the
embeddings the library will compute, so training on one embedding model and evaluating
through a front end with another must be refused rather than print figures that mean
nothing. Needs the training tools' packages (python3-torch); skipped where they are not
installed."""
import os
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import train_wakeword as tw  # noqa: E402
import wakenet  # noqa: E402

E = wakenet.EMBEDDING_SIZE


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def test_the_embedding_comes_from_the_front_end_unless_named(tmp_path):
    front = str(tmp_path / "front")
    own = write(os.path.join(front, "embedding_model.onnx"), b"front end's model")
    same = write(str(tmp_path / "copy.onnx"), b"front end's model")
    other = write(str(tmp_path / "other.onnx"), b"another model")

    assert tw.embedding_for(None, front, True) == (own, None)
    assert tw.embedding_for(same, front, True) == (same, None)
    path, problem = tw.embedding_for(other, front, True)
    assert path is None and "--frontend" in problem
    # Without an evaluation nothing runs through the front end: any embedding may be used.
    assert tw.embedding_for(other, front, False) == (other, None)


def test_a_missing_embedding_model_is_named(tmp_path):
    path, problem = tw.embedding_for(None, str(tmp_path / "empty"), True)
    assert path is None and "embedding_model.onnx" in problem
    path, problem = tw.embedding_for(str(tmp_path / "nope.onnx"), str(tmp_path), False)
    assert path is None and "nope.onnx" in problem


@pytest.mark.parametrize("option, share", [
    ("--quiet-share", "-0.1"), ("--quiet-share", "1.5"), ("--quiet-share", "nan"),
    ("--row-mask", "-0.1"), ("--row-mask", "1"), ("--row-mask", "nan"),
    ("--festival-share", "-0.1"), ("--festival-share", "1.5"), ("--festival-share", "nan")])
def test_a_share_out_of_range_is_a_usage_error(monkeypatch, capsys, option, share):
    monkeypatch.setattr(sys, "argv", ["train_wakeword.py", "--phrase", "hey x", "--out",
                                      "x.onnx", option, share])
    with pytest.raises(SystemExit) as stop:
        tw.main()
    assert stop.value.code == 2 and option in capsys.readouterr().err


def test_row_masking_replaces_whole_rows_by_the_fill_at_about_its_share():
    torch.manual_seed(0)
    x = torch.randn(400, 16, 96) + 5.0  # no row of these equals the fill by chance
    fill = torch.linspace(-1.0, 1.0, 96)
    out = tw.mask_rows(x, 0.25, fill)
    filled = (out == fill).all(-1)
    kept = (out == x).all(-1)
    assert bool((filled | kept).all())  # every row is either untouched or wholly the fill
    assert abs(float(filled.float().mean()) - 0.25) < 0.02
    assert filled.any(1).float().mean() > 0.9  # nearly every context loses some rows
    assert bool((tw.mask_rows(x, 0.0, fill) == x).all())


def test_sound_alikes_add_a_set_and_leave_the_others_as_they_were(monkeypatch, tmp_path):
    built = []
    monkeypatch.setattr(tw.wakeset, "ensure",
                        lambda path, builder, *a, **k: built.append((path, builder, a)) or path)
    before = tw.training_sets(str(tmp_path), "hey x", 4, 100, 50, 10.0, "b", 0.0, 1)
    names_before = [p for p, _, _ in built]
    built.clear()
    after = tw.training_sets(str(tmp_path), "hey x", 4, 100, 50, 10.0, "b", 0.0, 1,
                             (3, ["hey a", "hey b"]), 20)
    assert len(before) == 2 and len(after) == 3
    assert [after[0], after[2]] == before and [built[0][0], built[2][0]] == names_before
    # The other sets get the same builders and seeds; the new one its own seed and phrases.
    assert [b[2][:3] for b in built[::2]] == [("hey x", "train", 4), ("train", 504, 10.0)]
    path, builder, a = built[1]
    assert builder is tw.wakeset.build_sound_alike_set and "-a3-c20" in path
    assert a[:5] == ("hey x", "train", 704, ["hey a", "hey b"], 20)
    built.clear()
    assert tw.training_sets(str(tmp_path), "hey x", 4, 100, 50, 10.0, "b", 0.0, 1,
                            (3, ["hey a"]), 0) == before


@pytest.mark.parametrize("option", ["--sound-alikes", "--sound-alike-streams"])
def test_a_negative_sound_alike_count_is_a_usage_error(monkeypatch, capsys, option):
    monkeypatch.setattr(sys, "argv", ["train_wakeword.py", "--phrase", "hey x", "--out",
                                      "x.onnx", option, "-1"])
    with pytest.raises(SystemExit) as stop:
        tw.main()
    assert stop.value.code == 2 and "--sound-alike" in capsys.readouterr().err


def test_missing_festival_voices_are_a_usage_error_naming_their_packages(monkeypatch, capsys):
    monkeypatch.setattr(tw.wd, "missing_festival_voices", lambda voices: ["czech_dita"])
    monkeypatch.setattr(sys, "argv", ["train_wakeword.py", "--phrase", "hey x", "--out",
                                      "x.onnx", "--festival-share", "0.2"])
    with pytest.raises(SystemExit) as stop:
        tw.main()
    err = capsys.readouterr().err
    assert stop.value.code == 2 and "czech_dita" in err and "festvox-czech-dita" in err


def test_a_normalising_network_is_scaled_by_statistics_of_normalised_contexts():
    # Embeddings far from zero and of unequal spread: statistics of the raw table would
    # leave the normalised contexts badly scaled (the first layer would see values near
    # -mean / std instead of about zero and one).
    rng = np.random.default_rng(4)
    embs = [(rng.normal(5.0, 1.0, (60, E)) * rng.uniform(0.5, 3.0, E)).astype(np.float32)
            for _ in range(6)]
    spans = np.array([[-1, -1]] * 6)
    ex = tw.Examples(embs, spans)
    use = np.arange(len(ex.y))
    mean, std = tw.input_statistics(ex, use, context_norm=True)
    x = wakenet.normalise_context(ex.batch(use)).reshape(-1, E).numpy()
    z = (x - mean) / std
    np.testing.assert_allclose(z.mean(0), 0.0, atol=0.05)
    np.testing.assert_allclose(z.std(0), 1.0, atol=0.05)
    raw_mean, raw_std = tw.input_statistics(ex, use, context_norm=False)
    np.testing.assert_allclose(raw_mean, ex.table.mean(0), rtol=1e-6)
    np.testing.assert_allclose(raw_std, ex.table.std(0) + 1e-3, rtol=1e-6)
