"""End to end in the real OBS app: the plug-in loads, pairs, hears the spoken
phrase and clips, carries out every chat action (each seen through
obs-websocket, not through the plug-in's log; show and hide reach the items
inside a group too), acknowledges each one rightly, and OBS closes cleanly."""

import json
import os

import obs_run
from scenario import GROUP, TENANT, VOICE_CLIPS_ON, Checks, start_dashboard, start_obs

# Effects are waited for after the command's ack arrived; OBS shows them
# within milliseconds (the replay buffer's start within 0.1 s, a save within
# about a second), so these bounds only trip when nothing happens.
EFFECT_TIMEOUT = 15.0
# One round: the next poll (3 s) and a few actions with their acks.
ROUND_TIMEOUT = 60.0
CLIP_TIMEOUT = 60.0  # the phrase plays every 4-5 s


def program_scene(name):
    def effect(ws, mark):
        event = ws.wait_event("CurrentProgramSceneChanged", mark, lambda d: d["sceneName"] == name,
                              timeout=EFFECT_TIMEOUT)
        now = ws.request("GetCurrentProgramScene")["currentProgramSceneName"]
        return event is not None and now == name, f"program scene is {now!r}"
    return effect


def item_enabled(source, enabled, scenes=("Live", "BRB"), groups=(GROUP,)):
    """In every scene and every group that holds the source, as
    show_source/hide_source promise. A group's items are in no scene's list:
    they are found through the group's own (GetGroupSceneItemList)."""
    def effect(ws, mark):
        places = [(name, ws.request("GetSceneItemId", {"sceneName": name, "sourceName": source})["sceneItemId"])
                  for name in scenes]
        for group in groups:
            items = ws.request("GetGroupSceneItemList", {"sceneName": group})["sceneItems"]
            places += [(group, item["sceneItemId"]) for item in items if item["sourceName"] == source]
        states, events = {}, 0
        for place, item_id in places:
            events += ws.wait_event("SceneItemEnableStateChanged", mark, lambda d: (
                d["sceneName"], d["sceneItemId"], d["sceneItemEnabled"]) == (place, item_id, enabled),
                timeout=EFFECT_TIMEOUT) is not None
            states[place] = ws.request("GetSceneItemEnabled", {"sceneName": place,
                                                               "sceneItemId": item_id})["sceneItemEnabled"]
        wanted = len(scenes) + len(groups)
        ok = len(states) == wanted and all(v == enabled for v in states.values()) and events == wanted
        return ok, f"enabled per scene and group {states}, {events} of {wanted} events"
    return effect


def input_muted(source, muted):
    def effect(ws, mark):
        event = ws.wait_event("InputMuteStateChanged", mark,
                              lambda d: d["inputName"] == source and d["inputMuted"] == muted, timeout=EFFECT_TIMEOUT)
        now = ws.request("GetInputMute", {"inputName": source})["inputMuted"]
        return event is not None and now == muted, f"muted is {now}"
    return effect


def replay_buffer(active):
    state = "OBS_WEBSOCKET_OUTPUT_STARTED" if active else "OBS_WEBSOCKET_OUTPUT_STOPPED"

    def effect(ws, mark):
        event = ws.wait_event("ReplayBufferStateChanged", mark, lambda d: d["outputState"] == state,
                              timeout=EFFECT_TIMEOUT)
        now = ws.request("GetReplayBufferStatus")["outputActive"]
        return event is not None and now == active, f"replay buffer active is {now}"
    return effect


def replay_saved():
    def effect(ws, mark):
        event = ws.wait_event("ReplayBufferSaved", mark, timeout=EFFECT_TIMEOUT)
        path = event and event.get("savedReplayPath")
        size = os.path.getsize(path) if path and os.path.exists(path) else 0
        return bool(path) and size > 0, f"saved {path!r} ({size} bytes)"
    return effect


def no_event(event_type):
    def effect(ws, mark):
        events = ws.events(event_type, mark)
        return not events, f"{len(events)} {event_type} events"
    return effect


def scene_changes_only(names):
    """The round's program scene changes are exactly these (a failed switch adds none)."""
    def effect(ws, mark):
        seen = [d["sceneName"] for _, _, d in ws.events("CurrentProgramSceneChanged", mark)]
        return seen == names, f"program scene changes {seen}"
    return effect


