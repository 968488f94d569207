"""deploy_test.py - the deploy kit in packaging/ against the real programs it
is for, all on loopback: the bench service on the simulated bench, found by a
Prometheus through file-based discovery with a `bench` label and judged by the
shipped rules, an Alertmanager, and a webhook receiver of the test's own.
First every query of the Grafana dashboard must return series (and the rules
must stay quiet on a healthy bench); then a module put into Fault must reach
the receiver as an alert naming its board, and be resolved when the fault is
taken away.

    /usr/bin/python3 deploy_test.py BREVANTCTL WORKDIR"""
import http.server
import json
import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

from service import Service, stop_process

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..', '..'))
RULES = os.path.join(ROOT, 'packaging', 'prometheus', 'brevant-rules.yml')
DASHBOARD = os.path.join(ROOT, 'packaging', 'grafana', 'brevant-bench.json')
BENCH = 'test-bench'
MODULE_STATE_REGISTER = '0xA016'
FAULT, READY = '0x0040', '0x0020'


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError('timed out after %d s waiting for %s' % (seconds, what))


class Receiver:
    """The webhook an Alertmanager notifies: each alert of each notification,
    with its status, goes into a queue to wait for and a list of all."""

    def __init__(self):
        alerts = self.alerts = queue.Queue()
        received = self.received = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers['Content-Length'])))
                for alert in body['alerts']:
                    received.append(alert)
                    alerts.put(alert)
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.url = 'http://127.0.0.1:%d/' % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever)
        self.thread.start()

    def next(self, matches, seconds, what):
        deadline = time.monotonic() + seconds
        while True:
            try:
                alert = self.alerts.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError('timed out after %d s waiting for %s' % (seconds, what))
            if matches(alert):
                return alert

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class Program:
    """A server the test starts and stops, its output in a log file."""

    def __init__(self, work, name, *argv):
        self.log = open(os.path.join(work, name + '.log'), 'w')
        self.process = subprocess.Popen(argv, stdout=self.log, stderr=subprocess.STDOUT)

    def stop(self):
        stop_process(self.process)
        self.log.close()


def start_alertmanager(work, receiver_url):
    port = free_port()
    config = os.path.join(work, 'alertmanager.yml')
    with open(config, 'w') as f:
        f.write('route:\n  receiver: test\n  group_by: [alertname, bench, serial]\n'
                '  group_wait: 1s\n  group_interval: 1s\n  repeat_interval: 1h\n'
                'receivers:\n  - name: test\n    webhook_configs:\n'
                '      - url: "%s"\n        send_resolved: true\n' % receiver_url)
    program = Program(work, 'alertmanager', 'prometheus-alertmanager', '--config.file=' + config,
                      '--storage.path=' + os.path.join(work, 'alertmanager-data'),
                      '--web.listen-address=127.0.0.1:%d' % port, '--cluster.listen-address=',
                      '--log.level=warn')
    return program, port


def start_prometheus(work, service_target, alertmanager_port):
    """A Prometheus set up as docs/service.md shows for many benches: job
    brevant, one file per bench in a discovery folder, the shipped rules."""
    port = free_port()
    benches = os.path.join(work, 'benches')
    os.makedirs(benches, exist_ok=True)
    with open(os.path.join(benches, BENCH + '.yml'), 'w') as f:
        f.write('- targets: ["%s"]\n  labels:\n    bench: %s\n' % (service_target, BENCH))
    config = os.path.join(work, 'prometheus.yml')
    with open(config, 'w') as f:
        f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n'
                'rule_files: ["%s"]\n'
                'alerting:\n  alertmanagers:\n    - static_configs:\n        - targets: ["127.0.0.1:%d"]\n'
                'scrape_configs:\n  - job_name: brevant\n    file_sd_configs:\n'
                '      - files: ["%s/*.yml"]\n        refresh_interval: 1s\n'
                % (RULES, alertmanager_port, benches))
    check = subprocess.run(['promtool', 'check', 'config', config], capture_output=True, text=True, timeout=30)
    assert check.returncode == 0, 'promtool check config: ' + check.stdout + check.stderr
    program = Program(work, 'prometheus', 'prometheus', '--config.file=' + config,
                      '--storage.tsdb.path=' + os.path.join(work, 'tsdb'),
                      '--web.listen-address=127.0.0.1:%d' % port, '--log.level=warn')
    return program, port


class PrometheusApi:
    def __init__(self, port):
        self.base = 'http://127.0.0.1:%d/api/v1/' % port

    def get(self, path, **params):
        url = self.base + path + '?' + urllib.parse.urlencode(params, doseq=True)
        try:
            with urllib.request.urlopen(url, timeout=5) as response:
                return json.load(response)['data']
        except OSError:
            return None

    def query(self, expr):
        data = self.get('query', query=expr)
        return data['result'] if data else []


def check_dashboard_imports(dashboard):
    """What a Grafana import reads: a title and uid, the data source input
    every query names, panels on the 24-column grid with unique ids and a
    declared type, and a definition for every variable a query uses."""
    assert dashboard['title'] and dashboard['uid'] and isinstance(dashboard['schemaVersion'], int)
    inputs = {'${%s}' % i['name'] for i in dashboard['__inputs'] if i['type'] == 'datasource'}
    panel_types = {r['id'] for r in dashboard['__requires'] if r['type'] == 'panel'} | {'row'}
    variables = {v['name'] for v in dashboard['templating']['list']}
    for v in dashboard['templating']['list']:
        assert v['datasource']['uid'] in inputs, v
    ids = [p['id'] for p in dashboard['panels']]
    assert len(ids) == len(set(ids)), 'panel ids repeat: %s' % ids
    for p in dashboard['panels']:
        g = p['gridPos']
        assert p['type'] in panel_types, 'panel %r of type %s is not in __requires' % (p['title'], p['type'])
        assert 0 <= g['x'] and g['w'] > 0 and g['x'] + g['w'] <= 24 and g['h'] > 0, p['title']
        for t in p.get('targets', []):
            assert t['refId'] and t['expr'] and t['datasource']['uid'] in inputs, (p['title'], t)
            used = set(re.findall(r'\$(\w+)', t['expr'])) - {'__rate_interval'}
            assert used <= variables, '%r uses undefined variables %s' % (p['title'], used - variables)
    return [(p['title'], t['expr']) for p in dashboard['panels'] for t in p.get('targets', [])]


