"""Asks the OBS main window to close as a window manager would: a
WM_DELETE_WINDOW client message, which OBS handles like a click on the close
button (SIGINT is not safe in OBS 29; SIGTERM skips the unload). And a key
pressed on the display, for OBS's hotkeys."""

import time

from Xlib import X, XK, display, error, protocol  # Debian's python3-xlib
from Xlib.ext import xtest


def _obs_main_windows(d, pids):
    found = []
    net_wm_pid = d.intern_atom("_NET_WM_PID")
    for window in d.screen().root.query_tree().children:
        try:
            name = window.get_wm_name()
            if isinstance(name, bytes):
                name = name.decode("utf-8", "replace")
            if not name or not name.startswith("OBS "):
                continue
            prop = window.get_full_property(net_wm_pid, X.AnyPropertyType)
            pid = prop.value[0] if prop and len(prop.value) else None
        except error.XError:
            continue  # the window went away meanwhile
        found.append((window, pid, name))
    mine = [w for w in found if w[1] in pids]
    # Behind a launcher (a chroot, a wrapper) the window's pid is not ours;
    # the display is private to this session, so any OBS window is ours.
    return mine or found


def close_obs_window(display_name, pids, timeout=30.0):
    """Sends WM_DELETE_WINDOW to OBS's main window, waiting up to `timeout`
    seconds for it to exist. Returns the window's title, or None."""
    d = display.Display(display_name)
    try:
        deadline = time.monotonic() + timeout
        while True:
            windows = _obs_main_windows(d, pids)
            if windows or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        if not windows:
            return None
        wm_protocols = d.intern_atom("WM_PROTOCOLS")
        wm_delete = d.intern_atom("WM_DELETE_WINDOW")
        for window, _, _ in windows:
            event = protocol.event.ClientMessage(window=window, client_type=wm_protocols,
                                                 data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
            window.send_event(event, event_mask=X.NoEventMask)
        d.flush()
        d.sync()
        return windows[0][2]
    finally:
        d.close()


def main_window_title(display_name, pids):
    d = display.Display(display_name)
    try:
        windows = _obs_main_windows(d, pids)
        return windows[0][2] if windows else None
    finally:
        d.close()


def press_key(display_name, key_name, hold=0.5):
    """Presses and releases a key on the display (XTEST), as a streamer
    does: OBS's hotkey thread reads the keyboard's state every 25 ms."""
    d = display.Display(display_name)
    try:
        keycode = d.keysym_to_keycode(XK.string_to_keysym(key_name))
        if not keycode:
            raise RuntimeError(f"no key {key_name!r} on {display_name}")
        xtest.fake_input(d, X.KeyPress, keycode)
        d.sync()
        time.sleep(hold)
        xtest.fake_input(d, X.KeyRelease, keycode)
        d.sync()
    finally:
        d.close()
