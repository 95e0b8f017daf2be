"""The two networks the project trains, their ONNX export and their sizes.

Embedding network: 76 scaled mel frames [B, 76, 32, 1] -> 96 values, a small convolutional
network trained as a word classifier (the classifier head is dropped at export).
Wake network: the newest 16 embeddings [B, 16, 96] -> one probability; a wake model is the
mean of several such networks trained from different seeds, optionally held over a few
chunks (WakeEnsemble), exported as a few wide layers (_FusedWake).
"""
import hashlib
import json
import math
import os

import torch
from torch import nn

EMBEDDING_SIZE = 96
WINDOW_FRAMES = 76
MEL_BINS = 32
CONTEXT = 16
OPSET = 13
CONTEXT_NORM_FLOOR = 1e-3


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


def normalise_context(x, floor=CONTEXT_NORM_FLOOR):
    """[B, 16, 96] contexts, each row scaled to unit length, then each of the 96 values
    centred and scaled over the context's 16 rows (by its standard deviation plus floor).
    What stays is how the embedding moves across the window, not where a voice or a room
    puts it: a level that one speaker's embeddings share across a phrase is gone. A row
    repeated throughout (silence, or the start of a stream) comes out as zeros; floor keeps
    nearly still values from being magnified into noise."""
    x = x / (x.pow(2).sum(-1, keepdim=True).sqrt() + 1e-6)
    centred = x - x.mean(1, keepdim=True)
    return centred / (centred.pow(2).mean(1, keepdim=True).sqrt() + floor)


class WakeNet(nn.Module):
    """Embeddings are normalised by fixed statistics of the training set, then a small
    fully connected network scores the 16 x 96 context. With context_norm the context is
    first normalised on its own (normalise_context) and the fixed statistics are those of
    the normalised contexts."""

    def __init__(self, mean, std, hidden=64, context=CONTEXT, context_norm=False):
        super().__init__()
        self.context_norm = bool(context_norm)
        self.register_buffer("mean", torch.as_tensor(mean, dtype=torch.float32))
        self.register_buffer("std", torch.as_tensor(std, dtype=torch.float32))
        self.net = nn.Sequential(
            nn.Flatten(), nn.Dropout(0.2),
            nn.Linear(context * EMBEDDING_SIZE, hidden), nn.ReLU(),
            nn.Linear(hidden, hidden), nn.ReLU(),
            nn.Linear(hidden, 1))

    def logits(self, x):
        if self.context_norm:
            x = normalise_context(x)
        return self.net((x - self.mean) / self.std).squeeze(1)

    def forward(self, x):
        return torch.sigmoid(self.logits(x)).unsqueeze(1)


class WakeEnsemble(nn.Module):
    """The mean probability of several wake networks. Networks trained on the same data from
    different seeds disagree most on the sounds they were not taught (other voices, other
    phrases), and averaging them cuts those stray high scores more than the shared ones on the
    wake phrase; each member costs about 0.1 M multiply-adds, next to the embedding's 5.9 M.

    hold: the score is the lowest of that mean over `hold` consecutive chunks, the window
    given and the windows one, two... chunks before it, rebuilt from the same 16 rows (rows
    older than the input are not in it, so its oldest row stands in for them). A phrase that
    resembles the wake phrase in one alignment only scores high for a single chunk; the wake
    phrase holds its score over several.
    logit_offset: added to the logit of the held score, which is lower than a single
    window's, so that the detector's threshold falls where the held score's trade-off
    wants it."""

    def __init__(self, members, hold=1, logit_offset=0.0):
        super().__init__()
        if int(hold) < 1:
            raise ValueError(f"hold must be at least 1, not {hold}")
        self.members = nn.ModuleList(members)
        self.hold = int(hold)
        self.logit_offset = float(logit_offset)

    def forward(self, x):
        windows = earlier_windows(x, self.hold)
        p = torch.stack([m(windows) for m in self.members]).mean(0)
        return held_score(p, self.hold, self.logit_offset)


def earlier_windows(x, hold):
    """[B, 16, 96] -> [hold * B, 16, 96]: the windows 0, 1, ... hold - 1 chunks back, each
    padded at the old end with copies of the oldest row (one gather in the exported graph)."""
    if hold == 1:
        return x
    rows = (torch.arange(CONTEXT).unsqueeze(0) - torch.arange(hold).unsqueeze(1)).clamp(min=0)
    return x[:, rows].transpose(0, 1).reshape(-1, CONTEXT, EMBEDDING_SIZE)


