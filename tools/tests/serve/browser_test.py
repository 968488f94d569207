"""browser_test.py - the dashboard in a real browser: headless Chromium
driven by Selenium against brevantctl serve on the simulated bench.

    /usr/bin/python3 browser_test.py BREVANTCTL WORKDIR

The page must list both simulated boards with their serial numbers and the
simulated mark, show a module temperature that changes within two sample
intervals, draw its charts, and with writes allowed set a port from the page
so that the board's next sample shows it. A screenshot goes to
WORKDIR/dashboard.png."""
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
        wait.until(lambda d: text(d, '[data-board="VBRD0001"] td[data-key="port3"]') == '128')
        sample = service.json('/api/v1/boards/VBRD0001/sample')
        assert sample['readings']['ftdi_supply']['value'] is True, sample['readings']['ftdi_supply']

        time.sleep(3 * INTERVAL)  # a few more points on the charts
        # The write's "command" event on the stream left the page's one live
        # stream standing (a page that took it for a sample lost its stream,
        # and opened another 2 s later).
        time.sleep(1.5)
        streams = re.search(r'brevant_http_requests_total\{route="/api/v1/events",code="200"\} (\d+)',
                            service.get('/metrics')).group(1)
        assert streams == '1', 'the page opened %s live streams' % streams
        assert text(driver, '#connection') == 'live'
        shot = os.path.join(work, 'dashboard.png')
        driver.save_screenshot(shot)
        service.stop()

        # A module in Fault: its state shows in the warning colour.
        bench = os.path.join(work, 'fault.bench')
        with open(bench, 'w') as f:
            f.write('1 FAULT001 module-state=fault\n')
        service = Service(ctl, os.path.join(work, 'fault'), '--interval', str(INTERVAL), bench=bench)
        driver.get(service.url)
        badge = '[data-board="FAULT001"] .module-state'
        state = waiter(driver, 15).until(lambda d: text(d, badge))
        assert state == 'module Fault', state
        assert 'warning' in attribute(driver, badge, 'class').split(), 'a Fault without the warning colour'
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
