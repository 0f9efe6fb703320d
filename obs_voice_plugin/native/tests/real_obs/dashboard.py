"""The local dashboard (`tollivaren-dashboard`) as a process of its own, and
its admin API: queue commands, set the ping answer, make an endpoint slow or
hang, give a tenant a new key, read the acknowledgements, clips, request
records and arrivals."""

import json
import subprocess
import time
import urllib.request


class Dashboard:
    def __init__(self, binary, tenants):
        """tenants: {tenant id: plug-in key}."""
        args = [binary, "--port", "0"]
        for tenant, key in tenants.items():
            args += ["--tenant", tenant, "--key", key]
        self.keys = dict(tenants)
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().split(": ", 1)[1].strip()
        self.pairing = {}
        for tenant in tenants:
            self.pairing[tenant] = self.process.stdout.readline().split(": ", 1)[1].strip()

    def _call(self, method, path, body=None, timeout=10):
        data = None if body is None else (body if isinstance(body, str) else json.dumps(body)).encode()
        request = urllib.request.Request(self.url + path, data=data, method=method)
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            text = answer.read().decode()
        return json.loads(text) if text.startswith(("[", "{")) else text

    def queue(self, tenant, command_id, action, target=None):
        command = {"id": command_id, "action": action}
        if target is not None:
            command["target"] = target
        self._call("POST", f"/admin/tenants/{tenant}/commands", command)

    def set_settings(self, tenant, settings):
        self._call("PUT", f"/admin/tenants/{tenant}/settings", settings)

    def slow(self, endpoint, low_ms, high_ms):
        """Every answer of that endpoint waits a random time in [low_ms, high_ms]."""
        self._call("PUT", f"/admin/faults/{endpoint}", {"delay_ms": low_ms, "delay_max_ms": high_ms})

    def hang(self, endpoint, seconds=600):
        """Every answer of that endpoint is held back `seconds` (or until the dashboard stops)."""
        self.slow(endpoint, seconds * 1000, seconds * 1000)

    def heal(self):
        """Every endpoint behaves normally again (answers already held back stay held)."""
        self._call("DELETE", "/admin/faults")

    def new_key(self, tenant, key):
        """Gives the tenant a new plug-in key, as a streamer rotating a leaked
        one: the old key is refused (401) from then on. Returns the new
        pairing string (also in self.pairing)."""
        self._call("PUT", f"/admin/tenants/{tenant}/key", {"key": key})
        self.keys[tenant] = key
        self.pairing[tenant] = self._call("GET", f"/admin/pairing/{tenant}")
        return self.pairing[tenant]

    def acks(self, tenant):
        """[{"id", "status", "error"?}] in arrival order."""
        return self._call("GET", f"/admin/tenants/{tenant}/acks")

    def clips(self, tenant):
        return self._call("GET", f"/admin/tenants/{tenant}/clips")

    def requests(self, endpoint=""):
        """[{"endpoint","tenant","command_id","status","key_header","received_ms"}],
        each once answered (on the system's monotonic clock, as time.monotonic())."""
        return self._call("GET", "/admin/requests" + (f"/{endpoint}" if endpoint else ""))

    def arrivals(self, endpoint):
        """How many requests of the endpoint have arrived, answered or not."""
        return self._call("GET", f"/admin/arrivals/{endpoint}")["arrivals"]

    def wait(self, condition, timeout, step=0.1):
        """Polls condition() until it returns something true; that value, or None."""
        deadline = time.monotonic() + timeout
        while True:
            value = condition()
            if value or time.monotonic() > deadline:
                return value or None
            time.sleep(step)

    def stop(self):
        """Stops the process (answers held back are released at once); True
        when it ended by itself with status 0 within 10 s, False when it had
        ended before, failed, or had to be killed."""
        clean = False
        if self.process.poll() is None:
            self.process.terminate()
            try:
                clean = self.process.wait(timeout=10) == 0
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if not self.process.stdout.closed:
            self.process.stdout.close()
        return clean
