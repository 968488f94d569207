"""tls_test.py - brevantctl serve over HTTPS with a token, against real
clients: a throwaway certificate authority and a certificate for 127.0.0.1
made here with openssl, curl reading the page, the API and the live stream
with that authority and refusing the service under another one, and a
Prometheus server scraping /metrics over HTTPS with the authority and the
token, after which its query API has the bench's series.

    /usr/bin/python3 tls_test.py BREVANTCTL WORKDIR"""
import json
import os
import ssl
import subprocess
import sys
import urllib.parse
import urllib.request

from service import Prometheus, Service

TOKEN = '0123456789abcdef-tls-bench-token'


def openssl(*args):
    subprocess.run(['openssl', *args], check=True, capture_output=True, timeout=30)


def make_authority(work, name):
    key, cert = os.path.join(work, name + '.key'), os.path.join(work, name + '.pem')
    openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-keyout', key,
            '-out', cert, '-days', '2', '-subj', '/CN=' + name)
    return key, cert


def make_certificate(work, ca_key, ca_cert):
    key, csr, cert = (os.path.join(work, 'service' + ext) for ext in ('.key', '.csr', '.pem'))
    ext = os.path.join(work, 'service.ext')
    with open(ext, 'w') as f:
        f.write('subjectAltName=IP:127.0.0.1\n')
    openssl('req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-keyout', key, '-out', csr,
            '-subj', '/CN=127.0.0.1')
    openssl('x509', '-req', '-in', csr, '-CA', ca_cert, '-CAkey', ca_key, '-CAcreateserial', '-out', cert,
            '-days', '2', '-extfile', ext)
    return key, cert


def curl(url, ca, *args):
    return subprocess.run(['curl', '-sS', '--max-time', '10', '--cacert', ca, '-H', 'Authorization: Bearer ' + TOKEN,
                           *args, url], capture_output=True, text=True, timeout=20)


def main(ctl, work):
    os.makedirs(work, exist_ok=True)
    ca_key, ca = make_authority(work, 'bench-ca')
    _, other_ca = make_authority(work, 'other-ca')
    key, cert = make_certificate(work, ca_key, ca)
    token = os.path.join(work, 'token')
    with open(token, 'w') as f:
        f.write(TOKEN + '\n')
    os.chmod(token, 0o600)

    context = ssl.create_default_context(cafile=ca)
    service = Service(ctl, os.path.join(work, 'service'), '--interval', '0.5', '--token-file', token,
                      '--tls-cert', cert, '--tls-key', key, ssl_context=context)
    prometheus = None
    try:
        assert service.url.startswith('https://127.0.0.1:'), service.url
        errors = []
        page = curl(service.url, ca)
        assert page.returncode == 0 and '<script src="/dashboard.js"' in page.stdout, page.stderr
        boards = curl(service.url + 'api/v1/boards', ca)
        assert boards.returncode == 0 and json.loads(boards.stdout)['boards'], boards.stdout + boards.stderr
        stream = curl(service.url + 'api/v1/events', ca, '-N', '--max-time', '2')
        assert 'event: sample' in stream.stdout, stream.stdout + stream.stderr
        wrong = curl(service.url + 'metrics', other_ca)
        assert wrong.returncode == 60, 'curl took the service under another authority: %d %s' % (
            wrong.returncode, wrong.stderr)
        errors.append(wrong.stderr.strip().splitlines()[0])
        print('curl over HTTPS: the page, the API and the live stream; under another authority: refused (%s)'
              % errors[0])

        target = urllib.parse.urlparse(service.url).netloc
        prometheus = Prometheus(work, '  - job_name: bench\n    scheme: https\n'
                                      '    authorization:\n      credentials_file: %s\n'
                                      '    tls_config:\n      ca_file: %s\n'
                                      '    static_configs:\n      - targets: ["%s"]\n' % (token, ca, target))
        query = lambda: prometheus.query('brevant_up{serial="VBRD0001"}')
        result = service.wait_for(query, seconds=30, what='Prometheus to scrape the service over HTTPS')
        assert result[0]['value'][1] == '1', result
        assert 'brevant_build_info{version=' in service.get('/metrics', {'Authorization': 'Bearer ' + TOKEN})
        print('Prometheus scraped /metrics over HTTPS with the authority and the token: brevant_up 1')
    finally:
        if prometheus is not None:
            prometheus.stop()
        service.stop()


if __name__ == '__main__':
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
