"""serve_measure.py - what the bench service costs, on the simulated bench:
the CPU time brevantctl serve uses with 8 boards at a 1 s interval, and the
latency of /metrics with those 8 boards. Figures for docs/service.md; not a
test (nothing here passes or fails).

    python3 bench/serve_measure.py build/dev/tools/brevantctl [SECONDS]"""
import http.client
import os
import re
import subprocess
import sys
import tempfile
import time


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def main(ctl, seconds):
    work = tempfile.mkdtemp(prefix='serve-measure-')
    bench = os.path.join(work, 'bench')
    with open(bench, 'w') as f:
        for n in range(8):
            f.write('%d MEAS%04d module=cfp2-sr4\n' % (1 if n % 2 == 0 else 0, n))
    env = dict(os.environ, BREVANT_SIMULATOR='1', BREVANT_BENCH=bench, BREVANT_BENCH_STATE=os.path.join(work, 'state'),
               BREVANTCTL_SERVICE_NOTES=os.path.join(work, 'notes'))
    service = subprocess.Popen([ctl, 'serve', '--listen', '127.0.0.1:0'], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, env=env, text=True)
    try:
        line = service.stdout.readline()
        port = int(re.search(r':(\d+)/', line).group(1))
        print(line.strip())
        time.sleep(3)  # every board connected and its module read
        start_cpu, start = cpu_seconds(service.pid), time.monotonic()
        time.sleep(seconds)
        used = cpu_seconds(service.pid) - start_cpu
        elapsed = time.monotonic() - start
        print('CPU: %.3f s in %.0f s = %.2f %% of a core (8 boards, 1 s interval, no readers)' %
              (used, elapsed, 100 * used / elapsed))

        connection = http.client.HTTPConnection('127.0.0.1', port)
        times = []
        for _ in range(2000):
            t = time.perf_counter()
            connection.request('GET', '/metrics')
            body = connection.getresponse().read()
            times.append(time.perf_counter() - t)
        times.sort()
        print('/metrics: %d bytes, %d series; latency over %d requests (one keep-alive connection): '
              'median %.2f ms, p99 %.2f ms, max %.2f ms' %
              (len(body), sum(1 for l in body.decode().splitlines() if l and l[0] != '#'), len(times),
               1000 * times[len(times) // 2], 1000 * times[int(len(times) * 0.99)], 1000 * times[-1]))
        with open('/proc/%d/status' % service.pid) as f:
            rss = [l for l in f if l.startswith('VmRSS')][0].split()[1]
        print('resident memory: %s kB' % rss)
    finally:
        service.terminate()
        service.wait(10)


if __name__ == '__main__':
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 60)