def held_score(p, hold, offset):
    """[hold * B, 1] ensemble means over the windows of earlier_windows -> [B, 1]: the lowest
    over each context's windows, with offset added to its logit as
    sigmoid(logit(p) + offset), written so that p = 0 and p = 1 stay 0 and 1."""
    p = p.reshape(hold, -1, 1).min(0).values
    if offset == 0.0:
        return p
    e = math.exp(offset)
    return p * e / (1 - p + p * e)


class _FusedWake(nn.Module):
    """An ensemble as a few wide layers for export: every member's normalisation folded into
    its first layer, the first layers side by side in one matrix, the second and third
    layers as one batched product, the held windows as one batch (of the one context the
    detector feeds at a time: the graph's input is [1, 16, 96]). The same scores as
    WakeEnsemble up to rounding, in a handful of graph nodes instead of eight a member (the
    runtime's cost per node is most of a small network's). Members narrower than the widest
    get hidden units with zero weights, which add nothing. Networks that normalise their
    contexts come last; their first layers read the normalised windows, computed once."""

    def __init__(self, net):
        super().__init__()
        members = plain_first(net.members)
        width = max(m.net[2].weight.shape[0] for m in members)
        w1, b1, w2, b2, w3, b3 = [], [], [], [], [], []
        with torch.no_grad():
            for m in members:
                h = m.net[2].weight.shape[0]
                folded = m.net[2].weight.reshape(h, CONTEXT, EMBEDDING_SIZE) / m.std
                w1.append(_pad(folded.reshape(h, -1), (width, None)))
                b1.append(_pad(m.net[2].bias - (folded * m.mean).sum((1, 2)), (width,)))
                w2.append(_pad(m.net[4].weight.T, (width, width)))
                b2.append(_pad(m.net[4].bias, (width,)).unsqueeze(0))
                w3.append(_pad(m.net[6].weight.T, (width, None)))
                b3.append(m.net[6].bias.reshape(1, 1))
        self.count, self.width = len(net.members), width
        self.hold, self.logit_offset = net.hold, net.logit_offset
        self.norm_from = sum(not m.context_norm for m in members)  # first normalising one
        layer1 = torch.cat(w1).T  # [1536, M * H]
        split = self.norm_from * width
        # The first layers of both kinds, each kept whole (a slice of one weight would be
        # written as a new, unnamed initializer).
        if self.norm_from > 0:
            self.layer1_weight = nn.Parameter(layer1[:, :split].contiguous())
        if self.norm_from < self.count:
            self.layer1_norm_weight = nn.Parameter(layer1[:, split:].contiguous())
        self.layer1_bias = nn.Parameter(torch.cat(b1))  # [M * H]
        self.layer2_weight = nn.Parameter(torch.stack(w2))  # [M, H, H]
        self.layer2_bias = nn.Parameter(torch.stack(b2))  # [M, 1, H]
        self.layer3_weight = nn.Parameter(torch.stack(w3))  # [M, H, 1]
        self.layer3_bias = nn.Parameter(torch.stack(b3))  # [M, 1, 1]

    def forward(self, x):
        windows = earlier_windows(x, self.hold)
        parts = []  # [hold, 1536] @ [1536, networks of the kind * H]
        if self.norm_from > 0:
            parts.append(windows.flatten(1) @ self.layer1_weight)
        if self.norm_from < self.count:
            parts.append(normalise_context(windows).flatten(1) @ self.layer1_norm_weight)
        h = parts[0] if len(parts) == 1 else torch.cat(parts, 1)
        h = torch.relu(h + self.layer1_bias)
        h = h.reshape(self.hold, self.count, self.width).transpose(0, 1)  # [M, hold, H]
        h = torch.relu(torch.matmul(h, self.layer2_weight) + self.layer2_bias)
        p = torch.sigmoid(torch.matmul(h, self.layer3_weight) + self.layer3_bias).mean(0)
        return held_score(p, self.hold, self.logit_offset)  # [1, 1]


def plain_first(members):
    """The networks in the order a file holds them: those that read the contexts as they
    are, then those that normalise them (each group in its own order; the mean is the same)."""
    return [m for m in members if not m.context_norm] + [m for m in members if m.context_norm]


