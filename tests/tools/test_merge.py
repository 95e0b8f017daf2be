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


def ensemble(seed, groups, hidden=8):
    """Members in groups that share their normalising statistics, as train_wakeword makes
    them; every weight and statistic random and distinct."""
    g = torch.Generator().manual_seed(seed)
    members = []
    for size in groups:
        mean = torch.randn(E, generator=g)
        std = torch.rand(E, generator=g) + 0.5
        for _ in range(size):
            net = wakenet.WakeNet(mean, std, hidden=hidden)
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
    back = wakenet.load_wake(path).eval()
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
