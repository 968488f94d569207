"""serve_load.py - /metrics of the bench service under load, on the simulated
bench: its latency (median, p99, max, failed scrapes) with 8 boards alone,
while 8 writes wait on a slow board, while 300 live streams do not read, and
with 1,100 connections open against a limit of 1,024 descriptors; the
service's memory with those 300 streams; and how long a stop takes with a
board in the middle of a slow transfer. Figures for docs/service.md; not a
test (nothing here passes or fails).

    python3 bench/serve_load.py build/dev/tools/brevantctl [SCRAPES]"""
import http.client
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


def start(ctl, work, name, bench_lines, *args, descriptors=None):
    bench = os.path.join(work, name + '.bench')
    with open(bench, 'w') as f:
        f.write(''.join(line + '\n' for line in bench_lines))
    env = dict(os.environ, BREVANT_SIMULATOR='1', BREVANT_BENCH=bench,
               BREVANT_BENCH_STATE=os.path.join(work, name + '.state'),
               BREVANTCTL_SERVICE_NOTES=os.path.join(work, 'notes'))

    def limit():
        if descriptors:
            resource.setrlimit(resource.RLIMIT_NOFILE, (descriptors, descriptors))
    service = subprocess.Popen([ctl, 'serve', '--listen', '127.0.0.1:0', *args], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env, text=True, preexec_fn=limit)
    port = int(re.search(r':(\d+)/', service.stdout.readline()).group(1))
    return service, port


def stop(service):
    if service.poll() is None:
        service.kill()
        service.wait()


def scrapes(port, count):
    """`count` scrapes of /metrics, as Prometheus does them: one kept-alive
    connection, a new one when the service closed it. Returns the figures."""
    times, failed = [], 0
    connection = None
    for _ in range(count):
        t = time.perf_counter()
        for attempt in range(2):
            try:
                if connection is None:
                    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
                connection.request('GET', '/metrics')
                response = connection.getresponse()
                response.read()
                ok = response.status == 200
                break
            except (OSError, http.client.HTTPException):
                connection = None  # closed while idle: a new connection, as a scraper does
                ok = False
        if not ok:
            failed += 1
        times.append(time.perf_counter() - t)
    times.sort()
    return 'median %.2f ms, p99 %.2f ms, max %.1f ms, %d failed of %d' % (
        1000 * times[len(times) // 2], 1000 * times[int(len(times) * 0.99)], 1000 * times[-1], failed, count)


def rss(pid):
    with open('/proc/%d/status' % pid) as f:
        return int([l for l in f if l.startswith('VmRSS')][0].split()[1]) / 1024


def main(ctl, count):
    work = tempfile.mkdtemp(prefix='serve-load-')
    boards = ['%d LOAD%04d module=cfp2-sr4' % (1 if n % 2 == 0 else 0, n) for n in range(7)]
    boards.append('1 SLOW0001 pace=1000')
    service, port = start(ctl, work, 'eight', boards, '--allow-writes')
    try:
        time.sleep(4)
        print('8 boards (one slow: pace=1000), 1 s interval:        ' + scrapes(port, count))

        answers = []

        def write(value):
            connection = http.client.HTTPConnection('127.0.0.1', port, timeout=120)
            began = time.monotonic()
            connection.request('POST', '/api/v1/boards/SLOW0001/commands',
                               json.dumps({'command': 'port set', 'args': [5, value]}),
                               {'Content-Type': 'application/json'})
            response = connection.getresponse()
            response.read()
            answers.append((response.status, time.monotonic() - began))
        writers = [threading.Thread(target=write, args=(n,)) for n in range(8)]
        for w in writers:
            w.start()
        time.sleep(0.5)
        print('while 8 writes wait on the slow board:               ' + scrapes(port, count))
        for w in writers:
            w.join()
        print('  the writes: %s' % ', '.join('%d in %.1f s' % a for a in sorted(answers)))

        os.kill(service.pid, signal.SIGTERM)
        began = time.monotonic()
        service.wait(60)
        print('stop (SIGTERM) with a board in a slow transfer:       %.1f s' % (time.monotonic() - began))
    finally:
        stop(service)

    # The streams at a 0.1 s interval: 80 events a second for each reader.
    service, port = start(ctl, work, 'streams', boards[:7] + ['1 LOAD0007'], '--interval', '0.1')
    try:
        time.sleep(3)
        before = rss(service.pid)
        streams = []
        for _ in range(300):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(('127.0.0.1', port))
            s.sendall(b'GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')
            streams.append(s)
        time.sleep(2)
        print('while 300 live streams do not read (0.1 s interval): ' + scrapes(port, count))
        print('  resident memory: %.1f MB before the streams, %.1f MB with them' % (before, rss(service.pid)))
        time.sleep(10)
        metrics = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
        metrics.request('GET', '/metrics')
        text = metrics.getresponse().read().decode()
        open_streams = re.search(r'\nbrevant_live_streams (\d+)', text).group(1)
        print('  %.1f MB 10 s later; streams still open: %s (a reader 256 events behind is dropped)' % (
            rss(service.pid), open_streams))
        for s in streams:
            s.close()
    finally:
        stop(service)

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    service, port = start(ctl, work, 'fds', boards[:7] + ['1 LOAD0007'], descriptors=1024)
    idle = []
    try:
        time.sleep(3)
        for _ in range(1100):
            idle.append(socket.create_connection(('127.0.0.1', port), timeout=10))
        print('1,100 idle connections, 1,024 descriptors:          ' + scrapes(port, count))
    finally:
        for s in idle:
            s.close()
        stop(service)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 1000)
