"""Trains the "tollivaren clip it" classifier on wake-features rows and
exports it as ONNX ([1, 16, 96] float -> [1, 1] sigmoid score).

Heads are trained one at a time and combined for export: one head alone,
or the minimum of several (other seeds or widths, or one without the twin
near misses), with a logit shift that places the default threshold. run.sh
says which heads the shipped classifier is made of.

  train.py head --set ... --out head.pt [--hidden N] [--seed S] [--no-twins]
  train.py combine --out model.onnx [--shift X] head.pt...
"""

import argparse
import time

import numpy as np
import torch
from torch import nn

import features

# Share of the whole loss weight per group of passes. Ordinary speech and
# sound get the most: the filter runs for hours of talk and one accept an
# hour is already too many. Near misses share theirs by kind (NEAR_WEIGHT).
GROUP_SHARE = {"speech": 0.55, "near_miss": 0.18, "partial": 0.02, "positive": 0.25}
# Within the near misses: "clip it" without the name and the name with
# another verb are what a classifier keyed on one half of the phrase
# accepts; the twins (the same take with another ending or another name)
# leave only the words themselves as the cue.
NEAR_WEIGHT = {"clip_alone": 4.0, "other_verb": 2.5, "other_object": 2.0, "name_alone": 1.5, "sound_alike": 1.5,
               "twin_verb": 3.0, "twin_object": 2.5, "twin_name": 1.5, "twin_lead": 3.0}
TWIN_KINDS = ("twin_verb", "twin_object", "twin_name", "twin_lead")
EPOCHS = 10
# Hard-negative mining: from this epoch on, every MINE_EVERY epochs, the
# negatives still scoring over 0.3 weigh NEGATIVE_MINING times more and the
# positives under 0.5 POSITIVE_MINING times more.
MINE_FROM, MINE_EVERY, NEGATIVE_MINING, POSITIVE_MINING = 4, 4, 4.0, 2.0


class WakeClassifier(nn.Module):
    """openWakeWord-style head: flatten, two hidden fully connected layers
    with layer norm and ReLU, one sigmoid output."""

    def __init__(self, hidden=128, dropout=0.3):
        super().__init__()
        # Dropout only acts in training; the exported graph has none.
        self.net = nn.Sequential(
            nn.Flatten(), nn.Dropout(0.1),
            nn.Linear(16 * 96, hidden), nn.LayerNorm(hidden), nn.ReLU(), nn.Dropout(dropout),
            nn.Linear(hidden, hidden), nn.LayerNorm(hidden), nn.ReLU(), nn.Dropout(dropout),
            nn.Linear(hidden, 1), nn.Sigmoid())

    def forward(self, x):
        return self.net(x)


class MinimumOf(nn.Module):
    """The lowest score of several heads: the phrase has to convince all."""

    def __init__(self, heads):
        super().__init__()
        self.heads = nn.ModuleList(heads)

    def forward(self, x):
        scores = torch.stack([h(x) for h in self.heads])
        return scores.min(dim=0).values


class Shifted(nn.Module):
    """Moves a score along the logit axis, so that the detector's default
    threshold lands on the operating point chosen for the classifier."""

    def __init__(self, model, shift):
        super().__init__()
        self.model = model
        self.shift = shift

    def forward(self, x):
        p = self.model(x).clamp(1e-7, 1 - 1e-7)
        return torch.sigmoid(torch.log(p) - torch.log1p(-p) + self.shift)


def group_of(m):
    return "speech" if m["kind"] == "nonspeech" else m["kind"]


def load_training(prefix, meta_path):
    rows, _, clip, _, meta = features.load_clips(prefix, meta_path)
    labels = np.array([meta[c]["label"] for c in clip], np.float32)
    groups = np.array([group_of(meta[c]) for c in clip])
    near = np.array([meta[c].get("condition", "") if meta[c]["kind"] == "near_miss" else "" for c in clip])
    return np.asarray(rows, np.float32), labels, groups, near