def check_dashboard_queries(prometheus, dashboard, queries):
    """Every query, with the variables as Grafana sets them on first load
    (each variable's first value, or all of them where it offers All), must
    return series. The variables' own label_values() queries give their
    values, as in Grafana."""
    values = {'__rate_interval': '1m'}

    def substituted(expr):
        return re.sub(r'\$(\w+)', lambda m: values[m.group(1)], expr)

    found = {}
    for variable in dashboard['templating']['list']:
        selector, label = re.fullmatch(r'label_values\((.+), *(\w+)\)', variable['query']['query']).groups()
        found[variable['name']] = prometheus.get('label/%s/values' % label, **{'match[]': substituted(selector)})
        assert found[variable['name']], 'variable %s has no values' % variable['name']
        values[variable['name']] = variable['allValue'] if variable['includeAll'] else found[variable['name']][0]
    assert found == {'bench': [BENCH], 'serial': ['VBRD0001', 'VBRD0002']}, found

    def substituted(expr):
        return re.sub(r'\$(\w+)', lambda m: values[m.group(1)], expr)

    pending = {title + ': ' + expr: substituted(expr) for title, expr in queries}

    def all_answer():
        for name in [n for n, expr in pending.items() if prometheus.query(expr)]:
            del pending[name]
        return not pending

    try:
        wait_for(all_answer, 30, 'every dashboard query to return series')
    except AssertionError:
        raise AssertionError('dashboard queries that return nothing:\n  ' + '\n  '.join(pending))
    print('dashboard: %d of %d queries return series' % (len(queries), len(queries)))


def post_command(service, serial, command, *args):
    request = urllib.request.Request(
        service.url + 'api/v1/boards/%s/commands' % serial, method='POST',
        data=json.dumps({'command': command, 'args': list(args)}).encode(),
        headers={'Content-Type': 'application/json'})
    with urllib.request.urlopen(request, timeout=10) as response:
        return json.load(response)


def main(ctl, work):
    # Series a Prometheus of an earlier run left in the folder would still
    # answer queries (and look stale to the rules).
    for folder in ('tsdb', 'alertmanager-data'):
        shutil.rmtree(os.path.join(work, folder), ignore_errors=True)
    os.makedirs(work, exist_ok=True)
    with open(DASHBOARD) as f:
        dashboard = json.load(f)
    queries = check_dashboard_imports(dashboard)
    started = []
    try:
        service = Service(ctl, os.path.join(work, 'service'), '--interval', '0.5', '--allow-writes')
        started.append(service)
        receiver = Receiver()
        started.append(receiver)
        alertmanager, alertmanager_port = start_alertmanager(work, receiver.url)
        started.append(alertmanager)
        prometheus, prometheus_port = start_prometheus(
            work, urllib.parse.urlparse(service.url).netloc, alertmanager_port)
        started.append(prometheus)
        api = PrometheusApi(prometheus_port)

        # A healthy bench: the dashboard fills and no rule fires.
        wait_for(lambda: api.query('brevant_module_temperature_celsius{bench="%s"}' % BENCH), 30,
                 'Prometheus to scrape the bench service')
        check_dashboard_queries(api, dashboard, queries)
        assert wait_for(lambda: api.get('rules'), 10, 'the rules to load')['groups'], 'no rule groups loaded'
        alerts = api.query('ALERTS')
        assert alerts == [], 'alerts on a healthy bench: %s' % [a['metric'] for a in alerts]

        # The module of VBRD0001 goes into Fault: its state register is
        # written through the service, as the module itself would set it.
        post_command(service, 'VBRD0001', 'mdio write', 1, MODULE_STATE_REGISTER, FAULT)
        alert = receiver.next(lambda a: a['labels']['alertname'] == 'BrevantModuleFault', 30,
                              'the module fault alert at the receiver')
        labels = alert['labels']
        assert alert['status'] == 'firing', alert
        assert labels['serial'] == 'VBRD0001' and labels['location'] == 'bench:0', labels
        assert labels['bench'] == BENCH and labels['severity'] == 'critical', labels
        assert alert['annotations']['summary'] == \
            'Module on board VBRD0001 at bench:0 on bench %s is in Fault' % BENCH, alert['annotations']
        print('Alertmanager notified: %s' % alert['annotations']['summary'])

        # The fault is taken away: the module reports Ready again.
        post_command(service, 'VBRD0001', 'mdio write', 1, MODULE_STATE_REGISTER, READY)
        resolved = receiver.next(lambda a: a['labels']['alertname'] == 'BrevantModuleFault' and
                                 a['status'] == 'resolved', 30, 'the module fault alert to resolve')
        assert resolved['labels']['serial'] == 'VBRD0001', resolved
        # Only the faulty board was ever named.
        others = [a['labels'] for a in receiver.received if a['labels'].get('serial') != 'VBRD0001']
        assert others == [], 'other alerts: %s' % others
        print('Alertmanager resolved it once the module was Ready again')
    finally:
        for program in reversed(started):
            program.stop()


if __name__ == '__main__':
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
