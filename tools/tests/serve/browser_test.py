"""browser_test.py - the dashboard in a real browser: headless Chromium
driven by Selenium against brevantctl serve on the simulated bench.

    /usr/bin/python3 browser_test.py BREVANTCTL WORKDIR

The page must list both simulated boards with their serial numbers and the
simulated mark, show a module temperature that changes within two sample
intervals, draw its charts, and with writes allowed set a port from the page
so that the board's next sample shows it, asking first before a write to
the EEPROM. On a rack of eight boards (one in Fault, one with an empty
cage, one whose module answers on MDIO port 3, one the inventory expects
and that is not there) the overview shows every board on a 1366x768 screen,
sorts, and follows a board unplugged and plugged back by editing the bench
file; the page fits 400 px wide, and 32 boards fit 1920x1080. Screenshots
go to WORKDIR: dashboard.png (the rack, 1366x768, the docs' picture),
narrow.png and wide.png."""
import os
import re
import shutil
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

from service import Service

INTERVAL = 0.5


def text(driver, selector):
    """The text of an element, read in one go: the page replaces its tables
    on every sample, so an element found before may be gone when read."""
    return driver.execute_script('const e = document.querySelector(arguments[0]); return e ? e.textContent : null;',
                                 selector)


def attribute(driver, selector, name):
    """An attribute of an element, read in one go (see text)."""
    return driver.execute_script('const e = document.querySelector(arguments[0]); '
                                 'return e ? e.getAttribute(arguments[1]) : null;', selector, name)


def waiter(driver, seconds, poll=0.1):
    return WebDriverWait(driver, seconds, poll_frequency=poll, ignored_exceptions=[StaleElementReferenceException])


def viewport(driver, width, height):
    """Sizes the window so that the page itself gets width x height."""
    driver.set_window_size(width, height)
    inner = driver.execute_script('return [window.innerWidth, window.innerHeight];')
    driver.set_window_size(2 * width - inner[0], 2 * height - inner[1])


def overview(driver):
    """The overview's rows: {serial: {column: text}}, and the row order."""
    rows = driver.execute_script("""
        return [...document.querySelectorAll('#overview-table tbody tr')].map(tr =>
            Object.fromEntries([...tr.children].map(td => [td.dataset.col, td.textContent])));""")
    return {r['serial']: r for r in rows}, [r['serial'] for r in rows]


def bench_file(path, lines):
    with open(path + '.new', 'w') as f:
        f.write('\n'.join(lines) + '\n')
    os.replace(path + '.new', path)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
    for flag in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', '--user-data-dir=' + profile, '--window-size=1366,768'):
        options.add_argument(flag)
    return webdriver.Chrome(service=DriverService(shutil.which('chromedriver') or '/usr/bin/chromedriver'),
                            options=options)


