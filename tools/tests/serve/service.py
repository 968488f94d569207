"""service.py - starts brevantctl serve on the simulated bench for a test:
a free port, a state file and a folder of its own, stopped at the end; and
a Prometheus server on loopback that scrapes it."""
import json
import os
import re
import socket
import subprocess
import time
import urllib.parse
import urllib.request


def stop_process(process):
    """Ends a program a test started: asked to stop, killed after 10 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


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

    def get(self, path, headers=None, timeout=10):
        request = urllib.request.Request(self.url.rstrip('/') + path, headers=headers or {})
        with urllib.request.urlopen(request, timeout=timeout, context=self.ssl_context) as response:
            return response.read().decode()

    def json(self, path):
        return json.loads(self.get(path))

    def stop(self):
        stop_process(self.process)

    def wait_for(self, check, seconds=10, what='a condition'):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            value = check()
            if value:
                return value
            time.sleep(0.1)
        raise AssertionError('timed out waiting for ' + what)


class Prometheus:
    """A Prometheus server on a free loopback port, scraping every second as
    the `scrape_configs` text given says; its data and log in `work`."""

    def __init__(self, work, scrape_configs):
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            self.port = s.getsockname()[1]
        config = os.path.join(work, 'prometheus.yml')
        with open(config, 'w') as f:
            f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n' + scrape_configs)
        self.log = open(os.path.join(work, 'prometheus.log'), 'w')
        self.process = subprocess.Popen(
            ['prometheus', '--config.file=' + config, '--storage.tsdb.path=' + os.path.join(work, 'tsdb'),
             '--web.listen-address=127.0.0.1:%d' % self.port, '--log.level=warn'],
            stdout=subprocess.DEVNULL, stderr=self.log)

    def query(self, expr):
        """The query's result vector, or None while it is empty or the server not up."""
        url = 'http://127.0.0.1:%d/api/v1/query?%s' % (self.port, urllib.parse.urlencode({'query': expr}))
        try:
            with urllib.request.urlopen(url, timeout=2) as response:
                result = json.load(response)['data']['result']
        except OSError:
            return None
        return result or None

    def stop(self):
        stop_process(self.process)
        self.log.close()
