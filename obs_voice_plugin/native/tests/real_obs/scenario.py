"""What the real-app tests and the measurement share: the tenants, the scene
collections, a feeder that keeps chat commands coming, and one close while
they flow."""

import random
import secrets
import threading
import time

import obs_run
import obs_config
from dashboard import Dashboard

TENANT = "streamer-a"
OTHER_TENANT = "streamer-b"
MAIN = "Tollivaren"
OTHER = "Tollivaren Other"
# In MAIN's scene "Grouped": a group holding Webcam (in no scene itself) and Camera.
GROUP = "Cam Group"

VOICE_CLIPS_ON = {"voice_clip_enabled": True, "voice_clip_confidence_min": 0.6,
                  "voice_clip_cooldown_seconds": 15, "voice_clip_allow_mixer_tap": False}

# The chat commands each kind of flow repeats, in turn.
KINDS = {
    "none": [],
    "scene": [("scene", "BRB"), ("scene", "Live")],
    "mute_source": [("mute_source", "Music"), ("unmute_source", "Music")],
    "show_hide": [("hide_source", "Camera"), ("show_source", "Camera")],
    "show_hide_mute": [("hide_source", "Camera"), ("mute_source", "Music"),
                       ("show_source", "Camera"), ("unmute_source", "Music")],
    "scene_show_hide": [("scene", "BRB"), ("hide_source", "Camera"),
                        ("scene", "Live"), ("show_source", "Camera")],
}
# Reasons that are wrong for the targets above, which all exist while OBS runs.
WRONG_REASONS = ("scene not found", "source was not found in any scene", "source not found")


# Commands each poll fetches while they flow.
FEED_DEPTH = 5


class Checks:
    """Collects failed checks; the test fails at the end with all of them and
    the log and stderr of its runs (one run, or several: OBS started again)."""

    def __init__(self, *runs):
        self.runs, self.failed, self.passed = list(runs), [], []

    def __call__(self, ok, what):
        (self.passed if ok else self.failed).append(what)
        return ok

    def verify(self):
        if self.failed:
            raise AssertionError("failed checks:\n  " + "\n  ".join(self.failed) +
                                 "\npassed:\n  " + "\n  ".join(self.passed) + "\n" +
                                 "\n".join(run.report() for run in self.runs))


def start_dashboard(session):
    tenants = {TENANT: "key-a-" + secrets.token_hex(8), OTHER_TENANT: "key-b-" + secrets.token_hex(8)}
    return Dashboard(session.dashboard_binary, tenants)


def collections(session, dashboard):
    """MAIN: "Live" (Mic, Music, Camera), "BRB" (Music, Camera) and "Grouped"
    (the group GROUP holding Webcam and Camera), the filter on Mic paired with
    TENANT. OTHER: "Stage" and "Break", its filter paired with OTHER_TENANT."""
    return {
        MAIN: ([("Live", ["Mic", "Music", "Camera"]), ("BRB", ["Music", "Camera"]), ("Grouped", [GROUP])],
               [obs_config.media_source("Mic", session.phrase_wav,
                                        [obs_config.voice_filter(dashboard.pairing[TENANT])]),
                obs_config.media_source("Music", session.tone_wav),
                obs_config.color_source("Camera"),
                obs_config.color_source("Webcam", 0xFFC06030)],
               [(GROUP, ["Webcam", "Camera"])]),
        OTHER: ([("Stage", ["Mic B", "Camera B"]), ("Break", ["Camera B"])],
                [obs_config.media_source("Mic B", session.phrase_wav,
                                         [obs_config.voice_filter(dashboard.pairing[OTHER_TENANT])]),
                 obs_config.color_source("Camera B", 0xFF30C060)]),
    }


def start_obs(session, dashboard, label, collection=MAIN):
    """A fresh run of OBS with the plug-in paired; returns (run, websocket)
    once the plug-in serves the collection's tenant and obs-websocket answers."""
    run = session.new_run(label)
    run.configure(collections(session, dashboard), collection)
    run.start()
    try:
        ws = run.wait_started(TENANT if collection == MAIN else OTHER_TENANT)
    except Exception:
        run.kill()
        raise
    return run, ws


