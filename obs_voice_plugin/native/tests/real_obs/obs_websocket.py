"""A small obs-websocket v5 client (JSON over a websocket, no authentication):
requests with a bound on the answer, and every event kept in arrival order so
that a test can wait for one that follows a given point."""

import json
import threading
import time

import websocket  # Debian's python3-websocket

EVENTS_ALL = 0x7FF  # every category that is not high-volume


class ObsRequestError(Exception):
    pass


class ObsWebSocket:
    def __init__(self, port, connect_timeout=30.0, host="127.0.0.1"):
        deadline = time.monotonic() + connect_timeout
        while True:
            try:
                self._ws = websocket.create_connection(f"ws://{host}:{port}", timeout=5,
                                                       subprotocols=["obswebsocket.json"])
                break
            except (OSError, websocket.WebSocketException):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        hello = json.loads(self._ws.recv())
        if hello.get("op") != 0:
            raise ObsRequestError(f"expected Hello, got {hello}")
        self._ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": EVENTS_ALL}}))
        identified = json.loads(self._ws.recv())
        if identified.get("op") != 2:
            raise ObsRequestError(f"expected Identified, got {identified}")
        self._ws.settimeout(None)
        self._send_lock = threading.Lock()
        self._cond = threading.Condition()
        self._answers = {}
        self._events = []  # (monotonic time, eventType, eventData)
        self._closed = False
        self._next_id = 0
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        try:
            while True:
                message = json.loads(self._ws.recv())
                with self._cond:
                    if message.get("op") == 5:
                        d = message["d"]
                        self._events.append((time.monotonic(), d["eventType"], d.get("eventData", {})))
                    elif message.get("op") == 7:
                        self._answers[message["d"]["requestId"]] = message["d"]
                    self._cond.notify_all()
        except (OSError, ValueError, websocket.WebSocketException):
            pass
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def request(self, request_type, data=None, timeout=15.0):
        """The request's responseData; ObsRequestError when OBS refused it,
        TimeoutError when no answer came within `timeout` seconds."""
        with self._cond:
            self._next_id += 1
            request_id = str(self._next_id)
        message = {"op": 6, "d": {"requestType": request_type, "requestId": request_id}}
        if data is not None:
            message["d"]["requestData"] = data
        with self._send_lock:
            self._ws.send(json.dumps(message))
        deadline = time.monotonic() + timeout
        with self._cond:
            while request_id not in self._answers:
                left = deadline - time.monotonic()
                if self._closed:
                    raise ConnectionError(f"{request_type}: connection closed before the answer")
                if left <= 0:
                    raise TimeoutError(f"{request_type}: no answer within {timeout:.0f} s")
                self._cond.wait(left)
            answer = self._answers.pop(request_id)
        status = answer["requestStatus"]
        if not status.get("result"):
            raise ObsRequestError(f"{request_type}: {status.get('code')} {status.get('comment', '')}")
        return answer.get("responseData", {})

    def event_mark(self):
        """A point in the event stream; wait_event looks only at later events."""
        with self._cond:
            return len(self._events)

    def wait_event(self, event_type, mark, match=None, timeout=20.0):
        """The data of the first event of that type after `mark` for which
        match(data) holds; None when none came within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for _, kind, data in self._events[mark:]:
                    if kind == event_type and (match is None or match(data)):
                        return data
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    return None
                self._cond.wait(left)

    def events(self, event_type=None, mark=0):
        with self._cond:
            return [(t, kind, data) for t, kind, data in self._events[mark:]
                    if event_type is None or kind == event_type]

    def close(self):
        try:
            self._ws.close()
        except (OSError, websocket.WebSocketException):
            pass