def _pad(t, shape):
    """t with zeros added at the end of each dimension up to shape (None: as it is)."""
    out = torch.zeros([n if n is not None else d for n, d in zip(shape, t.shape)])
    out[tuple(slice(0, d) for d in t.shape)] = t
    return out


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


# The hold and the logit offset travel in the file's metadata, so that a model read back
# (load_wake) scores as the file does.
HOLD_KEY, OFFSET_KEY = "kalmoris.hold", "kalmoris.logit_offset"
# A file whose networks from CONTEXT_NORM_FROM_KEY on normalise their contexts names the
# floor they were trained with. Files of the option's first version, whose networks all
# normalise, have no CONTEXT_NORM_FROM_KEY (the default's normalised parts are such files).
CONTEXT_NORM_KEY, CONTEXT_NORM_FROM_KEY = "kalmoris.context_norm", "kalmoris.context_norm_from"


def export_wake(net, path):
    import onnx
    net.eval()
    dummy = torch.zeros(1, CONTEXT, EMBEDDING_SIZE)
    fused = _FusedWake(net).eval()
    torch.onnx.export(fused, dummy, path, input_names=["embeddings"],
                      output_names=["probability"], opset_version=OPSET,
                      do_constant_folding=True)
    model = onnx.load(path)
    meta = [(HOLD_KEY, str(net.hold)), (OFFSET_KEY, repr(net.logit_offset))]
    if fused.norm_from < fused.count:  # files without the keys score as before
        meta += [(CONTEXT_NORM_KEY, repr(CONTEXT_NORM_FLOOR)),
                 (CONTEXT_NORM_FROM_KEY, str(fused.norm_from))]
    for key, value in meta:
        entry = model.metadata_props.add()
        entry.key, entry.value = key, value
    onnx.save(model, path)


def load_wake(path):
    """A wake model file written by export_wake, read back as a WakeEnsemble that scores as
    the file does, in eval mode (its members' dropout off). Each member comes back with its
    normalisation folded into its first layer (mean 0, standard deviation 1). Files of the
    earlier layout, one subgraph a member, are read too: there the export kept one copy of
    statistics that several members share, under the first such member's name, so a member
    without its own takes those of the nearest member before it."""
    import onnx
    from onnx import numpy_helper
    model = onnx.load(path)
    init = {i.name: torch.from_numpy(numpy_helper.to_array(i).copy())
            for i in model.graph.initializer}
    meta = {p.key: p.value for p in model.metadata_props}
    hold, offset = int(meta.get(HOLD_KEY, 1)), float(meta.get(OFFSET_KEY, 0.0))
    if "layer1_weight" in init or "layer1_norm_weight" in init:
        norm_from = None
        if CONTEXT_NORM_KEY in meta:
            if float(meta[CONTEXT_NORM_KEY]) != CONTEXT_NORM_FLOOR:
                raise ValueError(f"{path}: context normalisation floor "
                                 f"{meta[CONTEXT_NORM_KEY]}, this tool knows {CONTEXT_NORM_FLOOR}")
            norm_from = int(meta.get(CONTEXT_NORM_FROM_KEY, 0))
        return WakeEnsemble(_unfused_members(init, norm_from), hold, offset).eval()
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
    return WakeEnsemble(members, hold, offset).eval()


def _unfused_members(init, norm_from=None):
    """The networks of a file of wide layers; those from norm_from on (None: none)
    normalise their contexts."""
    count, width = init["layer2_weight"].shape[:2]
    layer1 = torch.cat([init[k] for k in ("layer1_weight", "layer1_norm_weight") if k in init], 1)
    w1 = layer1.T.reshape(count, width, CONTEXT * EMBEDDING_SIZE)
    b1 = init["layer1_bias"].reshape(count, width)
    members = []
    for m in range(count):
        net = WakeNet(torch.zeros(EMBEDDING_SIZE), torch.ones(EMBEDDING_SIZE), hidden=width,
                      context_norm=norm_from is not None and m >= norm_from)
        net.load_state_dict({
            "mean": net.mean, "std": net.std,
            "net.2.weight": w1[m], "net.2.bias": b1[m],
            "net.4.weight": init["layer2_weight"][m].T, "net.4.bias": init["layer2_bias"][m, 0],
            "net.6.weight": init["layer3_weight"][m].T, "net.6.bias": init["layer3_bias"][m, 0]})
        members.append(net)
    return members


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
