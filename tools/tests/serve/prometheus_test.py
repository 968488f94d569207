"""prometheus_test.py - /metrics against the real Prometheus tools:
promtool check metrics passes on what the service exposes, and a Prometheus
server started on loopback scrapes the service, after which its query API
gives the bench's module temperature for the right board serial.

    /usr/bin/python3 prometheus_test.py BREVANTCTL WORKDIR"""
import os
import subprocess
import sys
import urllib.parse

from service import Prometheus, Service


def main(ctl, work):
    service = Service(ctl, work, '--interval', '0.5')
    prometheus = None
    try:
        service.wait_for(lambda: 'brevant_module_temperature_celsius{' in service.get('/metrics'), what='module metrics')
        text = service.get('/metrics')
        check = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, text=True)
        assert check.returncode == 0, 'promtool check metrics: ' + check.stdout + check.stderr
        print('promtool check metrics: passed (%d series)' % sum(1 for l in text.splitlines() if l and l[0] != '#'))

        target = urllib.parse.urlparse(service.url).netloc
        prometheus = Prometheus(work, '  - job_name: bench\n    static_configs:\n      - targets: ["%s"]\n' % target)
        query = lambda: prometheus.query('brevant_module_temperature_celsius{serial="VBRD0001"}')
        result = service.wait_for(query, seconds=30, what='Prometheus to scrape the service')
        assert len(result) == 1, result
        labels, value = result[0]['metric'], float(result[0]['value'][1])
        assert labels['serial'] == 'VBRD0001' and labels['type'] == '1' and labels['job'] == 'bench', labels
        assert labels['location'] == 'bench:0', labels
        # The simulated module swings around 41.5 degrees.
        assert 40.5 < value < 42.5, value
        print('Prometheus scraped the module temperature of VBRD0001: %.3f C' % value)
    finally:
        if prometheus is not None:
            prometheus.stop()
        service.stop()


if __name__ == '__main__':
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