# Each round is queued at once, so that one poll fetches it, and checked once
# all of its commands are acknowledged. (id, action, target, ack status,
# effect seen through obs-websocket; None where a failed command has nothing
# to show beyond its ack)
ROUNDS = [
    [
        ("r1-save-off", "replay_buffer_save", None, "failed", no_event("ReplayBufferSaved")),
        ("r1-scene", "scene", "BRB", "done", program_scene("BRB")),
        ("r1-hide", "hide_source", "Camera", "done", item_enabled("Camera", False)),
        ("r1-hide-grouped", "hide_source", "Webcam", "done", item_enabled("Webcam", False, scenes=())),
        ("r1-mute", "mute_source", "Music", "done", input_muted("Music", True)),
        ("r1-rb-on", "replay_buffer_on", None, "done", replay_buffer(True)),
        ("r1-no-scene", "scene", "No Such Scene", "failed", scene_changes_only(["BRB"])),
        ("r1-unknown", "dance", "Camera", "failed", None),
    ],
    [
        ("r2-show", "show_source", "Camera", "done", item_enabled("Camera", True)),
        ("r2-show-grouped", "show_source", "Webcam", "done", item_enabled("Webcam", True, scenes=())),
        ("r2-unmute", "unmute_source", "Music", "done", input_muted("Music", False)),
        ("r2-save", "replay_buffer_save", None, "done", replay_saved()),
        ("r2-no-source", "hide_source", "Ghost", "failed", None),
        ("r2-no-input", "mute_source", "Ghost", "failed", None),
    ],
    [
        ("r3-rb-off", "replay_buffer_off", None, "done", replay_buffer(False)),
        ("r3-scene", "scene", "Live", "done", program_scene("Live")),
    ],
    # Started and saved in one poll: the save waits for the buffer to run.
    [
        ("r4-rb-on", "replay_buffer_on", None, "done", replay_buffer(True)),
        ("r4-save", "replay_buffer_save", None, "done", replay_saved()),
    ],
    [
        ("r5-rb-off", "replay_buffer_off", None, "done", replay_buffer(False)),
    ],
]


def run_round(check, dashboard, ws, commands):
    mark = ws.event_mark()
    for command_id, action, target, _, _ in commands:
        dashboard.queue(TENANT, command_id, action, target)
    ids = [c[0] for c in commands]

    def round_acks():
        acks = [a for a in dashboard.acks(TENANT) if a["id"] in ids]
        return acks if {a["id"] for a in acks} >= set(ids) else None

    acks = dashboard.wait(round_acks, ROUND_TIMEOUT) or [a for a in dashboard.acks(TENANT) if a["id"] in ids]
    check([a["id"] for a in acks] == ids, f"acks in the order carried out, each once: {[a['id'] for a in acks]}")
    by_id = {a["id"]: a for a in acks}
    for command_id, action, target, status, effect in commands:
        ack = by_id.get(command_id, {})
        what = f"{action} {target!r}" if target else action
        right = ack.get("status") == status and bool(ack.get("error")) == (status == "failed")
        check(right, f"{what}: acknowledged {json.dumps(ack)}, want {status!r}"
                     f"{' with a reason' if status == 'failed' else ''}")
        if effect is None:
            continue
        seen, observed = effect(ws, mark)
        check(seen, f"{what}: {'carried out' if status == 'done' else 'no effect'} in OBS ({observed})")


def test_voice_clip_and_every_chat_action_in_the_real_app(session):
    dashboard = start_dashboard(session)
    dashboard.set_settings(TENANT, VOICE_CLIPS_ON)
    run, ws = start_obs(session, dashboard, "e2e")
    check = Checks(run)
    try:
        check(run.log_count(obs_run.LOADED) == 1, "the plug-in's load line, once")
        check(run.log_count(f"[tollivaren-voice] paired tenant={TENANT} source=mic") == 1, "paired, once")
        check(run.log_count(obs_run.DETECTOR_READY) == 1, "detector ready, once")

        clips = dashboard.wait(lambda: dashboard.clips(TENANT), CLIP_TIMEOUT) or []
        clip = clips[0] if clips else {}
        check(clip.get("command") == "clip" and clip.get("source") == "mic" and
              clip.get("phrase") == "tollivaren clip it" and clip.get("confidence", 0) >= 0.6,
              f"the spoken phrase clipped: {clip}")
        posts = dashboard.requests("voice-command")
        check(bool(posts) and all(p["status"] == 200 and p["key_header"] for p in posts),
              f"clip requests carried the plug-in key and were accepted: {posts}")

        for commands in ROUNDS:
            run_round(check, dashboard, ws, commands)
        ack_requests = dashboard.requests("ack")
        check(bool(ack_requests) and all(r["status"] == 200 and r["key_header"] for r in ack_requests),
              "every acknowledgement carried the plug-in key and was accepted")

        exit_record = run.close()
        # A close that went wrong by OBS's own fault (a scene OBS 32 kept
        # alive, where allowed; obs-websocket's race as it stops) is forgiven,
        # as in the close stress and re-pairing tests.
        forgiven = None if exit_record.clean else run.obs_own_bad_close()
        check(exit_record.clean or forgiven, f"clean close: {exit_record.describe()}"
              + (f" (forgiven: {forgiven})" if forgiven else ""))
        check(exit_record.hung or exit_record.seconds <= obs_run.EXIT_BOUND,
              f"closed within {obs_run.EXIT_BOUND:.0f} s: {exit_record.seconds:.2f} s")
        check(run.log_count(obs_run.UNLOADED) == 1, "the plug-in's unload line, once")
        log = run.log_text() + run.console_text()
        secrets_seen = [t for t in list(dashboard.keys.values()) + list(dashboard.pairing.values()) if t in log]
        check(not secrets_seen, "no log line carries a plug-in key or a pairing string")
        check.verify()
    finally:
        run.kill()
        dashboard.stop()