def pass_weights(groups, near, twins=True):
    """Each group's passes share GROUP_SHARE of the whole weight, the near
    misses in proportion to NEAR_WEIGHT; the mean weight is 1."""
    weights = np.zeros(len(groups), np.float32)
    for group, share in GROUP_SHARE.items():
        sel = groups == group
        if not sel.any():
            continue
        base = np.ones(int(sel.sum()), np.float32)
        if group == "near_miss":
            base = np.array([0.0 if (k in TWIN_KINDS and not twins) else NEAR_WEIGHT.get(k, 1.0)
                             for k in near[sel]], np.float32)
        weights[sel] = share * base / base.sum()
    return weights * len(groups)


def train(rows, labels, weights, seed, epochs=EPOCHS, batch=1024, hidden=128):
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
            p = model(x).squeeze(1).clamp(1e-6, 1 - 1e-6)
            w = w_base[idx] * hard[idx]
            loss = (loss_fn(p, y_all[idx]) * w).sum() / max(float(w.sum()), 1e-6)
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            total += float(loss) * len(idx)
        schedule.step()
        if epoch >= MINE_FROM and epoch % MINE_EVERY == 0:
            scores = torch.from_numpy(predict(model, rows))
            hard = torch.ones_like(w_base)
            hard[(y_all == 0) & (scores > 0.3)] = NEGATIVE_MINING
            hard[(y_all == 1) & (scores < 0.5)] = POSITIVE_MINING
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


def train_head(args):
    started = time.time()
    sets = [load_training(prefix, meta) for prefix, meta in args.set]
    rows = np.concatenate([s[0] for s in sets])
    labels = np.concatenate([s[1] for s in sets])
    groups = np.concatenate([s[2] for s in sets])
    near = np.concatenate([s[3] for s in sets])
    del sets
    weights = pass_weights(groups, near, twins=not args.no_twins)
    print("  training passes: %d positive, %d negative; head %d wide, seed %d%s" % (
        int(labels.sum()), int((labels == 0).sum()), args.hidden, args.seed,
        ", no twins" if args.no_twins else ""), flush=True)
    model = train(rows, labels, weights, args.seed, hidden=args.hidden)
    scores = predict(model, rows)
    print("  training set: positives >= 0.6: %.3f, negatives >= 0.6: %.4f"
          % (float((scores[labels == 1] >= 0.6).mean()), float((scores[labels == 0] >= 0.6).mean())))
    torch.save({"hidden": args.hidden, "state": model.state_dict()}, args.out)
    print("  trained in %.0f s -> %s" % (time.time() - started, args.out), flush=True)


def load_head(path):
    saved = torch.load(path)
    head = WakeClassifier(saved["hidden"])
    head.load_state_dict(saved["state"])
    return head.eval()


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    head = sub.add_parser("head", help="train one head")
    head.add_argument("--set", nargs=2, action="append", required=True, metavar=("FEATURES", "META"),
                      help="wake-features output prefix of a clip set and the set's .json")
    head.add_argument("--out", required=True, help="the head's weights (.pt)")
    head.add_argument("--seed", type=int, default=1234)
    head.add_argument("--hidden", type=int, default=128, help="width of the two hidden layers")
    head.add_argument("--no-twins", action="store_true", help="leave the twin near misses out")
    combine = sub.add_parser("combine", help="export the minimum of trained heads as ONNX")
    combine.add_argument("--out", required=True)
    combine.add_argument("--shift", type=float, default=0.0, help="logit offset added to the combined score")
    combine.add_argument("heads", nargs="+")
    args = parser.parse_args()
    torch.set_num_threads(2)
    if args.command == "head":
        train_head(args)
    else:
        heads = [load_head(p) for p in args.heads]
        model = heads[0] if len(heads) == 1 else MinimumOf(heads)
        export(Shifted(model, args.shift) if args.shift else model, args.out)
        print("  %d heads, logit shift %.3f -> %s" % (len(heads), args.shift, args.out))


if __name__ == "__main__":
    main()
