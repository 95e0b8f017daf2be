#!/usr/bin/python3
"""Builds the models the benchmarks run: an embedding network of realistic size and small
dense wake models, all with random weights (their cost, not their answers, is measured).

    make_bench_models.py MEL_MODEL OUT_DIR

OUT_DIR/frontend/ gets melspectrogram.onnx (a copy of MEL_MODEL) and embedding_model.onnx;
OUT_DIR/wake_0.onnx ... wake_7.onnx are eight wake models with different weights.

Embedding: "input_1" [1, 76, 32, 1] -> "conv2d_19" [1, 1, 1, 96], four 3x3 convolutions with
ReLU and 2x2 max pooling (24, 32, 48, 64 channels) and a final 9x4 convolution to 96 values:
about 8 million multiply-adds a run.
Wake: [1, 16, 96] -> 1536 -> 64 -> 32 -> 1 dense layers with ReLU, then a sigmoid: about
100 thousand multiply-adds a run.
"""
import os
import shutil
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
FLOAT = TensorProto.FLOAT


def save(path, nodes, inits, inputs, outputs):
    graph = helper.make_graph(nodes, os.path.basename(path), inputs, outputs, inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="kalmoris-wakeword-bench")
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, path)


def he(rng, shape, fan_in):
    return (rng.standard_normal(shape) * np.sqrt(2.0 / fan_in)).astype(np.float32)


def embedding_model(path, rng):
    nodes, inits = [], []

    def init(name, array):
        inits.append(numpy_helper.from_array(array, name))
        return name

    # NHWC [1, 76, 32, 1] as fed, NCHW [1, 1, 76, 32] for the convolutions.
    nodes.append(helper.make_node("Transpose", ["input_1"], ["x0"], perm=[0, 3, 1, 2]))
    x, channels = "x0", 1
    macs = 0
    height, width = 76, 32
    for i, out_ch in enumerate((24, 32, 48, 64)):
        w = init(f"w{i}", he(rng, (out_ch, channels, 3, 3), channels * 9))
        b = init(f"b{i}", (rng.standard_normal(out_ch) * 0.01).astype(np.float32))
        nodes.append(helper.make_node("Conv", [x, w, b], [f"c{i}"], pads=[1, 1, 1, 1]))
        nodes.append(helper.make_node("Relu", [f"c{i}"], [f"r{i}"]))
        macs += height * width * out_ch * channels * 9
        x, channels = f"r{i}", out_ch
        if i < 3:
            nodes.append(helper.make_node("MaxPool", [x], [f"p{i}"], kernel_shape=[2, 2],
                                          strides=[2, 2]))
            x = f"p{i}"
            height, width = height // 2, width // 2
    # [1, 64, 9, 4] -> [1, 96, 1, 1] -> [1, 1, 1, 96]
    w = init("w_out", he(rng, (96, channels, height, width), channels * height * width))
    b = init("b_out", np.zeros(96, dtype=np.float32))
    nodes.append(helper.make_node("Conv", [x, w, b], ["emb"]))
    macs += 96 * channels * height * width
    nodes.append(helper.make_node("Transpose", ["emb"], ["conv2d_19"], perm=[0, 2, 3, 1]))
    save(path, nodes, inits,
         [helper.make_tensor_value_info("input_1", FLOAT, [1, 76, 32, 1])],
         [helper.make_tensor_value_info("conv2d_19", FLOAT, [1, 1, 1, 96])])
    return macs


def wake_model(path, rng):
    nodes, inits = [], []
    sizes = [16 * 96, 64, 32, 1]
    nodes.append(helper.make_node("Flatten", ["embeddings"], ["h0"], axis=1))
    x = "h0"
    for i in range(3):
        w = f"w{i}"
        inits.append(numpy_helper.from_array(he(rng, (sizes[i], sizes[i + 1]), sizes[i]), w))
        inits.append(numpy_helper.from_array(np.zeros(sizes[i + 1], np.float32), f"b{i}"))
        nodes.append(helper.make_node("Gemm", [x, w, f"b{i}"], [f"g{i}"]))
        x = f"g{i}"
        if i < 2:
            nodes.append(helper.make_node("Relu", [x], [f"a{i}"]))
            x = f"a{i}"
    nodes.append(helper.make_node("Sigmoid", [x], ["probability"]))
    save(path, nodes, inits,
         [helper.make_tensor_value_info("embeddings", FLOAT, [1, 16, 96])],
         [helper.make_tensor_value_info("probability", FLOAT, [1, 1])])


def main():
    mel, out = sys.argv[1], sys.argv[2]
    frontend = os.path.join(out, "frontend")
    os.makedirs(frontend, exist_ok=True)
    shutil.copyfile(mel, os.path.join(frontend, "melspectrogram.onnx"))
    rng = np.random.default_rng(20240611)
    macs = embedding_model(os.path.join(frontend, "embedding_model.onnx"), rng)
    print(f"embedding model: {macs} multiply-adds a run")
    for i in range(8):
        wake_model(os.path.join(out, f"wake_{i}.onnx"), rng)


if __name__ == "__main__":
    main()
