"""Wake model files read back and joined (wakenet.load_wake, merge_wake_models.py): the
default wake model is such a join, so a member given another's weights or statistics, or
dropped, would change the shipped model's scores without any error. Needs the training
tools' packages (python3-torch); skipped where they are not installed."""
import os
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import merge_wake_models  # noqa: E402
import wakenet  # noqa: E402

C, E = wakenet.CONTEXT, wakenet.EMBEDDING_SIZE


def ensemble(seed, groups, hidden=8, context_norm=False):
    """Members in groups that share their normalising statistics, as train_wakeword makes
    them; every weight and statistic random and distinct."""
    g = torch.Generator().manual_seed(seed)
    members = []
    for size in groups:
        mean = torch.randn(E, generator=g)
        std = torch.rand(E, generator=g) + 0.5
        for _ in range(size):
            net = wakenet.WakeNet(mean, std, hidden=hidden, context_norm=context_norm)
            with torch.no_grad():
                for p in net.parameters():
                    p.copy_(torch.randn(p.shape, generator=g) * 0.3)
            members.append(net)
    return wakenet.WakeEnsemble(members).eval()


def scores(net, x):
    with torch.no_grad():
        return torch.stack([m(x)[:, 0] for m in net.members]).numpy()


def test_a_read_back_model_gives_each_member_its_own_weights_and_statistics(tmp_path):
    net = ensemble(1, [2, 3])
    path = str(tmp_path / "a.onnx")
    wakenet.export_wake(net, path)
    back = wakenet.load_wake(path)  # as read: scoring it must not need .eval() first
    x = torch.randn(4, C, E) * 2
    assert len(back.members) == 5
    np.testing.assert_allclose(scores(back, x), scores(net, x), rtol=1e-5, atol=1e-6)


def test_a_join_is_the_mean_over_every_network_of_its_inputs(tmp_path):
    a, b = ensemble(2, [1, 2]), ensemble(3, [2, 2], hidden=6)
    paths = [str(tmp_path / "a.onnx"), str(tmp_path / "b.onnx")]
    wakenet.export_wake(a, paths[0])
    wakenet.export_wake(b, paths[1])
    out = str(tmp_path / "ab.onnx")
    merge_wake_models.merge(paths, out)
    joined = wakenet.load_wake(out).eval()
    x = torch.randn(3, C, E) * 2
    want = np.concatenate([scores(a, x), scores(b, x)])
    np.testing.assert_allclose(scores(joined, x), want, rtol=1e-5, atol=1e-6)
    with torch.no_grad():
        np.testing.assert_allclose(joined(x)[:, 0].numpy(), want.mean(0), rtol=1e-5, atol=1e-6)


def test_a_selection_joins_only_the_networks_it_names_in_their_order(tmp_path):
    a, b = ensemble(11, [3, 2]), ensemble(12, [2])
    paths = [str(tmp_path / "a.onnx"), str(tmp_path / "b.onnx")]
    wakenet.export_wake(a, paths[0])
    wakenet.export_wake(b, paths[1])
    out = str(tmp_path / "picked.onnx")
    merge_wake_models.merge([paths[0] + ":2,4-5", paths[1]], out)
    x = torch.randn(3, C, E) * 2
    want = np.concatenate([scores(a, x)[[1, 3, 4]], scores(b, x)])
    np.testing.assert_allclose(scores(wakenet.load_wake(out), x), want, rtol=1e-5, atol=1e-6)
    for bad in (":0-2", ":3-2", ":6", ":1,1", ":1-"):
        with pytest.raises(ValueError):
            merge_wake_models.merge([paths[0] + bad], out)


def held_reference(net, contexts):
    """The held score built here from the members alone: for each context, the member mean
    on it and on the contexts 1 .. hold - 1 chunks back (rows shifted towards the new end,
    the oldest row repeated), the lowest of those, its logit moved by the offset."""
    rows = np.arange(C)
    worst = None
    for j in range(net.hold):
        shifted = torch.from_numpy(np.ascontiguousarray(contexts[:, np.maximum(rows - j, 0)]))
        p = scores(net, shifted).astype(np.float64).mean(0)
        worst = p if worst is None else np.minimum(worst, p)
    logit = np.log(worst) - np.log1p(-worst) + net.logit_offset
    return 1.0 / (1.0 + np.exp(-logit))


def test_a_held_model_keeps_its_hold_and_offset_through_files_and_joins(tmp_path):
    net = ensemble(4, [2, 1])
    net.hold, net.logit_offset = 3, 0.7
    path = str(tmp_path / "held.onnx")
    wakenet.export_wake(net, path)
    back = wakenet.load_wake(path).eval()
    assert (back.hold, back.logit_offset) == (3, 0.7)
    x = torch.randn(6, C, E) * 2
    with torch.no_grad():
        np.testing.assert_allclose(back(x)[:, 0].numpy(), held_reference(net, x.numpy()),
                                   rtol=1e-4, atol=1e-6)
        plain = wakenet.WakeEnsemble(list(net.members)).eval()
        assert np.abs(back(x) - plain(x)).max() > 1e-3  # the hold is not a no-op here
    other = str(tmp_path / "other.onnx")
    wakenet.export_wake(ensemble(5, [1]), other)
    out = str(tmp_path / "joined.onnx")
    merge_wake_models.merge([path, other], out)  # as the first model
    assert (wakenet.load_wake(out).hold, wakenet.load_wake(out).logit_offset) == (3, 0.7)
    merge_wake_models.merge([other, path], out, hold=2, logit_offset=-0.5)
    joined = wakenet.load_wake(out)
    assert (joined.hold, joined.logit_offset, len(joined.members)) == (2, -0.5, 4)


