"""prometheus_test.py - /metrics against the real Prometheus tools:
promtool check metrics passes on what the service exposes, and a Prometheus
server started on loopback scrapes the service, after which its query API
gives the bench's module temperature for the right board serial.

    /usr/bin/python3 prometheus_test.py BREVANTCTL WORKDIR"""
import json
import os
import socket
import subprocess
import sys
import time
import urllib.parse
import urllib.request

from service import Service


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def main(ctl, work):
    service = Service(ctl, work, '--interval', '0.5')
    prometheus = None
    try:
        service.wait_for(lambda: 'brevant_module_temperature_celsius{' in service.get('/metrics'), what='module metrics')
        text = service.get('/metrics')
        check = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, text=True)
        assert check.returncode == 0, 'promtool check metrics: ' + check.stdout + check.stderr
        print('promtool check metrics: passed (%d series)' % sum(1 for l in text.splitlines() if l and l[0] != '#'))

        port = free_port()
        target = urllib.parse.urlparse(service.url).netloc
        config = os.path.join(work, 'prometheus.yml')
        with open(config, 'w') as f:
            f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n'
                    'scrape_configs:\n  - job_name: bench\n    static_configs:\n'
                    '      - targets: ["%s"]\n' % target)
        prometheus = subprocess.Popen(
            ['prometheus', '--config.file=' + config, '--storage.tsdb.path=' + os.path.join(work, 'tsdb'),
             '--web.listen-address=127.0.0.1:%d' % port, '--log.level=warn'],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, 'prometheus.log'), 'w'))

        def query():
            url = 'http://127.0.0.1:%d/api/v1/query?%s' % (
                port, urllib.parse.urlencode({'query': 'brevant_module_temperature_celsius{serial="VBRD0001"}'}))
            try:
                with urllib.request.urlopen(url, timeout=2) as response:
                    result = json.load(response)['data']['result']
            except OSError:
                return None
            return result or None

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
            prometheus.terminate()
            prometheus.wait(10)
        service.stop()


if __name__ == '__main__':
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
