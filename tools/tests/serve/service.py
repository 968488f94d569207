"""service.py - starts brevantctl serve on the simulated bench for a test:
a free port, a state file and a folder of its own, stopped at the end."""
import json
import os
import re
import subprocess
import time
import urllib.request


class Service:
    def __init__(self, ctl, work, *args, bench='', listen='127.0.0.1:0', preexec_fn=None, ssl_context=None):
        os.makedirs(work, exist_ok=True)
        env = dict(os.environ, BREVANT_SIMULATOR='1', BREVANT_BENCH=bench,
                   BREVANT_BENCH_STATE=os.path.join(work, 'state'),
                   BREVANTCTL_SERVICE_NOTES=os.path.join(work, 'notes'))
        self.ssl_context = ssl_context
        self.process = subprocess.Popen([ctl, 'serve', '--listen', listen, *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True,
                                        preexec_fn=preexec_fn)
        line = self.process.stdout.readline()
        found = re.search(r'at (https?://[^ ]+/)', line)
        if not found:
            self.stop()
            raise RuntimeError('brevantctl serve did not start: ' + line + self.process.stderr.read())
        self.url = found.group(1)

    def get(self, path, headers=None):
        request = urllib.request.Request(self.url.rstrip('/') + path, headers=headers or {})
        with urllib.request.urlopen(request, timeout=10, context=self.ssl_context) as response:
            return response.read().decode()

    def json(self, path):
        return json.loads(self.get(path))

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def wait_for(self, check, seconds=10, what='a condition'):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            value = check()
            if value:
                return value
            time.sleep(0.1)
        raise AssertionError('timed out waiting for ' + what)