class CommandFeeder:
    """Keeps `depth` of the kind's commands queued for a tenant and not yet
    acknowledged, topping up every `interval` s: each poll fetches a few, and
    a slow back-end does not pile them up."""

    def __init__(self, dashboard, tenant, commands, label, interval=1.0, depth=3):
        self.dashboard, self.tenant, self.commands, self.label = dashboard, tenant, commands, label
        self.interval, self.depth = interval, depth
        self.queued = []  # (id, action, target)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        if self.commands:
            self._thread.start()
        return self

    def _run(self):
        while not self._stop.is_set():
            try:
                acked = {a["id"] for a in self.dashboard.acks(self.tenant)}
                waiting = sum(1 for c in self.queued if c[0] not in acked)
                for _ in range(self.depth - waiting):
                    n = len(self.queued)
                    action, target = self.commands[n % len(self.commands)]
                    self.dashboard.queue(self.tenant, f"{self.label}-{n}", action, target)
                    self.queued.append((f"{self.label}-{n}", action, target))
            except OSError:
                return  # the dashboard is gone: the run is over
            self._stop.wait(self.interval)

    def stop(self):
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join(timeout=30)


class CloseResult:
    def __init__(self, kind, run, exit_record, acks, close_after):
        self.kind, self.run, self.exit, self.acks, self.close_after = kind, run, exit_record, acks, close_after
        self.dashboard_stopped = None  # the dashboard process ended cleanly when stopped after the run

    @property
    def wrong_reasons(self):
        return [a for a in self.acks if a.get("status") == "failed" and a.get("error") in WRONG_REASONS]

    def line(self):
        done = sum(1 for a in self.acks if a.get("status") == "done")
        return (f"{self.run.dir.rsplit('/', 1)[-1]}: closed {self.close_after:.2f} s into the flow -> "
                f"{self.exit.describe()}; acks done {done}, failed {len(self.acks) - done} "
                f"({len(self.wrong_reasons)} with a wrong reason)"
                + ("; the dashboard did not stop cleanly" if self.dashboard_stopped is False else ""))


def close_while_flowing(session, kind, ack_ms=(300, 500), rng=None, label=None, hang_after=obs_run.HANG_AFTER,
                        backtrace_on_hang=True, poll_hangs=False):
    """Starts OBS, lets the kind's commands flow (acknowledgements answered
    after a random time in ack_ms), and closes the window at a random moment
    while a poll's commands are being carried out (for "none": at a random
    moment of the poll cycle). poll_hangs: the dashboard never answers a
    commands poll (it holds the answer back until it stops), and the window
    is closed within 1 s of a poll's arrival, while the plug-in waits for it."""
    rng = rng or random.Random()
    label = label or kind
    dashboard = start_dashboard(session)
    feeder = run = result = None
    try:
        if ack_ms:
            dashboard.slow("ack", *ack_ms)
        if poll_hangs:
            dashboard.hang("commands")
        run, _ = start_obs(session, dashboard, label)
        feeder = CommandFeeder(dashboard, TENANT, KINDS[kind], label, depth=FEED_DEPTH).start()
        # The first poll comes 3 s after pairing, its first ack a slow answer later.
        if poll_hangs:
            endpoint, came = "commands", lambda: dashboard.arrivals("commands")
        else:
            endpoint = "ack" if KINDS[kind] else "commands"
            came = lambda: dashboard.requests(endpoint)
        if not dashboard.wait(came, obs_run.START_TIMEOUT):
            raise RuntimeError(f"no '{endpoint}' request reached the dashboard\n{run.report()}")
        flowing_since = time.monotonic()
        # While commands flow: a random moment of the cycle's busy part (the
        # first ack came; FEED_DEPTH - 1 more follow, each a slow answer).
        # While a poll hangs: within the second after it arrived.
        # Without commands: a random moment of the 3 s poll cycle.
        time.sleep(rng.uniform(0.0, 1.0 if KINDS[kind] or poll_hangs else 3.0))
        close_after = time.monotonic() - flowing_since
        exit_record = run.close(hang_after=hang_after, backtrace_on_hang=backtrace_on_hang)
        feeder.stop()
        result = CloseResult(kind, run, exit_record, dashboard.acks(TENANT), close_after)
        return result
    finally:
        if feeder:
            feeder.stop()
        if run:
            run.kill()  # still running only when something above failed
        stopped = dashboard.stop()
        if result:
            result.dashboard_stopped = stopped
