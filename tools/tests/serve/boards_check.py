"""boards_check.py - asks a running bench service, from this host, for its
boards until at least COUNT are up with a serial number (or the time runs
out), and prints them.

    python3 boards_check.py URL SECONDS COUNT"""
import json
import sys
import time
import urllib.request


def main(url, seconds, wanted):
    deadline = time.monotonic() + seconds
    seen = None
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(url.rstrip('/') + '/api/v1/boards', timeout=2) as response:
                boards = json.load(response)['boards']
            seen = sorted(b['board'].get('serial') or '' for b in boards if b['state'] == 'up')
            if len([s for s in seen if s]) >= wanted:
                print('boards up: ' + ' '.join(seen))
                return 0
        except OSError:
            pass
        time.sleep(0.3)
    print('the service did not show %d boards up (last seen: %s)' % (wanted, seen), file=sys.stderr)
    return 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], float(sys.argv[2]), int(sys.argv[3])))
