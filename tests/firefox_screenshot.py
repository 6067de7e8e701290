"""Screenshots of a page in headless Firefox, taken once the page has been
drawn for a person to see.

`firefox --screenshot` draws the page as soon as its load event fires. A
small --html5 page can load before Firefox's first frame, and until that
frame Firefox has not yet decided which `content-visibility: auto` blocks are
near the viewport, so it skips them all and the shot shows only the
background. Here Firefox is driven through its Marionette protocol instead:
load the page, wait for two animation frames (the first makes that decision,
the second starts after it), then take the shot.
"""
import base64
import json
import os
import socket
import subprocess
import tempfile
import time

TIMEOUT = 300  # seconds; only a hung browser comes near it


class Marionette:
    def __init__(self, port):
        self._socket = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self._received = b""
        self._last_id = 0
        self._receive()  # the server's greeting

    def _receive(self):
        while b":" not in self._received:
            self._receive_more()
        length, rest = self._received.split(b":", 1)
        self._received = rest
        while len(self._received) < int(length):
            self._receive_more()
        message, self._received = self._received[:int(length)], self._received[int(length):]
        return json.loads(message)

    def _receive_more(self):
        data = self._socket.recv(65536)
        if not data:
            raise RuntimeError("Firefox closed its Marionette connection")
        self._received += data

    def call(self, command, parameters=None):
        self._last_id += 1
        message = json.dumps([0, self._last_id, command, parameters or {}]).encode()
        self._socket.sendall(b"%d:%s" % (len(message), message))
        _, _, error, result = self._receive()
        if error:
            raise RuntimeError("%s: %s" % (command, error))
        return result


def wait_for_port(process, profile):
    # Port 0 lets Firefox choose a free port, which it writes into the profile.
    port_file = os.path.join(profile, "MarionetteActivePort")
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("Firefox ended with status %d before it listened" % process.returncode)
        if os.path.exists(port_file):
            with open(port_file) as f:
                port = f.read().strip()
            if port.isdigit():
                return int(port)
        time.sleep(0.05)
    raise RuntimeError("Firefox did not listen within %d s" % TIMEOUT)


def take_screenshot(firefox, page, shot, size, home):
    """Writes to `shot` a PNG of the file `page` in a viewport of `size`
    (width, height) CSS pixels, at least 500 wide (Firefox's narrowest
    window), with a new profile and HOME set to `home`."""
    profile = tempfile.mkdtemp(dir=home)
    with open(os.path.join(profile, "user.js"), "w") as f:
        f.write('user_pref("marionette.port", 0);\n')
    # In kiosk mode the page fills the headless screen: no toolbars.
    env = dict(os.environ, HOME=home, MOZ_HEADLESS_WIDTH=str(size[0]), MOZ_HEADLESS_HEIGHT=str(size[1]))
    process = subprocess.Popen([firefox, "--headless", "--no-remote", "--kiosk", "--marionette", "--profile", profile],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        marionette = Marionette(wait_for_port(process, profile))
        marionette.call("WebDriver:NewSession", {"capabilities": {}})
        marionette.call("WebDriver:Navigate", {"url": "file://" + page})
        marionette.call("WebDriver:ExecuteAsyncScript", {
            "script": "const done = arguments[0]; requestAnimationFrame(() => requestAnimationFrame(done));",
            "args": []})
        png = base64.b64decode(marionette.call("WebDriver:TakeScreenshot", {"full": False})["value"])
        with open(shot, "wb") as f:
            f.write(png)
        marionette.call("Marionette:Quit")
        process.wait(timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
