#!/usr/bin/python3
"""Measures how the real OBS app fares with the plug-in: closes while each
kind of chat command flows (clean exits, crashes, hangs, slowest exit), and
re-pairing to another tenant while `scene` commands wait on slow
acknowledgements. Prints a Markdown table; every run's line goes to stdout
as it ends.

  measure.py [--build DIR] [--obs CMD] [--closes N] [--mixed-closes N] [--slow-closes N]
             [--hung-closes N] [--settings-tries N] [--switch-tries N] [--rows a,b] [--seed S]
             [--out FILE]

--build is the plug-in build to install (TV_BUILD_DIR, default <repo>/build;
scripts/install.sh builds its module first if it is not up to date), --obs the
command that starts OBS (TV_OBS_COMMAND). Run folders of bad runs (OBS log,
stderr, gdb backtrace of hangs) are kept under --work (TV_REALOBS_WORK)."""

import argparse
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

CLOSE_ROWS = [  # (row, kind, ack delay range in ms, the commands poll hangs, closes option)
    ("none", "none", (300, 500), False, "closes"),
    ("scene", "scene", (300, 500), False, "closes"),
    ("mute_source", "mute_source", (300, 500), False, "closes"),
    ("show_source / hide_source", "show_hide", (300, 500), False, "closes"),
    ("show / hide with mutes", "show_hide_mute", (300, 500), False, "mixed_closes"),
    ("scene, acks after 4.5-4.9 s", "scene", (4500, 4900), False, "slow_closes"),
    ("a commands poll never answered", "none", None, True, "hung_closes"),
]
REPAIR_ROWS = [
    ("obs-websocket SetSourceFilterSettings", "settings", "settings_tries"),
    ("switch to a collection paired with another tenant", "switch", "switch_tries"),
]


def parse():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", help="plug-in build directory (TV_BUILD_DIR)")
    p.add_argument("--obs", help="command that starts OBS (TV_OBS_COMMAND)")
    p.add_argument("--work", help="folder for the session (TV_REALOBS_WORK)")
    p.add_argument("--closes", type=int, default=20, help="closes per command kind (20)")
    p.add_argument("--mixed-closes", type=int, default=10, help="closes while show/hide and mutes flow (10)")
    p.add_argument("--slow-closes", type=int, default=3, help="closes with 4.5-4.9 s acks (3)")
    p.add_argument("--hung-closes", type=int, default=3,
                   help="closes while a commands poll is never answered (3)")
    p.add_argument("--settings-tries", type=int, default=3)
    p.add_argument("--switch-tries", type=int, default=5)
    p.add_argument("--rows", default="", help="only rows whose name contains one of these words, comma-separated")
    p.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    p.add_argument("--out", help="also write the table to this file")
    args = p.parse_args()
    if args.build:
        os.environ["TV_BUILD_DIR"] = os.path.abspath(args.build)
    if args.obs:
        os.environ["TV_OBS_COMMAND"] = args.obs
    if args.work:
        os.environ["TV_REALOBS_WORK"] = os.path.abspath(args.work)
    return args


def wanted(args, name):
    words = [w.strip() for w in args.rows.split(",") if w.strip()]
    return not words or any(w in name for w in words)


def close_row(session, name, kind, ack_ms, poll_hangs, count, rng):
    import scenario
    results = []
    label = "hung-poll" if poll_hangs else kind
    for i in range(count):
        # One backtrace per row is enough to see where a hang sits.
        first_hang = not any(r.exit.hung for r in results)
        r = scenario.close_while_flowing(session, kind, ack_ms=ack_ms, rng=rng, label=f"{label}-{i + 1}",
                                         backtrace_on_hang=first_hang, poll_hangs=poll_hangs)
        print(f"  [{name}] {r.line()}", flush=True)
        results.append(r)
    exits = [r.exit for r in results]
    finished = [e.seconds for e in exits if not e.hung]
    return {
        "row": name, "closes": len(exits), "clean": sum(e.clean for e in exits),
        "crashes": sum(e.crashed for e in exits), "hangs": sum(e.hung for e in exits),
        "over_1s": sum(1 for s in finished if s > 1.0),
        "over_2s": sum(1 for s in finished if s > 2.0),
        "slowest": max(finished) if finished else None,
        "wrong": sum(len(r.wrong_reasons) for r in results),
        "acks": sum(len(r.acks) for r in results),
        "kept": [r.run.dir for r in results if not r.exit.clean],
    }


