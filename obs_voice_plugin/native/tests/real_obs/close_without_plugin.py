#!/usr/bin/python3
"""OBS's own close after scene switches, without the plug-in: the scenes and
sources of the close stress test, scene switches and show/hide sent through
obs-websocket (SetCurrentProgramScene, SetSceneItemEnabled in every scene),
and the window closed at a random moment of that flow. Counts the exits,
the crashes and the runs whose log says "Not all sources were cleared when
clearing scene data". OBS 32 leaves the scene switched away from alive at
close in some of these runs and then crashes in its media or destroy thread,
with no plug-in installed at all; this is how to see that, and to check
whether a newer OBS still does it.

  close_without_plugin.py [--runs N] [--seed S] [--flow scene_show_hide|scene|show_hide|none]
                          [--quiet SECONDS] [--with-plugin]

Same environment as the tests (TV_OBS_ROOT, TV_OBS_ARGS, TV_REALOBS_GDB,
TV_REALOBS_WORK, ...). --with-plugin installs and pairs the plug-in (it gets
no commands); --quiet waits that long after the flow's last request
before closing. Run it through offline.sh. Exit status 0 whatever it counted:
it measures OBS, it does not test the plug-in."""

import argparse
import itertools
import os
import random
import shutil
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import obs_app  # noqa: E402
import obs_run  # noqa: E402
import scenario  # noqa: E402

NOT_CLEARED = obs_run.OBS_LEFTOVER
FLOWS = {
    "scene_show_hide": [("scene", "BRB"), ("hide", "Camera"), ("scene", "Live"), ("show", "Camera")],
    "scene": [("scene", "BRB"), ("scene", "Live")],
    "show_hide": [("hide", "Camera"), ("show", "Camera")],
    "none": [],
}


def start_without_plugin(session, dashboard, label):
    """The close stress test's main collection, its voice filter taken off,
    in an OBS with no plug-in installed."""
    run = session.new_run(label)
    shutil.rmtree(os.path.join(run.obs_dir, "plugins"))
    scenes, sources, groups = scenario.collections(session, dashboard)[scenario.MAIN]
    sources = [{k: v for k, v in source.items() if k != "filters"} for source in sources]
    run.configure({scenario.MAIN: (scenes, sources, groups)}, scenario.MAIN)
    run.start()
    return run, run.websocket()


def ready_item_ids(ws, source):
    """The source's scene item id in each scene, once obs-websocket serves requests."""
    deadline = time.monotonic() + 60
    while True:
        try:
            return {scene: ws.request("GetSceneItemId", {"sceneName": scene, "sourceName": source})["sceneItemId"]
                    for scene in ("Live", "BRB")}
        except Exception:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def flow(ws, steps, item_ids, rng, stop):
    for kind, target in itertools.cycle(steps):
        if stop.is_set():
            return
        try:
            if kind == "scene":
                ws.request("SetCurrentProgramScene", {"sceneName": target})
            else:
                for scene, item in item_ids.items():
                    ws.request("SetSceneItemEnabled", {"sceneName": scene, "sceneItemId": item,
                                                       "sceneItemEnabled": kind == "show"})
        except Exception:
            return  # the connection closed with the window
        stop.wait(rng.uniform(0.3, 0.5))


def one_close(session, rng, label, args):
    dashboard = scenario.start_dashboard(session)
    run = None
    try:
        if args.with_plugin:
            run, ws = scenario.start_obs(session, dashboard, label)
        else:
            run, ws = start_without_plugin(session, dashboard, label)
        item_ids = ready_item_ids(ws, "Camera")
        stop = threading.Event()
        feeder = threading.Thread(target=flow, args=(ws, FLOWS[args.flow], item_ids, rng, stop), daemon=True)
        feeder.start()
        time.sleep(rng.uniform(0.3, 1.3))
        stop.set()
        feeder.join(10)
        time.sleep(args.quiet)
        record = run.close()
        return record, run.log_count(NOT_CLEARED) > 0, run
    finally:
        if run:
            run.kill()
        dashboard.stop()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=20)
    p.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    p.add_argument("--flow", choices=sorted(FLOWS), default="scene_show_hide")
    p.add_argument("--quiet", type=float, default=0.0)
    p.add_argument("--with-plugin", action="store_true")
    args = p.parse_args()
    rng = random.Random(args.seed)
    session = obs_app.Session("close-without-plugin")
    crashes = not_cleared = 0
    try:
        for i in range(args.runs):
            record, leftover, run = one_close(session, rng, f"close-{i + 1}", args)
            crashes += record.crashed
            not_cleared += leftover
            print(f"{run.dir.rsplit('/', 1)[-1]}: {record.describe()}" + ("; " + NOT_CLEARED if leftover else ""),
                  flush=True)
    finally:
        session.close(keep=True)
    plugin = "paired" if args.with_plugin else "not installed"
    print(f"{args.runs} closes after {args.flow} (quiet {args.quiet:g} s, seed {args.seed}, plug-in {plugin}): "
          f"{crashes} crashes, {not_cleared} with \"{NOT_CLEARED}\"; run folders in {session.dir}")


if __name__ == "__main__":
    main()
