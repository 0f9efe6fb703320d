"""Closing the real OBS app (WM_DELETE_WINDOW, as a click on the window's
close button) at random moments while show/hide and scene commands are being
carried out and the back-end answers each acknowledgement after 300-500 ms,
as a hosted one over the internet does. Every close must end in a clean exit
within obs_run.EXIT_BOUND: no crash, no hang (no exit within
obs_run.HANG_AFTER s: killed)."""

import os
import random

import obs_run
from scenario import close_while_flowing

CLOSES = int(os.environ.get("TV_REALOBS_CLOSES", "20"))


def test_closes_while_show_hide_and_scene_commands_flow(session):
    seed = int(os.environ.get("TV_REALOBS_SEED", random.randrange(1 << 30)))
    rng = random.Random(seed)
    results = [close_while_flowing(session, "scene_show_hide", ack_ms=(300, 500), rng=rng,
                                   label=f"close-{i + 1}") for i in range(CLOSES)]
    bad = [r for r in results if not r.exit.clean or r.exit.seconds > obs_run.EXIT_BOUND]
    crashes = sum(r.exit.crashed for r in results)
    hangs = sum(r.exit.hung for r in results)
    slowest = max(r.exit.seconds for r in results if not r.exit.hung) if hangs < len(results) else None
    summary = (f"{len(results)} closes (seed {seed}): {len(results) - len(bad)} clean within "
               f"{obs_run.EXIT_BOUND:.0f} s, {crashes} crashes, {hangs} hangs, slowest exit "
               + (f"{slowest:.2f} s" if slowest is not None else "-"))
    print(summary)
    for r in results:
        print("  " + r.line())
    if bad:
        details = "\n\n".join(r.line() + "\n" + r.run.report(log_lines=60) for r in bad[:3])
        raise AssertionError(summary + f"\n\nthe first {min(3, len(bad))} of {len(bad)} bad runs "
                             "(every run's line is in the captured output):\n" + details)
