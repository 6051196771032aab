#!/usr/bin/python3
"""The gateway's console in a real browser (Chromium, headless) against the real gateway and velkor-sim.

Run with Debian's Python (python3-selenium): console_test.py BUILD_DIR [--screenshots DIR].
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

BUILD = None
SCREENSHOTS = None

WATCHES = ('name,address,groups\n'
           '厨师1,0.0.0.1,kitchen\n'
           '厨师2,0.0.0.2,kitchen\n'
           '厨师3,0.0.0.3,kitchen;floor-2\n'
           '前台,0.0.0.9,\n')
TEXTS = 'label,text,to\n取餐,3号桌请取餐,kitchen\n前台,请到前台,\n'


def frame_for(sequence, address, text):
    """The text frame the window sends: 5A, sequence, address, E0, length, GBK text, checksum."""
    body = bytes([0x5A, sequence]) + bytes(int(p) for p in address.split('.')) + bytes([0xE0])
    gbk = text.encode('gbk')
    body += bytes([len(gbk)]) + gbk
    return body + bytes([sum(body) % 256])


class Simulator:
    """velkor-sim on a link of its own; the frames it took, as it printed them."""

    def __init__(self, folder):
        self.link = os.path.join(folder, 'sim')
        self.log = os.path.join(folder, 'sim.log')
        self.process = None

    def start(self):
        with open(self.log, 'a') as out:
            self.process = subprocess.Popen([os.path.join(BUILD, 'velkor-sim'), '--link', self.link, '--json'],
                                            stdout=out, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline and not os.path.exists(self.link):
            time.sleep(0.05)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(10)

    def frames(self):
        taken = []
        with open(self.log) as log:
            for line in log:
                entry = json.loads(line)
                if entry.get('dir') == 'in' and entry.get('command') == 'text':
                    taken.append(entry)
        return taken

    def wait_frames(self, count, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            frames = self.frames()
            if len(frames) >= count:
                return frames
            time.sleep(0.1)
        return self.frames()


class Site:
    """A gateway with a watch list and quick texts, on loopback, sending to a simulator."""

    def __init__(self, tokens=None):
        self.folder = tempfile.mkdtemp(prefix='velkor-console-')
        self.sim = Simulator(self.folder)
        for name, text in (('watches.csv', WATCHES), ('texts.csv', TEXTS)):
            with open(os.path.join(self.folder, name), 'w') as f:
                f.write(text)
        options = ['--gap', '50', '--watches', os.path.join(self.folder, 'watches.csv'),
                   '--texts', os.path.join(self.folder, 'texts.csv')]
        if tokens:
            path = os.path.join(self.folder, 'tokens')
            with open(path, 'w') as f:
                f.write(tokens)
            os.chmod(path, 0o600)
            options += ['--token-file', path]
        self.sim.start()
        # The tests' one launcher (the C++ tests' and the benchmark's), as a program: it says the ports it
        # chose once the API answers, and stops the gateway when its input closes.
        self.launcher = subprocess.Popen(
            [os.environ['VELKOR_TEST_GATEWAY'], os.path.join(BUILD, 'velkor-gateway'), self.sim.link,
             os.path.join(self.folder, 'q.db'), os.path.join(self.folder, 'gateway.log'), *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, VELKOR_SEQUENCE_DIR=os.path.join(self.folder, 'sequence')))
        started = json.loads(self.launcher.stdout.readline() or '{"error": "the launcher ended"}')
        if 'error' in started:
            raise AssertionError(f"gateway not started: {started['error']}")
        self.port = started['http']
        self.pid = started['pid']  # the gateway's own
        self.url = f'http://127.0.0.1:{self.port}/'

    def close(self):
        self.launcher.stdin.close()
        try:
            said = self.launcher.stdout.readline()
            self.launcher.wait(20)
            status = json.loads(said)['status'] if said else 'no status from the launcher'
        except subprocess.TimeoutExpired:
            self.launcher.kill()
            status = 'still running 15 s after SIGTERM'
        self.sim.stop()
        with open(os.path.join(self.folder, 'gateway.log'), errors='replace') as f:
            log = f.read()
        shutil.rmtree(self.folder, ignore_errors=True)
        # A sanitizer's report, or an unclean stop, fails the test that ran it.
        if status != 0 or 'Sanitizer' in log or 'runtime error' in log:
            raise AssertionError(f'gateway ended with {status}:\n{log[-4000:]}')


def browser(language='zh-CN', size=(1280, 800)):
    options = webdriver.ChromeOptions()
    options.add_argument('--headless=new')
    options.add_argument('--no-sandbox')
    options.add_argument('--disable-gpu')
    options.add_argument('--disable-dev-shm-usage')
    options.add_argument(f'--lang={language}')
    options.add_argument(f'--window-size={size[0]},{size[1]}')
    options.add_experimental_option('prefs', {'intl.accept_languages': language})
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def labelled(driver, text):
    """The control whose <label> says `text`, as a screen reader finds it."""
    label = driver.find_element(By.XPATH, f'//label[normalize-space()="{text}"]')
    return driver.find_element(By.ID, label.get_attribute('for'))


def wait(driver, condition, timeout=10, message=""):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition(d), message)


# Rows are read in one script: the console rebuilds a row when its page changes, and an element found in one
# call may be gone by the next.
def row_states(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#pages tbody tr')].map(r => [r.dataset.id, r.dataset.state]);")


def state_of_text(driver, text):
    return driver.execute_script(
        "const row = [...document.querySelectorAll('#pages tbody tr')]"
        "  .find(r => r.querySelector('td.text').textContent === arguments[0]);"
        "return row ? row.querySelector('td.state').firstChild.textContent : null;", text)


def sources(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#pages tbody td.from')].map(td => td.textContent);")


class ConsoleTest(unittest.TestCase):
    def setUp(self):
        # Cleanups run even when a later step of the set-up fails: no gateway is left behind.
        self.site = Site()
        self.addCleanup(self.site.close)

    def open(self, language='zh-CN', size=(1280, 800)):
        driver = browser(language, size)
        self.addCleanup(driver.quit)
        driver.get(self.site.url)
        wait(driver, lambda d: d.find_element(By.ID, 'health').get_attribute('data-status') == 'ok',
             message='the health line says ok')
        return driver

    def test_a_page_from_the_form_reaches_the_watch_and_every_open_console_sees_it_sent(self):
        desk = self.open()
        other = self.open()
        labelled(desk, '发给').send_keys('前台')
        labelled(desk, '内容').send_keys('请到前台取餐')
        desk.find_element(By.XPATH, '//button[normalize-space()="发送"]').click()
        frames = self.site.sim.wait_frames(1)
        self.assertEqual(len(frames), 1)
        frame = frames[0]
        self.assertEqual(bytes.fromhex(frame['bytes']), frame_for(frame['sequence'], '0.0.0.9', '请到前台取餐'))
        for driver in (desk, other):
            wait(driver, lambda d: state_of_text(d, '请到前台取餐') == '已发送',
                 message='the row turns sent without a reload')
        # Ctrl+Enter sends too, and the second console sees that row appear.
        labelled(desk, '内容').send_keys('二号', Keys.CONTROL, Keys.ENTER)
        wait(other, lambda d: state_of_text(d, '二号') == '已发送')
        self.assertEqual(len(self.site.sim.wait_frames(2)), 2)
        headers = [th.text for th in desk.find_elements(By.CSS_SELECTOR, '#pages thead th')]
        self.assertIn('状态', headers)

    def test_a_page_to_answer_is_listed_on_top_and_an_answer_in_one_console_clears_it_in_every_one(self):
        desk = self.open()
        other = self.open()
        # From another system, repeating until someone answers; then one from the form with its box ticked.
        body = {'to': '前台', 'text': '5床呼叫', 'repeat': {'every': 5, 'until': 'acknowledged'}, 'ttl': 300}
        request = urllib.request.Request(self.site.url + 'v1/pages', json.dumps(body).encode(),
                                         {'Content-Type': 'application/json'})
        urllib.request.urlopen(request).read()
        labelled(desk, '发给').send_keys('前台')
        labelled(desk, '内容').send_keys('请回电')
        labelled(desk, '需要应答').click()
        desk.find_element(By.ID, 'submit').click()
        waiting = ("return [...document.querySelectorAll('#unanswered-list li .text')].map(e => e.textContent);")
        for driver in (desk, other):
            wait(driver, lambda d: d.execute_script(waiting) == ['5床呼叫', '请回电'],
                 message='both wait for an answer, oldest first')
            self.assertTrue(driver.find_element(By.ID, 'unanswered').is_displayed())
        desk.find_element(By.XPATH, '//ol[@id="unanswered-list"]/li[1]//button[normalize-space()="应答"]').click()
        for driver in (desk, other):
            wait(driver, lambda d: d.execute_script(waiting) == ['请回电'], message='the answered one leaves')
            wait(driver, lambda d: state_of_text(d, '5床呼叫') == '已应答')
        answered = json.loads(urllib.request.urlopen(self.site.url + 'v1/pages?state=acknowledged').read())
        self.assertEqual(answered['pages'][0]['answered']['via'], 'console')
        other.find_element(By.XPATH, '//ol[@id="unanswered-list"]/li[1]//button[normalize-space()="应答"]').click()
        for driver in (desk, other):
            wait(driver, lambda d: not d.find_element(By.ID, 'unanswered').is_displayed(),
                 message='nothing left to answer: the list goes')

    def test_a_new_page_to_answer_sounds_a_tone_and_shows_a_notification_where_allowed(self):
        # The browser's own APIs, watched: the console must ask the real permission, and call attention
        # only to a page that arrives while it is open, not to those waiting when it loads.
        spy = """
            window.told = []; window.tones = 0;
            const Real = window.Notification;
            function Watched(title, options) { window.told.push([title, (options || {}).body]); }
            Object.defineProperty(Watched, 'permission', { get: () => Real.permission });
            Watched.requestPermission = (...a) => Real.requestPermission(...a);
            window.Notification = Watched;
            const start = OscillatorNode.prototype.start;
            OscillatorNode.prototype.start = function (...a) { window.tones += 1; return start.apply(this, a); };
        """
        allowed, silent = browser(), browser()
        for driver in (allowed, silent):
            self.addCleanup(driver.quit)
            driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': spy})
        allowed.execute_cdp_cmd('Browser.grantPermissions',
                                {'origin': self.site.url.rstrip('/'), 'permissions': ['notifications']})
        for driver in (allowed, silent):
            driver.get(self.site.url)
            wait(driver, lambda d: d.find_element(By.ID, 'health').get_attribute('data-status') == 'ok')

        def post(body):
            request = urllib.request.Request(self.site.url + 'v1/pages', json.dumps(body).encode(),
                                             {'Content-Type': 'application/json'})
            urllib.request.urlopen(request).read()

        post({'to': '前台', 'text': '不需应答'})
        post({'to': '前台', 'text': '5床呼叫', 'answer': True, 'ttl': 300})
        told = 'return [window.tones, window.told];'
        wait(allowed, lambda d: d.execute_script(told) == [1, [['新的呼叫需要应答', '5床呼叫']]],
             message='one tone and one notification, for the page to answer only')
        wait(silent, lambda d: d.execute_script(told)[0] == 1, message='a tone without the permission')
        self.assertEqual(silent.execute_script(told), [1, []])
        allowed.refresh()
        wait(allowed, lambda d: d.execute_script(
            "return document.querySelectorAll('#unanswered-list li').length;") == 1)
        self.assertEqual(allowed.execute_script(told), [0, []], 'a page already waiting calls no attention')

    def test_quick_texts_groups_and_what_the_watches_cannot_show(self):
        desk = self.open()
        desk.find_element(By.XPATH, '//div[@id="quick"]//button[normalize-space()="取餐"]').click()
        self.assertEqual(labelled(desk, '发给').get_attribute('value'), 'kitchen')
        desk.find_element(By.XPATH, '//button[normalize-space()="发送"]').click()
        frames = self.site.sim.wait_frames(3)
        self.assertEqual(sorted(f['address'] for f in frames), ['0.0.0.1', '0.0.0.2', '0.0.0.3'])
        self.assertTrue(all(f['text'] == '3号桌请取餐' for f in frames))

        text = labelled(desk, '内容')
        text.send_keys('好' * 42 + 'a')  # 85 bytes in GBK
        self.assertEqual(desk.find_element(By.ID, 'count').text, '85/84')
        labelled(desk, '发给').clear()
        labelled(desk, '发给').send_keys('all')
        desk.find_element(By.XPATH, '//button[normalize-space()="发送"]').click()
        self.assertIn('85 字节', desk.find_element(By.ID, 'text-error').text)
        text.clear()
        desk.execute_script("const t = document.getElementById('text'); t.value = '温度 ℃ 😀'; "
                            "t.dispatchEvent(new Event('input'));")
        warning = desk.find_element(By.ID, 'text-warning').text
        self.assertIn('😀', warning)
        self.assertNotIn('℃', warning)  # GBK has it
        self.assertEqual(len(self.site.sim.frames()), 3, 'nothing more was sent')

        # The watch list changed while the page was open: the gateway's refusal, in the page's words.
        with open(os.path.join(self.site.folder, 'watches.csv'), 'w') as f:
            f.write(WATCHES.replace('前台,0.0.0.9,\n', ''))
        os.kill(self.site.pid, signal.SIGHUP)
        deadline = time.time() + 5
        while time.time() < deadline and '前台' in urllib.request.urlopen(self.site.url + 'v1/watches').read().decode():
            time.sleep(0.05)
        desk.execute_script("const t = document.getElementById('text'); t.value = '请到前台'; "
                            "t.dispatchEvent(new Event('input'));")
        labelled(desk, '发给').clear()
        labelled(desk, '发给').send_keys('前台')
        desk.find_element(By.ID, 'submit').click()
        wait(desk, lambda d: d.find_element(By.ID, 'to-error').text == '没有名为“前台”的手表或分组')

    def test_english_for_an_english_browser_and_nothing_cut_off_on_a_desk_or_a_tablet(self):
        english = self.open('en-US')
        self.assertEqual(english.find_element(By.ID, 'submit').text, 'Send')
        labelled(english, 'To').send_keys('厨师1')
        labelled(english, 'Text').send_keys('hello')
        english.find_element(By.ID, 'submit').click()
        wait(english, lambda d: state_of_text(d, 'hello') == 'sent')
        # A history as a site has it: a group's page, an urgent one, a repeating one.
        for body in ({'to': 'kitchen', 'text': '3号桌请取餐'},
                     {'to': ['前台'], 'text': '请到前台 VIP 客人到了', 'priority': 'high'},
                     {'to': '厨师3', 'text': '5床呼叫', 'repeat': {'every': 60, 'count': 3}}):
            request = urllib.request.Request(self.site.url + 'v1/pages', json.dumps(body).encode(),
                                             {'Content-Type': 'application/json'})
            urllib.request.urlopen(request).read()
        chinese = self.open('fr-FR')
        self.assertEqual(chinese.find_element(By.ID, 'submit').text, '发送')
        for language, size in (('zh-CN', (1280, 800)), ('zh-CN', (800, 1280)), ('en-US', (1280, 800)), ('en-US', (800, 1280))):
            driver = self.open(language, size)
            wait(driver, lambda d: len(row_states(d)) == 4, message='every page listed')
            clipped = driver.execute_script('''
                const out = [];
                if (document.documentElement.scrollWidth > window.innerWidth) out.push('page wider than window');
                for (const e of document.querySelectorAll('label, button, th, h1, h2, .health, td')) {
                  if (e.offsetParent && !e.classList.contains('visually-hidden') &&
                      e.scrollWidth > e.clientWidth + 1) out.push(e.id || e.textContent);
                }
                return out;''')
            self.assertEqual(clipped, [], f'{language} {size}')
            if SCREENSHOTS:
                shot = f'console-{"en" if language.startswith("en") else "zh"}-{"desk" if size[0] > 1000 else "tablet"}.png'
                driver.save_screenshot(os.path.join(SCREENSHOTS, shot))

    def test_the_device_unplugged_turns_health_red_and_the_page_waits(self):
        desk = self.open()
        self.site.sim.stop()  # the pseudo-terminal hangs up, as a pulled adapter does
        started = time.time()
        wait(desk, lambda d: 'bad' in d.find_element(By.ID, 'health').get_attribute('class'), timeout=3,
             message='health red within 3 s')
        self.assertLess(time.time() - started, 3)
        # Why, in the page's language by the reason's code; the gateway's own words only in the tooltip.
        health = desk.find_element(By.ID, 'health')
        wait(desk, lambda d: '设备已断开' in health.text or '没有这个设备' in health.text,
             message=f'the reason in Chinese: {health.text}')
        self.assertNotIn('lost', health.text)
        self.assertNotIn('no such device', health.text)
        self.assertTrue(health.get_attribute('title'), 'the English reason in the tooltip')
        labelled(desk, '发给').send_keys('前台')
        labelled(desk, '内容').send_keys('等端口')
        desk.find_element(By.ID, 'submit').click()
        wait(desk, lambda d: state_of_text(d, '等端口') == '排队中')
        self.site.sim.start()
        wait(desk, lambda d: state_of_text(d, '等端口') == '已发送', timeout=10)
        wait(desk, lambda d: d.find_element(By.ID, 'health').get_attribute('data-status') == 'ok')


class KeysTest(unittest.TestCase):
    def setUp(self):
        self.site = Site(tokens='desk d3sk-key send,read\nwall w4ll-key read\n')
        self.addCleanup(self.site.close)
        self.driver = browser()
        self.addCleanup(self.driver.quit)

    def enter_key(self, key):
        dialog = wait(self.driver, lambda d: d.find_element(By.ID, 'key-dialog').get_attribute('open') is not None
                      and d.find_element(By.ID, 'key-dialog'))
        field = labelled(self.driver, '密钥')
        field.clear()
        field.send_keys(key, Keys.ENTER)
        return dialog

    def test_the_console_asks_for_a_key_refuses_a_wrong_one_and_a_read_key_cannot_send(self):
        d = self.driver
        d.get(self.site.url)
        self.enter_key('wrong')
        wait(d, lambda d: d.find_element(By.ID, 'key-error').text == '密钥不对')
        self.enter_key('w4ll-key')
        wait(d, lambda d: d.find_element(By.ID, 'health').get_attribute('data-status') == 'ok')
        self.assertFalse(d.find_element(By.ID, 'submit').is_enabled())
        self.assertIn('只能查看', d.find_element(By.ID, 'form-error').text)
        # The key is kept: a reload asks nothing; forgetting it asks again.
        d.refresh()
        wait(d, lambda d: d.find_element(By.ID, 'health').get_attribute('data-status') == 'ok')
        d.find_element(By.ID, 'forget').click()
        self.enter_key('d3sk-key')
        wait(d, lambda d: d.find_element(By.ID, 'submit').is_enabled())
        labelled(d, '发给').send_keys('前台')
        labelled(d, '内容').send_keys('有钥匙')
        d.find_element(By.ID, 'submit').click()
        wait(d, lambda d: state_of_text(d, '有钥匙') == '已发送')
        self.assertIn('密钥 desk', sources(d)[0])
        self.assertNotIn('token', sources(d)[0])


if __name__ == '__main__':
    BUILD = os.path.abspath(sys.argv[1])
    rest = sys.argv[2:]
    if '--screenshots' in rest:
        at = rest.index('--screenshots')
        SCREENSHOTS = os.path.abspath(rest[at + 1])
        del rest[at:at + 2]
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
