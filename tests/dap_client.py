"""A small client of the Debug Adapter Protocol, enough to drive debugpy (the engine of VS
Code's Python debugger) as an editor does: attach, set breakpoints and exception filters,
and continue from every stop until the program ends."""

import json
import socket


class DapClient:
    def __init__(self, port, timeout=120):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffer = b""
        self.seq = 0

    def send(self, command, **arguments):
        self.seq += 1
        message = {"seq": self.seq, "type": "request", "command": command, "arguments": arguments}
        body = json.dumps(message).encode()
        self.socket.sendall(b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def _fill(self):
        chunk = self.socket.recv(65536)
        if not chunk:
            raise EOFError("the debug adapter closed the connection")
        self.buffer += chunk

    def receive(self):
        while b"\r\n\r\n" not in self.buffer:
            self._fill()
        header, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        length = next(
            int(line.split(b":")[1]) for line in header.split(b"\r\n") if b"Content-Length" in line
        )
        while len(self.buffer) < length:
            self._fill()
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return json.loads(body)

    def wait_for_event(self, name):
        while True:
            message = self.receive()
            if message.get("type") == "event" and message.get("event") == name:
                return message

    def close(self):
        self.socket.close()


def debug_session(port, breakpoints, exception_filters):
    """Attaches to a debugpy listening on `port`, sets `breakpoints` ({path: [line, ...]})
    and `exception_filters` ("raised", "uncaught", "userUnhandled"), lets the program run,
    continuing from every stop, and returns the reasons of the stops and the error responses
    of the adapter."""
    client = DapClient(port)
    stops, errors = [], []
    try:
        client.send("initialize", clientID="orvane-tests", adapterID="debugpy",
                    pathFormat="path", linesStartAt1=True, columnsStartAt1=True)  # fmt: skip
        client.send("attach", justMyCode=True)
        client.wait_for_event("initialized")
        for path, lines in breakpoints.items():
            client.send("setBreakpoints", source={"path": str(path)},
                        breakpoints=[{"line": line} for line in lines])  # fmt: skip
        client.send("setExceptionBreakpoints", filters=list(exception_filters))
        client.send("configurationDone")
        while True:
            try:
                message = client.receive()
            except (EOFError, ConnectionError):
                break
            if message.get("type") == "response" and not message.get("success"):
                errors.append((message.get("command"), message.get("message")))
            if message.get("type") != "event":
                continue
            if message["event"] == "stopped":
                thread = message["body"]["threadId"]
                stops.append(message["body"]["reason"])
                client.send("continue", threadId=thread)
            elif message["event"] in ("terminated", "exited"):
                break
    finally:
        client.close()
    return stops, errors
