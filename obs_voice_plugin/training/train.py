"""Trains the "tollivaren clip it" classifier on wake-features rows and
exports it as ONNX ([1, 16, 96] float -> [1, 1] sigmoid score)."""

import argparse
import time

import numpy as np
import torch
from torch import nn

import features

# Loss weight of a false accept against a miss, per kind of negative clip:
# ordinary speech and sound must almost never fire, near misses never.
NEGATIVE_WEIGHT = {"speech": 1.0, "nonspeech": 1.0, "near_miss": 2.0, "partial": 1.5}
# Near misses weigh more by kind: "clip it" without the name and the name
# with another verb are what a classifier keyed on one half of the phrase
# accepts.
NEAR_WEIGHT = {"clip_alone": 4.0, "other_verb": 2.5, "other_object": 2.0, "name_alone": 1.5, "sound_alike": 1.5,
               "twin_verb": 3.0, "twin_object": 2.5, "twin_name": 1.5, "twin_lead": 3.0}
# Positives are a few per cent of the passes; together they weigh this share
# of the negatives' total.
POSITIVE_SHARE = 0.35


class WakeClassifier(nn.Module):
    """openWakeWord-style head: flatten, two hidden fully connected layers
    with layer norm and ReLU, one sigmoid output."""

    def __init__(self, hidden=256, dropout=0.3):
        super().__init__()
        # Dropout only acts in training; the exported graph has none.
        self.net = nn.Sequential(
            nn.Flatten(), nn.Dropout(0.1),
            nn.Linear(16 * 96, hidden), nn.LayerNorm(hidden), nn.ReLU(), nn.Dropout(dropout),
            nn.Linear(hidden, hidden), nn.LayerNorm(hidden), nn.ReLU(), nn.Dropout(dropout),
            nn.Linear(hidden, 1), nn.Sigmoid())

    def forward(self, x):
        return self.net(x)


def load_training(prefix, meta_path):
    rows, _, clip, _, meta = features.load_clips(prefix, meta_path)
    labels = np.array([meta[c]["label"] for c in clip], np.float32)
    kinds = [meta[c]["kind"] for c in clip]
    weights = np.array([1.0 if k == "positive" else NEGATIVE_WEIGHT[k] for k in kinds], np.float32)
    weights *= np.array([NEAR_WEIGHT.get(meta[c].get("condition", ""), 1.0) if meta[c]["kind"] == "near_miss"
                         else 1.0 for c in clip], np.float32)
    voices = [meta[c]["voice"] for c in clip]
    return np.array(rows, np.float32), labels, weights, clip, voices


def train(rows, labels, weights, seed, epochs=12, batch=1024, hidden=256):
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    model = WakeClassifier(hidden)
    optimiser = torch.optim.AdamW(model.parameters(), lr=2e-3, weight_decay=1e-2)
    schedule = torch.optim.lr_scheduler.CosineAnnealingLR(optimiser, epochs)
    x_all = torch.from_numpy(rows)
    y_all = torch.from_numpy(labels)
    w_base = torch.from_numpy(weights)
    hard = torch.ones_like(w_base)
    loss_fn = nn.BCELoss(reduction="none")
    for epoch in range(epochs):
        model.train()
        order = torch.from_numpy(rng.permutation(len(labels)))
        total = 0.0
        for start in range(0, len(order), batch):
            idx = order[start:start + batch]
            # A little feature noise keeps the head from keying on exact values.
            x = x_all[idx] + 0.05 * torch.randn(len(idx), 16, 96)
            p = model(x).squeeze(1)
            loss = (loss_fn(p, y_all[idx]) * w_base[idx] * hard[idx]).sum() / (w_base[idx] * hard[idx]).sum()
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            total += float(loss) * len(idx)
        schedule.step()
        # Hard-negative mining: negatives that still score high weigh more.
        if epoch >= 4 and epoch % 4 == 0:
            scores = predict(model, rows)
            hard = torch.ones_like(w_base)
            hard[(y_all == 0) & (torch.from_numpy(scores) > 0.3)] = 4.0
            hard[(y_all == 1) & (torch.from_numpy(scores) < 0.5)] = 2.0
        print("  epoch %2d loss %.4f" % (epoch, total / len(labels)), flush=True)
    return model


def predict(model, rows, batch=4096):
    model.eval()
    out = []
    with torch.no_grad():
        for start in range(0, len(rows), batch):
            out.append(model(torch.from_numpy(np.ascontiguousarray(rows[start:start + batch]))).squeeze(1).numpy())
    return np.concatenate(out)


def export(model, path):
    model.eval()
    dummy = torch.zeros(1, 16, 96)
    torch.onnx.export(model, dummy, path, input_names=["input"], output_names=["score"], opset_version=13,
                      do_constant_folding=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--set", nargs=2, action="append", required=True, metavar=("FEATURES", "META"),
                        help="wake-features output prefix of a clip set and the set's .json")
    parser.add_argument("--out", required=True)
    parser.add_argument("--seed", type=int, default=1234)
    parser.add_argument("--epochs", type=int, default=12)
    parser.add_argument("--hidden", type=int, default=256, help="width of the two hidden layers")
    args = parser.parse_args()
    torch.set_num_threads(2)
    started = time.time()
    sets = [load_training(prefix, meta) for prefix, meta in args.set]
    rows = np.concatenate([s[0] for s in sets])
    labels = np.concatenate([s[1] for s in sets])
    weights = np.concatenate([s[2] for s in sets])
    del sets
    positive = labels == 1
    weights[positive] *= POSITIVE_SHARE * weights[~positive].sum() / weights[positive].sum()
    print("  training passes: %d positive, %d negative" % (int(labels.sum()), int((labels == 0).sum())), flush=True)
    model = train(rows, labels, weights, args.seed, args.epochs, hidden=args.hidden)
    scores = predict(model, rows)
    print("  training set: positives >= 0.6: %.3f, negatives >= 0.6: %.4f"
          % (float((scores[labels == 1] >= 0.6).mean()), float((scores[labels == 0] >= 0.6).mean())))
    export(model, args.out)
    print("  trained in %.0f s -> %s" % (time.time() - started, args.out), flush=True)


if __name__ == "__main__":
    main()
