"""Re-pairing the filter to another tenant while `scene` commands flow and the
back-end answers acknowledgements just under the plug-in's 5 s time-out:
(a) through obs-websocket's SetSourceFilterSettings, which runs the filter's
`update` on a websocket thread; (b) by switching to a scene collection whose
filter is paired with the other tenant, which OBS loads on its UI thread."""

import time

import obs_run
import scenario
from obs_config import FILTER_NAME
from scenario import OTHER, OTHER_TENANT, TENANT

SLOW_ACKS = (4500, 4900)
# A collection switch takes OBS well under a second; one that has not been
# answered in 30 s is stuck for good (the UI thread is deadlocked).
SWITCH_LIMIT = 30.0
# How long the other tenant may take to be served after the re-pairing: the
# cycle in progress may finish first (a few slow acks), then one poll period.
SERVE_LIMIT = 60.0


class RepairResult:
    def __init__(self, how, run):
        self.how, self.run = how, run
        self.request_seconds = None  # how long the re-pairing request took
        self.hung = False            # the request or the window never answered
        self.answering = None        # (b) the window answered a UI request after the switch
        self.active_lines = 0        # "control active for tenant=<other>" lines
        self.served = False          # a command of the other tenant carried out and acknowledged "done"
        self.old_polls_after = None  # polls for the old tenant after the other's first poll
        self.exit = None
        self.notes = []

    def line(self):
        parts = [f"{self.run.dir.rsplit('/', 1)[-1]}: {self.how}"]
        if self.hung:
            parts.append("HANG" + (f" (request unanswered after {self.request_seconds:.1f} s)"
                                   if self.request_seconds is not None else ""))
        else:
            parts.append(f"request took {self.request_seconds:.2f} s")
        if self.answering is not None:
            parts.append("window answering" if self.answering else "window NOT answering")
        parts.append(f"other tenant served: {self.served}, active lines: {self.active_lines}")
        if self.old_polls_after:
            parts.append(f"old tenant polled {self.old_polls_after} more times")
        if self.exit:
            parts.append("close: " + self.exit.describe())
        return "; ".join(parts + self.notes)


def _flowing(session, label, collection_check=None):
    dashboard = scenario.start_dashboard(session)
    dashboard.slow("ack", *SLOW_ACKS)
    run, ws = scenario.start_obs(session, dashboard, label)
    feeder = scenario.CommandFeeder(dashboard, TENANT, scenario.KINDS["scene"], label,
                                    depth=scenario.FEED_DEPTH).start()
    # First ack: a poll's commands are being carried out, the rest still to come.
    if not dashboard.wait(lambda: dashboard.acks(TENANT), obs_run.START_TIMEOUT + 10):
        feeder.stop()
        run.kill()
        dashboard.stop()
        raise RuntimeError("no acknowledgement reached the dashboard\n" + run.report())
    return dashboard, run, ws, feeder


def _check_served(result, dashboard, ws, action, target, effect):
    """Queues a command for the other tenant and sees it carried out in OBS."""
    run = result.run
    try:
        run.wait_log(obs_run.control_active(OTHER_TENANT), SERVE_LIMIT)
    except RuntimeError:
        result.notes.append("the other tenant never became active")
        return
    mark = ws.event_mark()
    dashboard.queue(OTHER_TENANT, "other-1", action, target)
    acks = dashboard.wait(lambda: [a for a in dashboard.acks(OTHER_TENANT) if a["id"] == "other-1"], SERVE_LIMIT)
    seen = effect(ws, mark)
    result.served = bool(acks) and acks[0].get("status") == "done" and seen
    if not result.served:
        result.notes.append(f"other tenant's command: ack {acks}, effect seen {seen}")
    result.active_lines = run.log_count(obs_run.control_active(OTHER_TENANT))
    requests = dashboard.requests("commands")
    first_other = next((r["received_ms"] for r in requests if r["tenant"] == OTHER_TENANT), None)
    if first_other is not None:
        result.old_polls_after = sum(1 for r in requests if r["tenant"] == TENANT and r["received_ms"] > first_other)


def _finish(result, dashboard, feeder):
    feeder.stop()
    dashboard.heal()
    if result.hung:
        result.run.backtrace()
        result.run.kill()
    else:
        result.exit = result.run.close()
    dashboard.stop()
    return result


def repair_by_filter_settings(session, label="repair-settings"):
    dashboard, run, ws, feeder = _flowing(session, label)
    result = RepairResult("SetSourceFilterSettings", run)
    try:
        start = time.monotonic()
        try:
            ws.request("SetSourceFilterSettings", {
                "sourceName": "Mic", "filterName": FILTER_NAME, "overlay": True,
                "filterSettings": {"pairing": dashboard.pairing[OTHER_TENANT], "source_class": "mic"}},
                timeout=120)
        except TimeoutError:
            result.hung = True
        result.request_seconds = time.monotonic() - start
        feeder.stop()
        dashboard.heal()
        if not result.hung:
            _check_served(result, dashboard, ws, "mute_source", "Music", lambda ws, mark: ws.wait_event(
                "InputMuteStateChanged", mark, lambda d: d["inputName"] == "Music" and d["inputMuted"],
                timeout=15) is not None)
    finally:
        _finish(result, dashboard, feeder)
    return result


def repair_by_collection_switch(session, label="repair-collection"):
    dashboard, run, ws, feeder = _flowing(session, label)
    result = RepairResult("SetCurrentSceneCollection", run)
    try:
        probe = run.websocket()  # a connection of its own, in case one request blocks the other
        start = time.monotonic()
        try:
            ws.request("SetCurrentSceneCollection", {"sceneCollectionName": OTHER}, timeout=SWITCH_LIMIT)
        except TimeoutError:
            result.hung = True
        result.request_seconds = time.monotonic() - start
        if not result.hung:
            # A request that OBS must carry out on its UI thread.
            try:
                probe.request("SetCurrentProgramScene", {"sceneName": "Break"}, timeout=SWITCH_LIMIT)
                current = probe.request("GetCurrentProgramScene")["currentProgramSceneName"]
                result.answering = current == "Break"
            except (TimeoutError, ConnectionError) as e:
                result.answering = False
                result.hung = True
                result.notes.append(f"probe: {e}")
        feeder.stop()
        dashboard.heal()
        if not result.hung:
            _check_served(result, dashboard, ws, "scene", "Stage", lambda ws, mark: ws.wait_event(
                "CurrentProgramSceneChanged", mark, lambda d: d["sceneName"] == "Stage",
                timeout=15) is not None)
    finally:
        _finish(result, dashboard, feeder)
    return result
