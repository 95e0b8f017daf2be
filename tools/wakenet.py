"""The two networks the project trains, their ONNX export and their sizes.

Embedding network: 76 scaled mel frames [B, 76, 32, 1] -> 96 values, a small convolutional
network trained as a word classifier (the classifier head is dropped at export).
Wake network: the newest 16 embeddings [B, 16, 96] -> one probability; a wake model is the
mean of several such networks trained from different seeds (WakeEnsemble).
"""
import hashlib
import json
import os

import torch
from torch import nn

EMBEDDING_SIZE = 96
WINDOW_FRAMES = 76
MEL_BINS = 32
CONTEXT = 16
OPSET = 13


def conv_block(cin, cout):
    return [nn.Conv2d(cin, cout, 3, padding=1, bias=False), nn.BatchNorm2d(cout), nn.ReLU()]


class Embedder(nn.Module):
    """Four 3x3 convolution stages over time x mel bins (76 x 32 -> 9 x 4), then one
    convolution over the whole remaining map that gives the 96 embedding values."""

    def __init__(self, widths=(16, 24, 48, 96)):
        super().__init__()
        w1, w2, w3, w4 = widths
        self.body = nn.Sequential(
            *conv_block(1, w1), nn.MaxPool2d(2),  # 38 x 16
            *conv_block(w1, w2), nn.MaxPool2d(2),  # 19 x 8
            *conv_block(w2, w3), nn.MaxPool2d(2),  # 9 x 4
            *conv_block(w3, w4),
            nn.Conv2d(w4, EMBEDDING_SIZE, (9, 4)))  # 1 x 1

    def forward(self, x):
        """[B, 76, 32, 1] -> [B, 96]."""
        return self.body(x.permute(0, 3, 1, 2)).flatten(1)


class WordClassifier(nn.Module):
    def __init__(self, classes):
        super().__init__()
        self.embedder = Embedder()
        self.head = nn.Sequential(nn.ReLU(), nn.Dropout(0.3), nn.Linear(EMBEDDING_SIZE, classes))

    def forward(self, x):
        return self.head(self.embedder(x))


class WakeNet(nn.Module):
    """Embeddings are normalised by fixed statistics of the training set, then a small
    fully connected network scores the 16 x 96 context."""

    def __init__(self, mean, std, hidden=64, context=CONTEXT):
        super().__init__()
        self.register_buffer("mean", torch.as_tensor(mean, dtype=torch.float32))
        self.register_buffer("std", torch.as_tensor(std, dtype=torch.float32))
        self.net = nn.Sequential(
            nn.Flatten(), nn.Dropout(0.2),
            nn.Linear(context * EMBEDDING_SIZE, hidden), nn.ReLU(),
            nn.Linear(hidden, hidden), nn.ReLU(),
            nn.Linear(hidden, 1))

    def logits(self, x):
        return self.net((x - self.mean) / self.std).squeeze(1)

    def forward(self, x):
        return torch.sigmoid(self.logits(x)).unsqueeze(1)


class WakeEnsemble(nn.Module):
    """The mean probability of several wake networks. Networks trained on the same data from
    different seeds disagree most on the sounds they were not taught (other voices, other
    phrases), and averaging them cuts those stray high scores more than the shared ones on the
    wake phrase; each member costs about 0.1 M multiply-adds, next to the embedding's 5.9 M."""

    def __init__(self, members):
        super().__init__()
        self.members = nn.ModuleList(members)

    def forward(self, x):
        return torch.stack([m(x) for m in self.members]).mean(0)


class _EmbedderExport(nn.Module):
    def __init__(self, embedder):
        super().__init__()
        self.embedder = embedder

    def forward(self, x):
        return self.embedder.body(x.permute(0, 3, 1, 2)).permute(0, 2, 3, 1)  # [1, 1, 1, 96]


def export_embedder(embedder, path):
    embedder.eval()
    dummy = torch.ones(1, WINDOW_FRAMES, MEL_BINS, 1)
    torch.onnx.export(_EmbedderExport(embedder), dummy, path, input_names=["input_1"],
                      output_names=["conv2d_19"], opset_version=OPSET, do_constant_folding=True)


def export_wake(net, path):
    net.eval()
    dummy = torch.zeros(1, CONTEXT, EMBEDDING_SIZE)
    torch.onnx.export(net, dummy, path, input_names=["embeddings"], output_names=["probability"],
                      opset_version=OPSET, do_constant_folding=True)