def test_context_normalisation_sees_shape_not_level_and_maps_still_contexts_to_zero():
    g = torch.Generator().manual_seed(8)
    x = torch.randn(3, C, E, generator=g) + 2.0
    out = wakenet.normalise_context(x)
    scaled = wakenet.normalise_context(x * (torch.rand(3, C, 1, generator=g) * 10 + 0.1))
    np.testing.assert_allclose(scaled.numpy(), out.numpy(), atol=1e-4)  # row loudness gone
    np.testing.assert_allclose(out.mean(1).numpy(), 0.0, atol=1e-5)  # centred over the rows
    assert np.all((out.pow(2).mean(1) < 1.0).numpy()) and np.all((out.pow(2).mean(1) > 0.9).numpy())
    still = wakenet.normalise_context(x[:, :1].expand(3, C, E))  # one row repeated
    np.testing.assert_allclose(still.numpy(), 0.0, atol=1e-4)  # rounding of the mean only


def test_normalising_networks_keep_their_kind_through_files_and_joins_with_plain_ones(tmp_path):
    net = ensemble(9, [2, 1], context_norm=True)
    net.hold = 2
    path = str(tmp_path / "norm.onnx")
    wakenet.export_wake(net, path)
    back = wakenet.load_wake(path)
    assert all(m.context_norm for m in back.members)
    x = torch.randn(4, C, E) * 2 + 1
    with torch.no_grad():
        np.testing.assert_allclose(back(x).numpy(), net(x).numpy(), rtol=1e-4, atol=1e-6)
        plain = ensemble(9, [2, 1])  # the same weights without the normalisation
        plain.hold = 2
        assert np.abs(plain(x) - net(x)).max() > 1e-3
    other = str(tmp_path / "plain.onnx")
    wakenet.export_wake(ensemble(10, [2]), other)
    assert not any(m.context_norm for m in wakenet.load_wake(other).members)
    out = str(tmp_path / "mixed.onnx")
    merge_wake_models.merge([path, other], out)  # normalising networks first here
    mixed = wakenet.load_wake(out)
    assert [m.context_norm for m in mixed.members] == [False, False, True, True, True]
    with torch.no_grad():
        want = torch.stack([m(x) for m in list(net.members) + list(wakenet.load_wake(other).members)])
        got = torch.stack([m(x) for m in mixed.members])
        np.testing.assert_allclose(np.sort(got.numpy(), 0), np.sort(want.numpy(), 0), rtol=1e-4,
                                   atol=1e-6)


@pytest.mark.parametrize("context_norm", [(False, False), (True, True), (True, False)])
def test_the_library_scores_a_held_model_file_as_its_networks_say(tmp_path, context_norm):
    """The exported graph (members fused into wide layers, windows gathered, each window
    normalised when the networks ask for it, offset applied) run by the detector itself on
    a stream, against the held score built from the members on the embeddings the detector
    feeds them."""
    import evaluate
    import stream_features as sf
    lib_path = evaluate.default_lib()
    if not os.path.exists(lib_path):
        pytest.skip("the library is not built")
    models = os.path.join(os.path.dirname(__file__), "..", "..", "models")
    net = ensemble(6, [2, 1], hidden=8, context_norm=context_norm[0])
    # A narrower member, padded; with (True, False) the file mixes both kinds.
    net.members[2] = ensemble(7, [1], hidden=5, context_norm=context_norm[1]).members[0]
    net.hold, net.logit_offset = 4, 0.9
    path = str(tmp_path / "held.onnx")
    wakenet.export_wake(net, path)
    rng = np.random.default_rng(3)
    t = np.arange(3 * 16000) / 16000.0
    pcm = (3000 * np.sin(2 * np.pi * (300 + 400 * t) * t) * (np.sin(2 * np.pi * 1.5 * t) > 0)
           + rng.normal(0, 300, t.size)).astype(np.int16)
    lib = evaluate.Library(lib_path)
    lib.load(models, path)
    try:
        got, _ = lib.run(pcm)
    finally:
        lib.unload()
    embedder = wakenet.OnnxEmbedder(os.path.join(models, "embedding_model.onnx"))
    contexts = sf.wake_contexts(wakenet.embed_windows(embedder, sf.embedding_windows(pcm)))
    want = held_reference(net, contexts.astype(np.float32))
    assert np.ptp(want) > 0.1  # scores that move, so that a wrong window would show
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-4)