def repair_row(session, name, how, count):
    import repair
    procedure = repair.repair_by_filter_settings if how == "settings" else repair.repair_by_collection_switch
    results = []
    for i in range(count):
        r = procedure(session, label=f"repair-{how}-{i + 1}")
        print(f"  [{name}] {r.line()}", flush=True)
        results.append(r)
    answered = [r.request_seconds for r in results if not r.hung]
    return {
        "row": name, "tries": len(results), "hangs": sum(r.hung for r in results),
        "served": sum(r.served and r.active_lines == 1 for r in results),
        "request_max": max(answered) if answered else None,
        "request_median": statistics.median(answered) if answered else None,
        "unclean_close": sum(1 for r in results if r.exit and not r.exit.clean),
        "kept": [r.run.dir for r in results if r.hung or not (r.exit and r.exit.clean)],
    }


def seconds(value):
    return "-" if value is None else f"{value:.2f} s"


def table(close_rows, repair_rows, header):
    lines = [header, ""]
    if close_rows:
        lines += ["| commands flowing | closes | clean exit | crashed | hangs (> 20 s, killed) | exit > 1 s "
                  "| exit > 2 s | slowest exit | acks failed with a wrong reason |",
                  "|---|---|---|---|---|---|---|---|---|"]
        for r in close_rows:
            lines.append(f"| {r['row']} | {r['closes']} | {r['clean']} | {r['crashes']} | {r['hangs']} | "
                         f"{r['over_1s']} | {r['over_2s']} | {seconds(r['slowest'])} | {r['wrong']} of {r['acks']} |")
        lines.append("")
    if repair_rows:
        lines += ["| re-pairing while `scene` commands wait (acks after 4.5-4.9 s) | tries | hangs "
                  "| request took (median / max) | other tenant served | unclean close after |",
                  "|---|---|---|---|---|---|"]
        for r in repair_rows:
            lines.append(f"| {r['row']} | {r['tries']} | {r['hangs']} | {seconds(r['request_median'])} / "
                         f"{seconds(r['request_max'])} | {r['served']} | {r['unclean_close']} |")
    return "\n".join(lines)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    if "TV_REALOBS_OFFLINE" not in os.environ:
        # Only the loopback interface: OBS reaches for the internet on start.
        os.execv(os.path.join(here, "offline.sh"), ["offline.sh", sys.executable] + sys.argv)
    args = parse()
    import obs_app
    started = time.monotonic()
    session = obs_app.Session("measure")
    rng = random.Random(args.seed)
    print(f"measuring with the plug-in from {session.build_dir}, OBS started as {session.obs_command}, "
          f"seed {args.seed}, session {session.dir}", flush=True)
    close_rows, repair_rows = [], []
    try:
        for name, kind, ack_ms, poll_hangs, option in CLOSE_ROWS:
            if wanted(args, name) and getattr(args, option) > 0:
                close_rows.append(close_row(session, name, kind, ack_ms, poll_hangs, getattr(args, option), rng))
        for name, how, option in REPAIR_ROWS:
            if wanted(args, name) and getattr(args, option) > 0:
                repair_rows.append(repair_row(session, name, how, getattr(args, option)))
    finally:
        kept = [d for r in close_rows + repair_rows for d in r["kept"]]
        session.close(keep=bool(kept))
    minutes = (time.monotonic() - started) / 60
    text = table(close_rows, repair_rows, f"Plug-in build {session.build_dir}; OBS {' '.join(session.obs_command)}; "
                 f"acks answered after 300-500 ms unless said; seed {args.seed}; {minutes:.1f} min")
    print("\n" + text)
    if kept:
        print(f"\nbad runs kept (log, stderr, backtraces) under {session.dir}/runs")
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
