"""Closing the real OBS app (WM_DELETE_WINDOW, as a click on the window's
close button) at random moments while show/hide and scene commands (or the
kind of commands TV_REALOBS_CLOSE_KIND names, one of scenario.KINDS) are being
carried out and the back-end answers each acknowledgement after 300-500 ms,
as a hosted one over the internet does. Every close must end in a clean exit
within obs_run.EXIT_BOUND: no crash, no hang (no exit within
obs_run.HANG_AFTER s: killed).

With a back-end that hangs, the plug-in must not hold OBS's close: closes
while a commands poll is never answered, and while `scene` commands are in
hand and acknowledgements are answered only after 4.5-4.9 s (just under the
plug-in's 5 s request time-out), each end cleanly within HUNG_EXIT_BOUND of
the close request.

OBS 32 sometimes fails to release a scene when the window closes, with no
plug-in installed at all (close_without_plugin.py shows it), logs
obs_run.OBS_LEFTOVER and may then crash in its own threads. For such an OBS
TV_REALOBS_OBS_LEFTOVERS allows that many closes to go wrong in
a run whose log says so; a hang, or a bad close without that line, still
fails. The default is 0: Debian 12's OBS 29 never does it. A crash in
obs-websocket's own server thread as it stops, after the plug-in unloaded
(obs_run.WEBSOCKET_STOPPING), is forgiven once per test."""

import os
import random

import pytest

import obs_run
from scenario import close_while_flowing

CLOSES = int(os.environ.get("TV_REALOBS_CLOSES", "20"))
KIND = os.environ.get("TV_REALOBS_CLOSE_KIND", "scene_show_hide")
OBS_LEFTOVERS = obs_run.OBS_LEFTOVERS
# Closes per kind of hung back-end: each takes a start of OBS and a slow poll
# cycle, so a few keep the real-app stage short.
HUNG_CLOSES = int(os.environ.get("TV_REALOBS_HUNG_CLOSES", "3"))
# Whatever the back-end does, the plug-in holds OBS's close for at most about
# a second; OBS alone exits in 0.2-0.3 s.
HUNG_EXIT_BOUND = 2.0
HUNG_BACKENDS = {
    # (command kind, acknowledgements answered after (ms), the commands poll hangs)
    "poll_never_answered": ("none", None, True),
    "acks_after_4_5_s": ("scene", (4500, 4900), False),
}


def seed_and_rng():
    seed = int(os.environ.get("TV_REALOBS_SEED", random.randrange(1 << 30)))
    return seed, random.Random(seed)


def judge(results, bound, what, problems=()):
    """Fails unless every close was clean within `bound` s (and `problems`,
    more failures found by the caller, is empty); closes that went wrong after
    OBS's own leftover line count against OBS_LEFTOVERS."""
    bad = [r for r in results if not r.exit.clean or r.exit.seconds > bound]
    obs_own = [r for r in bad if not r.exit.hung and r.run.log_count(obs_run.OBS_LEFTOVER) > 0]
    websocket = [r for r in bad if r not in obs_own and r.run.crashed_in_websocket_stop()]
    ours = [r for r in bad if r not in obs_own and r not in websocket]
    crashes = sum(r.exit.crashed for r in results)
    hangs = sum(r.exit.hung for r in results)
    slowest = max(r.exit.seconds for r in results if not r.exit.hung) if hangs < len(results) else None
    summary = (f"{len(results)} closes {what}: {len(results) - len(bad)} clean within {bound:.0f} s, "
               f"{crashes} crashes, {hangs} hangs, slowest exit "
               + (f"{slowest:.2f} s" if slowest is not None else "-")
               + f"; {len(obs_own)} bad after OBS's own \"{obs_run.OBS_LEFTOVER}\" (allowed {OBS_LEFTOVERS})"
               + f", {len(websocket)} crashed in obs-websocket's stop (allowed {obs_run.WEBSOCKET_STOP_CRASHES})")
    print(summary)
    for r in results:
        print("  " + r.line())
    if ours or len(obs_own) > OBS_LEFTOVERS or len(websocket) > obs_run.WEBSOCKET_STOP_CRASHES:
        shown = ours or obs_own + websocket
        details = "\n\n".join(r.line() + "\n" + r.run.report(log_lines=60) for r in shown[:3])
        raise AssertionError("\n".join([summary, *problems]) + f"\n\nthe first {min(3, len(shown))} of "
                             f"{len(shown)} bad runs (every run's line is in the captured output):\n" + details)
    assert not problems, "\n".join([summary, *problems])


def test_closes_while_commands_flow(session):
    seed, rng = seed_and_rng()
    results = [close_while_flowing(session, KIND, ack_ms=(300, 500), rng=rng,
                                   label=f"close-{i + 1}") for i in range(CLOSES)]
    judge(results, obs_run.EXIT_BOUND, f"while {KIND} commands flow (seed {seed})")


@pytest.mark.parametrize("backend", sorted(HUNG_BACKENDS))
def test_closes_with_a_hung_backend_end_within_2_s(session, backend):
    kind, ack_ms, poll_hangs = HUNG_BACKENDS[backend]
    seed, rng = seed_and_rng()
    results = [close_while_flowing(session, kind, ack_ms=ack_ms, rng=rng, poll_hangs=poll_hangs,
                                   label=f"{backend}-{i + 1}") for i in range(HUNG_CLOSES)]
    # The dashboard still holds the hung answers when the run ends; it must
    # release them and stop by itself.
    problems = [f"the dashboard did not stop cleanly after {r.line()}" for r in results if not r.dashboard_stopped]
    judge(results, HUNG_EXIT_BOUND, f"with a hung back-end, {backend} (seed {seed})", problems)
