"""Writes the feature probe used by the training feature-path test.

The probe is a classifier-shaped model ([1, 16, 96] -> [1, 1]) whose score is
a fixed random projection of all 1536 inputs, so that two feature paths agree
on the score only when they agree on every row (a shifted or wrong row moves
the score far more than rounding does).
"""

import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def probe_model(seed=7):
    weights = np.random.default_rng(seed).standard_normal((1536, 1)).astype(np.float32) / np.sqrt(1536.0)
    graph = helper.make_graph(
        [helper.make_node("Reshape", ["x", "flat_shape"], ["flat"]),
         helper.make_node("MatMul", ["flat", "w"], ["score"])],
        "feature_probe",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 16, 96])],
        [helper.make_tensor_value_info("score", TensorProto.FLOAT, [1, 1])],
        [numpy_helper.from_array(np.array([1, 1536], np.int64), "flat_shape"),
         numpy_helper.from_array(weights, "w")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)], producer_name="tollivaren-training")
    model.ir_version = 7
    onnx.checker.check_model(model)
    return model


if __name__ == "__main__":
    onnx.save(probe_model(), sys.argv[1])
