"""The isolated OBS configuration of one run: global.ini (no first-run wizard,
no exit question, obs-websocket on a given port without a password), a profile
with a small x264 output and the replay buffer enabled, and scene
collections whose sources and filters are described by plain dicts."""

import json
import os

PROFILE = "Tollivaren"
FILTER_ID = "tollivaren_voice_filter"
FILTER_NAME = "Tollivaren Voice Clip"


def write_ini(path, sections):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        for section, values in sections.items():
            f.write(f"[{section}]\n")
            for key, value in values.items():
                f.write(f"{key}={value}\n")
            f.write("\n")


def write_global_ini(obs_dir, websocket_port, collection):
    sections = {
        "General": {"FirstRun": "true", "ConfirmOnExit": "false", "EnableAutoUpdates": "false",
                    "MaxLogs": "10"},
        "BasicWindow": {"PreviewEnabled": "false", "SysTrayEnabled": "false",
                        "SysTrayWhenStarted": "false", "WarnBeforeStoppingReplay": "false"},
        "Basic": {"Profile": PROFILE, "ProfileDir": PROFILE, "SceneCollection": collection,
                  "SceneCollectionFile": collection},
        "OBSWebSocket": {"FirstLoad": "false", "ServerEnabled": "true", "ServerPort": str(websocket_port),
                         "AuthRequired": "false", "AlertsEnabled": "false", "ServerPassword": ""},
    }
    write_ini(os.path.join(obs_dir, "global.ini"), sections)
    # OBS 31 and later keep the same settings in user.ini.
    write_ini(os.path.join(obs_dir, "user.ini"), sections)
    # obs-websocket 5.3 and later (OBS 30 on) read a JSON file of their own.
    websocket_dir = os.path.join(obs_dir, "plugin_config", "obs-websocket")
    os.makedirs(websocket_dir, exist_ok=True)
    with open(os.path.join(websocket_dir, "config.json"), "w", encoding="utf-8") as f:
        json.dump({"first_load": False, "server_enabled": True, "server_port": websocket_port,
                   "alerts_enabled": False, "auth_required": False, "server_password": ""}, f)


def write_profile(obs_dir, recordings_dir):
    os.makedirs(recordings_dir, exist_ok=True)
    write_ini(os.path.join(obs_dir, "basic", "profiles", PROFILE, "basic.ini"), {
        "General": {"Name": PROFILE},
        "Output": {"Mode": "Simple"},
        "SimpleOutput": {"FilePath": recordings_dir, "RecFormat": "mkv", "RecFormat2": "mkv",
                         "RecQuality": "Stream", "StreamEncoder": "x264", "RecEncoder": "x264",
                         "VBitrate": "300", "ABitrate": "64", "Preset": "ultrafast",
                         "RecRB": "true", "RecRBTime": "5", "RecRBSize": "32", "RecRBPrefix": "Replay"},
        "Video": {"BaseCX": "640", "BaseCY": "360", "OutputCX": "640", "OutputCY": "360",
                  "FPSType": "1", "FPSInt": "15"},
        "Audio": {"SampleRate": "48000", "ChannelSetup": "Stereo"},
    })


def bind_hotkey(obs_dir, hotkey_name, obs_key):
    """Binds a hotkey to a key in the profile, as OBS's settings window
    keeps it: basic.ini, section [Hotkeys], the hotkey's name = its bindings
    as JSON (obs_key: e.g. "OBS_KEY_F9")."""
    path = os.path.join(obs_dir, "basic", "profiles", PROFILE, "basic.ini")
    with open(path, encoding="utf-8-sig") as f:
        lines = f.read().splitlines()
    entry = f"{hotkey_name}=" + json.dumps({"bindings": [{"key": obs_key}]}, separators=(",", ":"))
    lines = [line for line in lines if not line.startswith(hotkey_name + "=")]
    if "[Hotkeys]" in lines:
        lines.insert(lines.index("[Hotkeys]") + 1, entry)
    else:
        lines += ["", "[Hotkeys]", entry]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def voice_filter(pairing, source_class="mic"):
    return {"id": FILTER_ID, "versioned_id": FILTER_ID, "name": FILTER_NAME, "enabled": True,
            "settings": {"pairing": pairing, "source_class": source_class}}


def media_source(name, wav_path, filters=()):
    """A looping WAV file standing in for a microphone (no audio device exists headless)."""
    return {"id": "ffmpeg_source", "versioned_id": "ffmpeg_source", "name": name, "enabled": True,
            "mixers": 255, "volume": 1.0, "muted": False, "flags": 0, "sync": 0,
            "settings": {"is_local_file": True, "local_file": wav_path, "looping": True,
                         "close_when_inactive": False, "restart_on_activate": False,
                         "clear_on_media_end": False, "hw_decode": False},
            "filters": list(filters)}


def color_source(name, color=0xFF3060C0):
    return {"id": "color_source_v3", "versioned_id": "color_source_v3", "name": name, "enabled": True,
            "mixers": 0, "flags": 0, "settings": {"color": color, "width": 320, "height": 180}}


def scene(name, source_names, kind="scene"):
    """A scene, or a group (kind "group": OBS keeps groups as scenes of their
    own, listed under "groups", and a scene holds a group's item by its name)."""
    items = [{"name": source, "id": i + 1, "visible": True, "locked": False, "rot": 0.0,
              "pos": {"x": 0.0, "y": 0.0}, "scale": {"x": 1.0, "y": 1.0}, "align": 5,
              "bounds_type": 0, "bounds_align": 0, "bounds": {"x": 0.0, "y": 0.0},
              "crop_left": 0, "crop_top": 0, "crop_right": 0, "crop_bottom": 0}
             for i, source in enumerate(source_names)]
    return {"id": kind, "versioned_id": kind, "name": name, "enabled": True, "mixers": 0,
            "flags": 0, "settings": {"items": items, "id_counter": len(items), "custom_size": False}}


def write_collection(obs_dir, name, scenes, sources, groups=()):
    """scenes: [(scene name, [source or group names])], the first is the
    program scene; sources: dicts from media_source / color_source; groups:
    [(group name, [source names])]."""
    document = {
        "name": name,
        "current_scene": scenes[0][0],
        "current_program_scene": scenes[0][0],
        "scene_order": [{"name": s[0]} for s in scenes],
        "sources": [scene(n, items) for n, items in scenes] + list(sources),
        "groups": [scene(n, items, "group") for n, items in groups],
        "quick_transitions": [], "transitions": [], "saved_projectors": [],
        "current_transition": "Cut", "transition_duration": 300, "preview_locked": False,
        "scaling_enabled": False, "modules": {},
    }
    path = os.path.join(obs_dir, "basic", "scenes", name + ".json")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=1)