def main(ctl, work):
    service = Service(ctl, work, '--allow-writes', '--interval', str(INTERVAL))
    profile = tempfile.mkdtemp(prefix='chromium-', dir=work)
    driver = None
    try:
        driver = browser(profile)
        driver.set_page_load_timeout(30)
        driver.get(service.url)
        wait = waiter(driver, 15)

        # Both boards of the default simulated bench, with their serials and the mark.
        cards = wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, 'section.board[data-state="up"]')) == 2
                           and d.find_elements(By.CSS_SELECTOR, 'section.board'))
        serials = sorted(c.find_element(By.CSS_SELECTOR, '.serial').text for c in cards)
        assert serials == ['VBRD0001', 'VBRD0002'], serials
        # Each card says where its board is attached, as brevantctl list does.
        places = sorted(c.find_element(By.CSS_SELECTOR, '.kind').text for c in cards)
        assert places == ['type 0 · at bench:1', 'type 1 · at bench:0'], places
        for card in cards:
            assert card.find_element(By.CSS_SELECTOR, '.simulated').is_displayed(), 'no simulated mark'

        # The module temperature moves within two intervals (the value as
        # read: shown to 2 decimals, a step of 1/256 C may not show).
        cell = '[data-board="VBRD0001"] td[data-key="module_temperature_C"]'
        first = wait.until(lambda d: attribute(d, cell, 'data-value'))
        start = time.monotonic()
        waiter(driver, 2 * INTERVAL + 0.5, poll=0.05).until(lambda d: attribute(d, cell, 'data-value') != first)
        print('module temperature changed after %.2f s: %s -> %s' % (time.monotonic() - start, first,
                                                                   attribute(driver, cell, 'data-value')))

        # Values show as status prints them: rounded to their unit's decimals,
        # with readable labels; the module's state stands in the title.
        board = '[data-board="VBRD0001"] '
        shown = {key: text(driver, board + 'td[data-key="%s"]' % key) for key in
                 ('module_temperature_C', 'module_supplyVoltage_V', 'vcc', 'temp0', 'module_lane0_txPower_dBm',
                  'module_lane0_laserBias_mA', 'module_lane0_rxPower_mW')}
        for key, pattern in (('module_temperature_C', r'-?\d+\.\d{2} °C'), ('module_supplyVoltage_V', r'\d+\.\d{4} V'),
                             ('vcc', r'\d+\.\d{4} V'), ('temp0', r'-?\d+\.\d{2} °C'),
                             ('module_lane0_txPower_dBm', r'[-+]\d+\.\d{2}'), ('module_lane0_laserBias_mA', r'\d+\.\d{3}'),
                             ('module_lane0_rxPower_mW', r'\d+\.\d{4}')):
            assert re.fullmatch(pattern, shown[key] or ''), (key, shown[key])
        labels = driver.execute_script("""
            return [...document.querySelectorAll(arguments[0] + 'td.value')].map(td => td.previousElementSibling)
                .filter(Boolean).map(td => td.textContent);""", board)
        assert 'supply voltage' in labels, labels
        assert not any(l in ('vcc', 'temperature_C', 'supplyVoltage_V') for l in labels), labels
        state = waiter(driver, 5).until(lambda d: text(d, board + '.module-state'))
        assert state == 'module Ready', state
        assert 'ready' in attribute(driver, board + '.module-state', 'class').split(), 'Ready without its colour'
        assert driver.find_element(By.CSS_SELECTOR, board + '.module-state').is_displayed(), 'module state hidden'

        # Every chart of a board with a module has lines.
        wait.until(lambda d: all(int(c.get_attribute('data-points') or 0) >= 2 for c in
                                 d.find_elements(By.CSS_SELECTOR, '[data-board="VBRD0001"] canvas.chart')))
        inked = driver.execute_script("""
            const c = document.querySelector('[data-board="VBRD0001"] canvas[data-series="laserBias"]');
            const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            let n = 0; for (let i = 3; i < d.length; i += 4) if (d[i] > 0) n++;
            return n;""")
        assert inked > 500, 'the bias chart drew %d pixels' % inked

        # Port 3 set from the page: its FTDI bit shows in the board's next samples.
        form = driver.find_element(By.CSS_SELECTOR, '[data-board="VBRD0001"] form.controls')
        Select(form.find_element(By.NAME, 'command')).select_by_value('port set')
        form.find_element(By.NAME, 'args').send_keys('3 0x80')
        form.find_element(By.CSS_SELECTOR, 'button').click()
        wait.until(lambda d: form.find_element(By.CSS_SELECTOR, '.answer').text.startswith('done'))
        wait.until(lambda d: text(d, '[data-board="VBRD0001"] td[data-key="port3"]') == '0x80')  # hex, as status
        sample = service.json('/api/v1/boards/VBRD0001/sample')
        assert sample['readings']['ftdi_supply']['value'] is True, sample['readings']['ftdi_supply']

        # The page offers the commands the service runs, and asks before a
        # write that changes the EEPROM: declined, nothing is sent.
        offered = [o.get_attribute('value') for o in form.find_elements(By.CSS_SELECTOR, 'option')]
        assert offered == service.json('/api/v1')['commands'], offered
        Select(form.find_element(By.NAME, 'command')).select_by_value('sn set')
        form.find_element(By.NAME, 'args').clear()
        form.find_element(By.NAME, 'args').send_keys('NEWSN001')
        form.find_element(By.CSS_SELECTOR, 'button').click()
        alert = wait.until(lambda d: d.switch_to.alert)
        assert 'EEPROM' in alert.text, alert.text
        alert.dismiss()
        wait.until(lambda d: form.find_element(By.CSS_SELECTOR, '.answer').text == 'not sent')
        assert service.json('/api/v1/boards/VBRD0001')['board']['serial'] == 'VBRD0001'
        icon = driver.execute_script("const l = document.querySelector('link[rel=icon]'); return l ? l.href : '';")
        assert icon.startswith('data:image/svg+xml'), icon
        # The write's "command" event on the stream left the page's one live
        # stream standing (a page that took it for a sample lost its stream,
        # and opened another 2 s later).
        time.sleep(1.5)
        streams = re.search(r'brevant_http_requests_total\{route="/api/v1/events",code="200"\} (\d+)',
                            service.get('/metrics')).group(1)
        assert streams == '1', 'the page opened %s live streams' % streams
        assert text(driver, '#connection') == 'live'
        service.stop()

        # A rack of eight, with an inventory: one board expected and absent.
        rack = os.path.join(work, 'rack.bench')
        lines = ['1 RACK0001', '1 RACK0002 module-state=fault module-alarm=A01E:0040', '0 RACK0003 module=none',
                 '1 RACK0004 module-port=3', '1 RACK0005', '1 RACK0006', '1 RACK0007', '1 RACK0008']
        bench_file(rack, lines)
        inventory = os.path.join(work, 'inventory.csv')
        with open(inventory, 'w') as f:
            f.write('serial,name,slot,mdio_port\nRACK0004,optics,4,3\nRACK0009,spare,9,\n')
        service = Service(ctl, os.path.join(work, 'rack'), '--interval', str(INTERVAL), '--rescan', '0.5',
                          '--inventory', inventory, bench=rack)
        viewport(driver, 1366, 768)
        driver.get(service.url)
        rows = lambda d: overview(d)[0]
        wait.until(lambda d: sum(r['state'] == 'up' for r in rows(d).values()) == 8)
        wait.until(lambda d: rows(d)['RACK0002']['alarms'] == '0xA01E=0x0040')
        # A card's module state comes with the board's first sample that read it.
        wait.until(lambda d: all(r['module'] != '—' for s, r in rows(d).items() if s != 'RACK0009'))
        seen = rows(driver)
        assert seen['RACK0009']['state'] == 'missing', seen['RACK0009']
        assert seen['RACK0002']['module'] == 'Fault' and seen['RACK0003']['module'] == 'no module', seen
        assert seen['RACK0004']['module'] == 'Ready', seen['RACK0004']  # on MDIO port 3, as the inventory says
        assert re.fullmatch(r'[-+]\d+\.\d{2} dBm \(L\d\)', seen['RACK0001']['tx']), seen['RACK0001']
        summary = text(driver, '#summary')
        assert '8 up' in summary and '1 missing' in summary and '1 module in Fault' in summary, summary
        # Each state its own colour: Fault red, an empty cage grey, Ready green.
        colour = lambda serial, col: driver.execute_script(
            "return getComputedStyle(document.querySelector('#overview-table tr[data-board=\"' + arguments[0] + "
            "'\"] td[data-col=\"' + arguments[1] + '\"]')).backgroundColor;", serial, col)
        assert len({colour('RACK0001', 'module'), colour('RACK0002', 'module'), colour('RACK0003', 'module')}) == 3
        badge = '[data-board="RACK0003"] .module-state'
        assert text(driver, badge) == 'no module', text(driver, badge)
        # Every board of the rack on one 1366x768 screen.
        bottom = driver.execute_script("const r = document.querySelectorAll('#overview-table tbody tr'); "
                                       "return r[r.length - 1].getBoundingClientRect().bottom;")
        assert bottom <= 768, 'the overview ends at %d px' % bottom
        # Sorted by module temperature, highest first after two clicks.
        header = driver.find_element(By.CSS_SELECTOR, '#overview-table th[data-sort="temperature"]')
        header.click()
        header.click()
        temps = [float(t.split()[0]) for t in driver.execute_script(
            "return [...document.querySelectorAll('#overview-table td[data-col=\"temperature\"]')]"
            ".map(td => td.textContent).filter(t => t !== '—');")]
        assert temps == sorted(temps, reverse=True) and len(temps) >= 6, temps
        # A click on a row brings its board's card.
        driver.find_element(By.CSS_SELECTOR, '#overview-table tr[data-board="RACK0002"]').click()
        assert 'picked' in attribute(driver, '[data-board="RACK0002"].board', 'class').split()
        assert text(driver, '[data-board="RACK0002"] .registers-note').startswith('1 of ')

        # Unplugged from outside (its line leaves the bench file), the board
        # is down within a rescan; plugged back, it is up under its own row.
        bench_file(rack, [l for l in lines if 'RACK0001' not in l])
        wait.until(lambda d: rows(d)['RACK0001']['state'] == 'down')
        wait.until(lambda d: all(r['state'] == 'up' for s, r in rows(d).items() if s not in ('RACK0001', 'RACK0009')))
        bench_file(rack, lines)
        wait.until(lambda d: all(r['state'] == 'up' for s, r in rows(d).items() if s != 'RACK0009'))
        assert len(rows(driver)) == 9
        time.sleep(3 * INTERVAL)  # a few more points on the charts
        driver.execute_script('window.scrollTo(0, 0); document.querySelectorAll(".picked").forEach(e => e.classList.remove("picked"));')
        shot = os.path.join(work, 'dashboard.png')
        driver.save_screenshot(shot)

        # 400 px wide: one column, nothing wider than the page, no badge cut.
        viewport(driver, 400, 800)
        time.sleep(0.5)
        wide, cut = driver.execute_script("""
            const cut = [...document.querySelectorAll('section.board .badge')].filter(b => !b.hidden).filter(b => {
                const r = b.getBoundingClientRect(), c = b.closest('section.board').getBoundingClientRect();
                return r.right > c.right + 0.5 || r.left < c.left - 0.5; }).length;
            return [document.documentElement.scrollWidth, cut];""")
        assert wide <= 400 and cut == 0, (wide, cut, driver.execute_script("""
            return [...document.querySelectorAll('body *')].filter(e => e.getBoundingClientRect().right > 400.5)
                .slice(0, 6).map(e => e.tagName + '.' + e.className + ' ' + Math.round(e.getBoundingClientRect().right));"""))
        driver.save_screenshot(os.path.join(work, 'narrow.png'))
        service.stop()

        # Thirty-two boards on one 1920x1080 screen.
        many = os.path.join(work, 'many.bench')
        bench_file(many, ['1 MANY%04d module=none' % n for n in range(32)])
        service = Service(ctl, os.path.join(work, 'many'), '--interval', '2', bench=many)
        viewport(driver, 1920, 1080)
        driver.get(service.url)
        waiter(driver, 30).until(lambda d: sum(r['state'] == 'up' for r in rows(d).values()) == 32)
        bottom = driver.execute_script("const r = document.querySelectorAll('#overview-table tbody tr'); "
                                       "return r[r.length - 1].getBoundingClientRect().bottom;")
        assert bottom <= 1080, 'the overview of 32 boards ends at %d px' % bottom
        driver.save_screenshot(os.path.join(work, 'wide.png'))
        service.stop()

        # A module in Fault: its state shows in red, its own colour.
        bench = os.path.join(work, 'fault.bench')
        with open(bench, 'w') as f:
            f.write('1 FAULT001 module-state=fault\n')
        service = Service(ctl, os.path.join(work, 'fault'), '--interval', str(INTERVAL), bench=bench)
        driver.get(service.url)
        badge = '[data-board="FAULT001"] .module-state'
        state = waiter(driver, 15).until(lambda d: text(d, badge))
        assert state == 'module Fault', state
        assert 'fault' in attribute(driver, badge, 'class').split(), 'a Fault without its colour'
        # This service does not allow writes: no control to change the board shows.
        shown = [f for f in driver.find_elements(By.CSS_SELECTOR, '.controls') if f.is_displayed()]
        assert not shown, 'controls shown on a service that does not allow writes'
        print('browser test passed; screenshot', shot)
    finally:
        if driver is not None:
            driver.quit()
        service.stop()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == '__main__':
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
