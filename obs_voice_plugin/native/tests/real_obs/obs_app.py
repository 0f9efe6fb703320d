"""The real OBS Studio app as a test target: one session (a private Xvfb
display, the plug-in installed by scripts/install.sh into private XDG
folders, the spoken phrase as a WAV file) and any number of runs (obs_run.py), each a
fresh OBS configuration (or an earlier run's: OBS started again), an OBS
process, its log and how it ended.

Environment (all optional):
  TV_OBS_COMMAND      how to start OBS (default "obs")
  TV_OBS_ROOT         a chroot OBS runs in (its gdb too, for TV_REALOBS_GDB), e.g. /srv/sid
  TV_OBS_ARGS         extra arguments for OBS, e.g. "--disable-shutdown-check"
  TV_BUILD_DIR        the plug-in build that install.sh installs (default <repo>/build)
  TV_INSTALL_COMMAND  a prefix for running install.sh, e.g. "chroot /srv/sid"
  TV_PLUGIN_SYSTEM=1  the plug-in is installed system-wide (the Debian package): OBS
                      finds it in its own plug-in folders, nothing is installed per run
  TV_DASHBOARD        the tollivaren-dashboard binary (default: in TV_BUILD_DIR)
  TV_REALOBS_WORK     where sessions keep their files (default: a new folder in /tmp)
  TV_REALOBS_GDB=1    run OBS under gdb: a crash leaves every thread's stack in the
                      run's backtrace.txt (starts and exits get slower)
The work folder must be reachable under the same path by OBS, and the X
display's socket too (bind-mount both the folder and /tmp/.X11-unix into a
chroot)."""

import os
import shlex
import shutil
import subprocess
import tempfile
import time

from Xlib import display  # Debian's python3-xlib

from obs_run import GDB_PREFIX, ObsRun

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "..", ".."))
# The first X display number a session tries.
XVFB_FIRST = 20


class Session:
    def __init__(self, label="realobs"):
        self.build_dir = os.environ.get("TV_BUILD_DIR", os.path.join(REPO, "build"))
        self.obs_command = shlex.split(os.environ.get("TV_OBS_COMMAND", "obs"))
        self.obs_args = shlex.split(os.environ.get("TV_OBS_ARGS", ""))
        self.under_gdb = os.environ.get("TV_REALOBS_GDB") == "1"
        if self.under_gdb:
            self.obs_command = GDB_PREFIX + self.obs_command
        self.obs_root = os.environ.get("TV_OBS_ROOT", "")
        self.root_prefix = ["chroot", self.obs_root] if self.obs_root else []
        self.obs_command = self.root_prefix + self.obs_command
        self.dashboard_binary = os.environ.get("TV_DASHBOARD", os.path.join(
            self.build_dir, "obs_voice_plugin", "native", "tools", "dashboard", "tollivaren-dashboard"))
        work_root = os.environ.get("TV_REALOBS_WORK") or tempfile.gettempdir()
        os.makedirs(work_root, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=label + "-", dir=work_root)
        self.home = self._mkdir("home")
        self.cache = self._mkdir("cache")  # kept across runs: Mesa's shader cache
        self.runtime = self._mkdir("runtime")
        os.chmod(self.runtime, 0o700)
        self.data_home = self._mkdir("data")
        self.plugin_config = self._mkdir("plugin-config")
        self.runs = []
        self.xvfb = None
        self.display = None
        self._start_xvfb()
        self._install_plugin()
        self.phrase_wav = os.path.join(self.dir, "phrase.wav")
        subprocess.run(["bash", os.path.join(REPO, "scripts", "make_demo_recording.sh"), self.phrase_wav],
                       check=True)
        self.tone_wav = os.path.join(self.dir, "tone.wav")
        subprocess.run(["sox", "-q", "-n", "-r", "48000", "-c", "2", "-b", "16", self.tone_wav,
                        "synth", "2", "sine", "440", "vol", "0.1"], check=True)

    def teaching_recordings(self):
        """{"session", "phrase", "talk"}: one synthetic voice's "teach my
        voice" session (the phrase 4 times between sentences, about 32 s),
        another take of the phrase alone, and its talk without the phrase
        (scripts/make_teaching_recordings.sh); made on first use."""
        folder = os.path.join(self.dir, "teaching")
        names = ("session", "phrase", "talk")
        if not os.path.isdir(folder):
            subprocess.run(["bash", os.path.join(REPO, "scripts", "make_teaching_recordings.sh"), folder],
                           check=True)
        return {name: os.path.join(folder, name + ".wav") for name in names}

    def _mkdir(self, name):
        path = os.path.join(self.dir, name)
        os.makedirs(path, exist_ok=True)
        return path

    def _start_xvfb(self):
        """A display of our own: the first number from XVFB_FIRST on that no
        other X server holds the lock file of (/tmp/.X<n>-lock). Not
        `Xvfb -displayfd`: it takes no lock, and in a network namespace of its
        own (offline.sh) finds :0 free every time, so sessions run side by
        side would all be :0 and share the socket file /tmp/.X11-unix/X0,
        through which a client outside their namespaces reaches the last."""
        for number in range(XVFB_FIRST, XVFB_FIRST + 200):
            if os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                                     "-noreset"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self._xvfb_ready(xvfb, number):
                self.xvfb, self.display = xvfb, f":{number}"
                return
            if xvfb.poll() is None:
                xvfb.kill()
            xvfb.wait()
        raise RuntimeError("Xvfb did not start")

    @staticmethod
    def _xvfb_ready(xvfb, number, timeout=30.0):
        """The server runs, holds the display's lock (another one that took
        it first makes ours exit) and answers a client."""
        deadline = time.monotonic() + timeout
        while xvfb.poll() is None and time.monotonic() < deadline:
            try:
                with open(f"/tmp/.X{number}-lock") as f:
                    holder = int(f.read().strip())
            except (OSError, ValueError):
                holder = None
            if holder == xvfb.pid:
                try:
                    display.Display(f":{number}").close()
                    return True
                except Exception:  # not listening yet
                    pass
            time.sleep(0.05)
        return False

    def _install_plugin(self):
        if os.environ.get("TV_PLUGIN_SYSTEM") == "1":
            self.plugin_dir = self._mkdir("no-user-plugins")
            return
        env = dict(os.environ, HOME=self.home, XDG_CONFIG_HOME=self.plugin_config,
                   XDG_DATA_HOME=self.data_home, TV_BUILD_DIR=self.build_dir)
        prefix = shlex.split(os.environ.get("TV_INSTALL_COMMAND", ""))
        out = subprocess.run(prefix + ["bash", os.path.join(REPO, "scripts", "install.sh")], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if out.returncode != 0:
            raise RuntimeError("scripts/install.sh failed:\n" + out.stdout[-4000:])
        self.plugin_dir = os.path.join(self.plugin_config, "obs-studio", "plugins")
        if not os.path.isfile(os.path.join(self.plugin_dir, "tollivaren-voice", "bin", "64bit",
                                           "tollivaren-voice.so")):
            raise RuntimeError("install.sh laid out no plug-in under " + self.plugin_dir)

    def new_run(self, label, config_of=None):
        """A run with a fresh configuration, or with the one `config_of` (an
        earlier run, closed) left behind: OBS started again."""
        run = ObsRun(self, os.path.join(self.dir, "runs", f"{len(self.runs) + 1:03d}-{label}"), config_of)
        self.runs.append(run)
        return run

    def close(self, keep=False):
        for run in self.runs:
            run.kill()  # one a failed test left running
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait()
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)