def load_wake(path):
    """A wake model file written by export_wake, read back as a WakeEnsemble. The export
    keeps one copy of statistics that several members share, under the first such member's
    name, so a member without its own takes those of the nearest member before it."""
    import onnx
    from onnx import numpy_helper
    init = {i.name: torch.from_numpy(numpy_helper.to_array(i).copy())
            for i in onnx.load(path).graph.initializer}
    indices = [int(k.split(".")[1]) for k in init if k.startswith("members.")]
    if not indices:
        raise ValueError(f"{path}: not a wake model written by train_wakeword.py")
    count = 1 + max(indices)
    members, mean, std = [], None, None
    for m in range(count):
        mean = init.get(f"members.{m}.mean", mean)
        std = init.get(f"members.{m}.std", std)
        layers = {f"net.{layer}.{w}": init[f"members.{m}.net.{layer}.{w}"]
                  for layer in (2, 4, 6) for w in ("weight", "bias")}
        net = WakeNet(mean, std, hidden=layers["net.2.weight"].shape[0])
        net.load_state_dict({"mean": mean, "std": std, **layers})
        members.append(net)
    return WakeEnsemble(members)


def count_params(module):
    return int(sum(p.numel() for p in module.parameters()))


def count_macs(module, example):
    """Multiply-adds of one forward pass, counted over convolution and linear layers."""
    total = [0]

    def conv_hook(m, inp, out):
        k = m.weight.shape[1] * m.weight.shape[2] * m.weight.shape[3]
        total[0] += int(out.numel() * k)

    def linear_hook(m, inp, out):
        total[0] += int(out.numel() * m.in_features)

    hooks = []
    for m in module.modules():
        if isinstance(m, nn.Conv2d):
            hooks.append(m.register_forward_hook(conv_hook))
        elif isinstance(m, nn.Linear):
            hooks.append(m.register_forward_hook(linear_hook))
    was_training = module.training
    module.eval()
    with torch.no_grad():
        module(example)
    module.train(was_training)
    for h in hooks:
        h.remove()
    return total[0]


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def update_manifest(path, name, entry):
    """Sets one model's entry of the JSON manifest, keeping the others."""
    data = {}
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    data[name] = entry
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=2, sort_keys=True)
        f.write("\n")


class OnnxEmbedder(nn.Module):
    """The embedding model read back from its ONNX file, so that wake models are trained on
    exactly the network the detector runs: Conv, Relu and MaxPool nodes between the two
    layout transposes are rebuilt as torch layers with the file's weights."""

    def __init__(self, path):
        super().__init__()
        import onnx
        from onnx import numpy_helper
        model = onnx.load(path)
        inits = {i.name: torch.from_numpy(numpy_helper.to_array(i).copy())
                 for i in model.graph.initializer}
        layers = []
        for node in model.graph.node:
            attrs = {a.name: onnx.helper.get_attribute_value(a) for a in node.attribute}
            if node.op_type == "Conv":
                w = inits[node.input[1]]
                conv = nn.Conv2d(w.shape[1], w.shape[0], tuple(w.shape[2:]),
                                 stride=tuple(attrs.get("strides", [1, 1])),
                                 padding=tuple(attrs.get("pads", [0, 0, 0, 0])[:2]),
                                 bias=len(node.input) > 2)
                conv.weight.data.copy_(w)
                if len(node.input) > 2:
                    conv.bias.data.copy_(inits[node.input[2]])
                layers.append(conv)
            elif node.op_type == "Relu":
                layers.append(nn.ReLU())
            elif node.op_type == "MaxPool":
                layers.append(nn.MaxPool2d(tuple(attrs["kernel_shape"]),
                                           tuple(attrs.get("strides", attrs["kernel_shape"]))))
            elif node.op_type == "Transpose":
                continue
            else:
                raise ValueError(f"{path}: unsupported node {node.op_type}")
        self.body = nn.Sequential(*layers)
        self.eval()

    def forward(self, x):
        """[B, 76, 32, 1] -> [B, 96]."""
        return self.body(x.permute(0, 3, 1, 2)).flatten(1)


def embed_windows(embedder, windows, batch=512):
    """[N, 76, 32] float arrays -> [N, 96] float32 numpy."""
    import numpy as np
    out = []
    with torch.no_grad():
        for s in range(0, len(windows), batch):
            xb = torch.from_numpy(np.ascontiguousarray(windows[s:s + batch], dtype=np.float32))
            out.append(embedder(xb.unsqueeze(-1)).numpy())
    if not out:
        return np.zeros((0, EMBEDDING_SIZE), dtype=np.float32)
    return np.concatenate(out)
