#!/usr/bin/python3
"""Writes tiny ONNX stand-ins for the detector's three models into a folder.

Each one has the input shape of the model it stands in for and an output
whose values or shape the detector tests choose:

  mel_frames_<F>   first F*32 input samples as [1, 1, F, 32] (F = 195, 196, 200)
  mel_rank<R>      first 196*32 samples with rank R (1, 2, 8, 9)
  mel_short        first 392 samples as [1, 1, 196, 2]: 196 frames but short
  embedding_head   first 96 input values as [1, 1, 1, 96]
  embedding_short  first 10 input values as [1, 1, 1, 10]
  embedding_wrong  expects [1, 10]: every run fails
  classifier_weighted  sum over rows i of (i + 1) * features[i][0], as [1, 1]
  classifier_constant  0.87 as [1, 1]
  classifier_empty     shape [1, 0]
  classifier_double    0.87 as a double [1, 1]

Run with an interpreter that has the onnx package: make_tiny_models.py DIR
"""

import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
WINDOW = 32000


def save(folder, name, nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, name, inputs, outputs, list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 7
    onnx.checker.check_model(model)
    onnx.save(model, os.path.join(folder, name + ".onnx"))


def ints(name, values):
    return numpy_helper.from_array(np.array(values, dtype=np.int64), name)


def head_as(folder, name, input_info, flat_length, take, shape):
    """Flattens the input to [1, flat_length], keeps the first `take` values
    and reshapes them to `shape`."""
    nodes = [
        helper.make_node("Reshape", ["input", "flat_shape"], ["flat"]),
        helper.make_node("Slice", ["flat", "starts", "ends", "axes"], ["head"]),
        helper.make_node("Reshape", ["head", "out_shape"], ["output"]),
    ]
    inits = [
        ints("flat_shape", [1, flat_length]),
        ints("starts", [0]),
        ints("ends", [take]),
        ints("axes", [1]),
        ints("out_shape", shape),
    ]
    out = helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)
    save(folder, name, nodes, [input_info], [out], inits)


def mel_input():
    return helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, "samples"])


def embedding_input():
    return helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 76, 32, 1])


def classifier_input():
    return helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 16, 96])


def constant_classifier(folder, name, data_type, np_type):
    value = numpy_helper.from_array(np.array([[0.87]], dtype=np_type), "value")
    nodes = [helper.make_node("Constant", [], ["output"], value=value)]
    out = helper.make_tensor_value_info("output", data_type, [1, 1])
    save(folder, name, nodes, [classifier_input()], [out])


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)

    for frames in (195, 196, 200):
        head_as(folder, "mel_frames_%d" % frames, mel_input(), WINDOW, frames * 32, [1, 1, frames, 32])
    rank_shapes = {1: [196 * 32], 2: [196, 32], 8: [1] * 6 + [196, 32], 9: [1] * 7 + [196, 32]}
    for rank, shape in rank_shapes.items():
        head_as(folder, "mel_rank%d" % rank, mel_input(), WINDOW, 196 * 32, shape)
    head_as(folder, "mel_short", mel_input(), WINDOW, 392, [1, 1, 196, 2])

    head_as(folder, "embedding_head", embedding_input(), 76 * 32, 96, [1, 1, 1, 96])
    head_as(folder, "embedding_short", embedding_input(), 76 * 32, 10, [1, 1, 1, 10])
    wrong = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 10])
    head_as(folder, "embedding_wrong", wrong, 10, 10, [1, 1, 1, 10])

    weights = np.zeros((1, 16, 96), dtype=np.float32)
    weights[0, :, 0] = np.arange(1, 17)
    nodes = [
        helper.make_node("Mul", ["input", "weights"], ["weighted"]),
        helper.make_node("ReduceSum", ["weighted"], ["sum"], keepdims=0),
        helper.make_node("Reshape", ["sum", "out_shape"], ["output"]),
    ]
    out = helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, 1])
    save(folder, "classifier_weighted", nodes, [classifier_input()], [out],
         [numpy_helper.from_array(weights, "weights"), ints("out_shape", [1, 1])])

    constant_classifier(folder, "classifier_constant", TensorProto.FLOAT, np.float32)
    constant_classifier(folder, "classifier_double", TensorProto.DOUBLE, np.float64)
    head_as(folder, "classifier_empty", classifier_input(), 16 * 96, 0, [1, 0])


if __name__ == "__main__":
    main()
