"""Re-pairing the filter to another tenant while `scene` commands flow and the
back-end answers acknowledgements just under the plug-in's 5 s time-out:
(a) through obs-websocket's SetSourceFilterSettings, which runs the filter's
`update` on a websocket thread; (b) by switching to a scene collection whose
filter is paired with the other tenant, which OBS loads on its UI thread.
Also re-pairing the same tenant with a new key, once the dashboard refuses
the old one."""

import secrets
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
        # Same tenant, new key: polls refused (401) after the key changed and
        # before the re-pairing; after it, refused polls before the first one
        # answered (one that set out before the re-pairing can arrive just
        # after it), polls answered, and refused polls after the first answered.
        self.refused_old = None
        self.stale_polls = None
        self.new_key_polls = None
        self.refused_after = None
        self.secrets_logged = None

    def line(self):
        parts = [f"{self.run.dir.rsplit('/', 1)[-1]}: {self.how}"]
        if self.hung:
            parts.append("HANG" + (f" (request unanswered after {self.request_seconds:.1f} s)"
                                   if self.request_seconds is not None else ""))
        else:
            parts.append(f"request took {self.request_seconds:.2f} s")
        if self.answering is not None:
            parts.append("window answering" if self.answering else "window NOT answering")
        if self.refused_old is None:
            parts.append(f"other tenant served: {self.served}, active lines: {self.active_lines}")
        else:
            parts.append(f"served with the new key: {self.served}")
        if self.old_polls_after:
            parts.append(f"old tenant polled {self.old_polls_after} more times")
        if self.refused_old is not None:
            parts.append(f"polls refused with the old key {self.refused_old}, after the re-pairing: "
                         f"{self.stale_polls} refused before the first answered, {self.new_key_polls} answered, "
                         f"{self.refused_after} refused after")
        if self.secrets_logged:
            parts.append(f"{self.secrets_logged} keys or pairing strings in the log")
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


def _set_pairing(result, ws, pairing):
    """Pastes a pairing string through SetSourceFilterSettings; records how long it took."""
    start = time.monotonic()
    try:
        ws.request("SetSourceFilterSettings", {
            "sourceName": "Mic", "filterName": FILTER_NAME, "overlay": True,
            "filterSettings": {"pairing": pairing, "source_class": "mic"}}, timeout=120)
    except TimeoutError:
        result.hung = True
    result.request_seconds = time.monotonic() - start


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
        _set_pairing(result, ws, dashboard.pairing[OTHER_TENANT])
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


def _polls(dashboard, since_ms):
    """The tenant's commands polls that arrived after since_ms (monotonic), in arrival order."""
    return [r for r in dashboard.requests("commands") if r["tenant"] == TENANT and r["received_ms"] > since_ms]


def repair_with_new_key(session, label="repair-new-key"):
    """The streamer rotates a leaked key: the dashboard gives the tenant a new
    key and refuses the old one from then on; once the plug-in's polls are
    refused, the new pairing string (same tenant, same server) is pasted
    through SetSourceFilterSettings. The polls after it must carry the new
    key (the dashboard answers them), and a command is served again."""
    dashboard = scenario.start_dashboard(session)
    try:
        run, ws = scenario.start_obs(session, dashboard, label)
    except Exception:
        dashboard.stop()
        raise
    result = RepairResult("new key for the same tenant, SetSourceFilterSettings", run)
    shown = list(dashboard.keys.values()) + list(dashboard.pairing.values())
    try:
        if not dashboard.wait(lambda: [r for r in _polls(dashboard, 0) if r["status"] == 200], SERVE_LIMIT):
            raise RuntimeError("no poll with the first key was answered\n" + run.report())
        rotated_ms = time.monotonic() * 1000
        shown.append(dashboard.new_key(TENANT, "key-a2-" + secrets.token_hex(8)))
        shown.append(dashboard.keys[TENANT])
        refused = dashboard.wait(lambda: [r for r in _polls(dashboard, rotated_ms) if r["status"] == 401],
                                 SERVE_LIMIT)
        result.refused_old = len(refused or [])
        _set_pairing(result, ws, dashboard.pairing[TENANT])
        repaired_ms = time.monotonic() * 1000
        answered = not result.hung and dashboard.wait(
            lambda: [r for r in _polls(dashboard, repaired_ms) if r["status"] == 200], SERVE_LIMIT)
        if answered:
            mark = ws.event_mark()
            dashboard.queue(TENANT, "new-key-1", "mute_source", "Music")
            acks = dashboard.wait(lambda: [a for a in dashboard.acks(TENANT) if a["id"] == "new-key-1"],
                                  SERVE_LIMIT)
            seen = ws.wait_event("InputMuteStateChanged", mark,
                                 lambda d: d["inputName"] == "Music" and d["inputMuted"], timeout=15) is not None
            result.served = bool(acks) and acks[0].get("status") == "done" and seen
            if not result.served:
                result.notes.append(f"command after the re-pairing: ack {acks}, effect seen {seen}")
        statuses = [r["status"] for r in _polls(dashboard, repaired_ms)]
        first_answered = statuses.index(200) if 200 in statuses else len(statuses)
        result.stale_polls = statuses[:first_answered].count(401)
        result.new_key_polls = statuses.count(200)
        result.refused_after = statuses[first_answered:].count(401)
        if len(statuses) > result.stale_polls + result.new_key_polls + result.refused_after:
            result.notes.append(f"poll statuses after the re-pairing: {statuses}")
    finally:
        try:
            result.exit = run.close()
        finally:
            run.kill()  # still running only when the close failed
            dashboard.stop()
    log = run.log_text() + run.console_text()
    result.secrets_logged = sum(1 for text in shown if text in log)
    return result
