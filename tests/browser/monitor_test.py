#!/usr/bin/python3
"""The live monitor page in a real browser (headless Chromium).

    tests/browser/monitor_test.py --url http://127.0.0.1:PORT/ --key KEY --screenshot out.png

Against a gateway (or the mock) at --url: the sign-in panel, a wrong key, rows
arriving, Filter and "!", Pause, Save and Clear, Set Clock (on a real
gateway: the clock's rows come back), and the page on a phone
(390 x 844), which never scrolls sideways. The phone's screenshot goes beside
--screenshot, its name ending in -phone. Without --url it starts
tests/browser/mock_gateway.py itself and also checks what only the mock can
make happen: messages, the check boxes, Disconnect, a lost connection and a
gateway without AuthKey. --key '' expects a read-only gateway.
Exit status 0 when every check passed.
"""

import argparse
import os
import re
import signal
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # no cache left beside the mock

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"
FILTER = "0FF8"
PHONE = {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True}


class Failure(Exception):
    pass


class TimeOut(BaseException):
    pass


def on_alarm(signum, frame):
    raise TimeOut()


# What the user sees of the traffic list: [hex, shown, notice] per row, top first.
ROWS_JS = """
return Array.from(document.querySelectorAll('#traffic tr.row')).map(tr => [
  tr.querySelector('td.hex').textContent,
  tr.getClientRects().length > 0,
  tr.querySelector('.disc') === null]);
"""


# What would scroll sideways: the page, and any list box within it.
SIDEWAYS_JS = """
const wide = [];
if (document.documentElement.scrollWidth > window.innerWidth)
  wide.push('the page: ' + document.documentElement.scrollWidth + ' px wide');
for (const box of document.querySelectorAll('.list-box'))
  if (box.scrollWidth > box.clientWidth) wide.push(box.className + ': ' + box.scrollWidth + ' px wide');
return wide;
"""

# The boxes that should be wholly seen across the screen but are not:
# [what, left, right, width, height] for each shown match of the selector.
OFF_SCREEN_JS = """
const out = [];
for (const e of document.querySelectorAll(arguments[0])) {
  if (!e.textContent || (e.closest('tr') && e.closest('tr').getClientRects().length === 0)) continue;
  const r = e.getBoundingClientRect();
  if (r.width === 0 || r.height === 0 || r.left < 0 || r.right > window.innerWidth)
    out.push([e.textContent.slice(0, 60), r.left, r.right, r.width, r.height]);
}
return out;
"""


def first_line(e):
    return (getattr(e, "msg", None) or str(e)).strip().splitlines()[0]


class Page:
    def __init__(self, driver):
        self.d = driver

    def by_id(self, name):
        return self.d.find_element(By.ID, name)

    def shown(self, name):
        return self.by_id(name).is_displayed()

    def rows(self):
        return self.d.execute_script(ROWS_JS)

    def wait(self, what, test, timeout=10.0):
        """Until test() gives a true value; else fails saying what was awaited."""
        end = time.monotonic() + timeout
        while True:
            value = test()
            if value:
                return value
            if time.monotonic() > end:
                raise Failure("waited %.0f s for %s" % (timeout, what))
            time.sleep(0.05)

    def click(self, name):
        self.by_id(name).click()

    # Marks the rows now in the table, to tell later which ones are new or gone.
    def mark_rows(self):
        return self.d.execute_script(
            "window.__marked = Array.from(document.querySelectorAll('#traffic tr.row'));"
            "window.__marked.forEach(tr => tr.__marked = true); return window.__marked.length;")

    def new_rows(self):
        return self.d.execute_script(
            "return Array.from(document.querySelectorAll('#traffic tr.row'))"
            ".filter(tr => !tr.__marked).length;")

    def marked_rows_left(self):
        return self.d.execute_script("return window.__marked.filter(tr => tr.isConnected).length;")

    def status_fields(self):
        """The status bar's fields as shown, '' for a hidden one."""
        return [s.text for s in self.d.find_elements(By.CSS_SELECTOR, "#status > .field")]

    def phone(self, on):
        if on:
            self.d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", PHONE)
        else:
            self.d.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def sideways(self):
        wide = self.d.execute_script(SIDEWAYS_JS)
        if wide:
            raise Failure("scrolls sideways: %s" % "; ".join(wide))

    def enter_key(self, key):
        field = self.by_id("key-input")
        field.clear()
        field.send_keys(key)
        self.d.find_element(By.CSS_SELECTOR, "#key-form button[type=submit]").click()


def start_browser(download_dir):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--window-size=1280,900", "--disable-gpu",
                "--disable-dev-shm-usage", "--no-first-run", "--disable-extensions"):
        options.add_argument(arg)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.add_experimental_option("prefs", {
        "download.default_directory": download_dir,
        "download.prompt_for_download": False,
    })
    # Its own process group, so that nothing of it can outlive the test.
    service = Service(CHROMEDRIVER, popen_kw={"start_new_session": True})
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(15)
    driver.execute_cdp_cmd("Page.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": download_dir})
    return driver, service.process.pid


def quit_browser(driver, group):
    try:
        signal.alarm(15)
        driver.quit()
    except BaseException:
        pass
    finally:
        signal.alarm(0)
    try:
        os.killpg(group, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class Checks:
    def __init__(self, page, args, download_dir, mocks):
        self.p = page
        self.args = args
        self.download_dir = download_dir
        self.mocks = mocks  # stopped by main() at the end
        self.mock = mocks[0] if mocks else None
        self.passed = 0

    def run(self, name, fn):
        start = time.monotonic()
        try:
            detail = fn()
        except Failure as e:
            print("FAIL %s: %s" % (name, e), flush=True)
            raise
        except TimeOut:
            print("FAIL %s: more than %d s in all" % (name, self.args.timeout), flush=True)
            raise Failure() from None
        except WebDriverException as e:
            print("FAIL %s: the browser says %s" % (name, first_line(e)), flush=True)
            raise Failure() from None
        self.passed += 1
        print("ok   %s (%.1f s)%s" % (name, time.monotonic() - start,
                                      ": " + detail if detail else ""), flush=True)

    def open(self, url):
        self.p.d.get(url)
        if not self.p.d.find_elements(By.ID, "traffic"):
            raise Failure("no monitor page at %s (the browser shows %r)" % (url, self.p.d.title))

    # ---- with a key ----

    def sign_in_on_a_phone(self):
        p = self.p
        p.phone(True)
        try:
            self.open(self.args.url)
            p.wait("the sign-in panel", lambda: p.shown("sign-in"))
            said = p.by_id("sign-in").text
            for words in ("AuthKey", "/etc/quillon/Quillon.ini", "sudo quillon --connection-info"):
                if words not in said:
                    raise Failure("the panel does not say %r: %r" % (words, said))
            if p.shown("view") or p.shown("status"):
                raise Failure("the monitor shows behind the panel")
            p.sideways()
            off = p.d.execute_script(OFF_SCREEN_JS, "#sign-in p, #key-input, #key-form button")
            if off:
                raise Failure("off the screen: %s" % off)
        finally:
            p.phone(False)

    def asks_for_key(self):
        p = self.p
        self.open(self.args.url)
        p.wait("the key form", lambda: p.shown("key-form"))
        if p.rows() or p.d.find_elements(By.CSS_SELECTOR, "#clients tr"):
            raise Failure("rows or clients shown before any key")
        if p.shown("view"):
            raise Failure("the monitor shows before any key")

    def wrong_key(self):
        p = self.p
        p.enter_key(self.args.key + "-not-it")
        p.wait('"wrong key" and the form again',
               lambda: p.shown("key-error") and p.shown("key-form"))
        if p.by_id("key-error").text.strip() != "wrong key":
            raise Failure("the form says %r" % p.by_id("key-error").text)
        if p.rows():
            raise Failure("rows shown after a wrong key")
        if p.d.execute_script("return sessionStorage.getItem('quillon-key')") is not None:
            raise Failure("the wrong key was kept")

    def right_key(self):
        p = self.p
        p.enter_key(self.args.key)
        p.wait("the form to go", lambda: not p.shown("key-form"))
        if p.d.execute_script("return sessionStorage.getItem('quillon-key')") != self.args.key:
            raise Failure("the key was not kept in sessionStorage")

    # ---- any gateway ----

    def rows_arrive(self):
        p = self.p
        p.wait("the first rows", lambda: p.rows(), 10)
        before = p.mark_rows()
        count = p.wait("a new row", p.new_rows, 10)
        return "%d rows, then %d new" % (before, count)

    def gateway_view(self, authorised=None):
        p = self.p
        title = p.by_id("title").text
        if not title or p.d.title != title:
            raise Failure("title %r, document title %r" % (title, p.d.title))
        fields = p.status_fields()
        # "N:" shows once a client has sent a frame, as in the window.
        if len(fields) != 7 or not re.fullmatch(r"frames from the bus, last read: \d+", fields[1]) \
                or not (fields[2] == "" or re.fullmatch(r"frames from a client, last read: \d+", fields[2])):
            raise Failure("status bar %r" % fields)
        if authorised is None:
            authorised = bool(self.args.key)
        for name in ("clear", "save", "disconnect-all", "set-clock", "delay", "debug"):
            if p.shown(name) != authorised:
                raise Failure("#%s %s" % (name, "hidden" if authorised else "shown"))
        if p.shown("read-only") == authorised:
            raise Failure("the read-only note is %s" % ("shown" if authorised else "missing"))
        return title

    def filter_begins(self):
        p = self.p
        p.by_id("filter-text").send_keys(FILTER.lower())
        p.click("filter-toggle")
        if p.by_id("filter-toggle").get_attribute("aria-pressed") != "true":
            raise Failure("Filter does not look down")

        def wrong():
            return [h for h, shown, notice in p.rows()
                    if shown and not notice and not h.upper().startswith(FILTER)]
        if wrong():
            raise Failure("rows kept before still shown: %s" % wrong()[:5])
        p.mark_rows()
        p.wait("a new row", p.new_rows, 10)
        if wrong():
            raise Failure("new rows shown: %s" % wrong()[:5])
        rows = p.rows()
        if any(not s for h, s, n in rows if n):
            raise Failure("a notice row was hidden")
        shown = sum(1 for h, s, n in rows if s and not n)
        if self.mock and not shown:
            raise Failure("no %s row shown, though the mock sends them" % FILTER)
        return "%d of %d frame rows shown" % (shown, sum(1 for r in rows if not r[2]))

    def filter_inverted(self):
        p = self.p
        p.click("invert-toggle")
        wrong = [h for h, shown, notice in p.rows()
                 if shown and not notice and FILTER in h.upper()]
        if wrong:
            raise Failure("rows with %s shown: %s" % (FILTER, wrong[:5]))
        if any(not shown for h, shown, notice in p.rows() if notice):
            raise Failure("a notice row was hidden")

    def filter_released(self):
        p = self.p
        p.click("invert-toggle")
        p.click("filter-toggle")
        hidden = [h for h, shown, notice in p.rows() if not shown]
        if hidden:
            raise Failure("%d rows still hidden" % len(hidden))

    def pause(self):
        p = self.p
        p.click("pause")
        if p.by_id("pause").text != "Resume":
            raise Failure("the button says %r" % p.by_id("pause").text)
        frozen = p.mark_rows()
        note = p.wait('"paused: N new rows" with N > 0',
                      lambda: re.fullmatch(r"paused: ([1-9]\d*) new rows?", p.by_id("paused-note").text),
                      10)
        if p.new_rows() or p.marked_rows_left() != frozen:
            raise Failure("the table changed while paused")
        p.click("pause")
        if p.by_id("pause").text != "Pause" or p.shown("paused-note"):
            raise Failure("Resume left %r / %r" % (p.by_id("pause").text, p.by_id("paused-note").text))
        want = min(500, frozen + int(note.group(1)))
        if len(p.rows()) < want:
            raise Failure("%d rows after Resume, %d expected" % (len(p.rows()), want))
        return note.group(0)

    def save(self):
        p = self.p
        p.click("save")
        done = p.wait("a downloaded file", lambda: [
            f for f in os.listdir(self.download_dir)
            if not f.endswith(".crdownload") and not f.startswith(".")], 10)
        errors = [m.text for m in p.d.find_elements(By.CSS_SELECTOR, "#message .message.error")]
        if errors:
            raise Failure("the page says %r" % errors)
        name = done[0]
        size = os.path.getsize(os.path.join(self.download_dir, name))
        if self.mock and not (name.startswith("Quillon_") and size > 0):
            raise Failure("downloaded %r, %d bytes" % (name, size))
        return "%s, %d bytes" % (name, size)

    def screenshot(self):
        if not self.p.d.save_screenshot(self.args.screenshot):
            raise Failure("could not write %s" % self.args.screenshot)
        return self.args.screenshot

    def on_a_phone(self):
        p = self.p
        p.phone(True)
        try:
            p.wait("the phone's layout", lambda: p.d.execute_script("return window.innerWidth") == PHONE["width"], 5)
            p.sideways()
            shown = [r for r in p.rows() if r[1]]
            if not shown:
                raise Failure("no row shown")
            off = p.d.execute_script(OFF_SCREEN_JS, "#traffic td.time, #traffic td.hex, #traffic td.source")
            if off:
                raise Failure("row cells off the screen: %s" % off[:5])
            # Under the hex, not beside it.
            beside = p.d.execute_script("""
                return Array.from(document.querySelectorAll('#traffic tr.row')).filter(tr =>
                  tr.getClientRects().length > 0 && tr.querySelector('td.source').textContent &&
                  tr.querySelector('td.source').getBoundingClientRect().top <
                  tr.querySelector('td.hex').getBoundingClientRect().bottom).length;""")
            if beside:
                raise Failure("%d rows with the decoded text beside the hex" % beside)
            live = p.d.find_elements(By.CSS_SELECTOR, "#clients tr.client .link.live")
            # Each live client's button, for a browser that may act.
            buttons = "#clients tr.client:has(.link.live) button.disconnect"
            off = p.d.execute_script(OFF_SCREEN_JS, "#clients td.address" + (", " + buttons if self.args.key else ""))
            if off or (self.args.key and len(p.d.find_elements(By.CSS_SELECTOR, buttons)) != len(live)):
                raise Failure("clients or Disconnect buttons off the screen: %s" % off)
            fields = p.status_fields()
            if not re.fullmatch(r"from bus: \d+", fields[1]):
                raise Failure("status bar %r" % fields)
            off = p.d.execute_script(OFF_SCREEN_JS, "#status > .field:not([hidden])")
            if off:
                raise Failure("status fields off the screen: %s" % off)
            name = phone_screenshot(self.args.screenshot)
            if not p.d.save_screenshot(name):
                raise Failure("could not write %s" % name)
            return "%d rows, %d live clients; %s" % (len(shown), len(live), name)
        finally:
            p.phone(False)

    def clear(self):
        p = self.p
        before = p.mark_rows()
        p.click("clear")
        p.wait("the rows to go", lambda: p.marked_rows_left() == 0 and len(p.rows()) < max(before, 1))
        return "%d rows before, %d now" % (before, len(p.rows()))

    def set_clock(self):
        p = self.p
        p.click("set-clock")
        script = "return Array.from(document.querySelectorAll('#traffic tr.row td.source'))" \
                 ".map(td => td.textContent).filter(t => t.endsWith('from Quillon clock'));"

        def clock_rows():
            rows = p.d.execute_script(script)
            return rows if len(rows) >= 3 else None
        return "%d rows from Quillon clock" % len(p.wait("the clock's rows", clock_rows))

    def no_console_errors(self):
        severe = [e["message"] for e in self.p.d.get_log("browser") if e["level"] == "SEVERE"]
        if severe:
            raise Failure("; ".join(severe)[:800])

    # ---- only the mock can make these happen ----

    def message(self):
        p = self.p
        for b in p.d.find_elements(By.CSS_SELECTOR, "#message .dismiss"):
            b.click()
        self.mock.message("Quillon", "<b>not bold</b>", "error")
        box = p.wait("the message", lambda: p.shown("message") and p.by_id("message").text)
        if "<b>not bold</b>" not in box:
            raise Failure("the banner says %r" % box)
        p.d.find_element(By.CSS_SELECTOR, "#message .dismiss").click()
        p.wait("the banner to go", lambda: not p.shown("message"), 3)

    def delay_box(self):
        p = self.p
        p.click("delay")
        p.wait("the gateway to get it", lambda: self.mock.controls["delay"], 3)
        self.mock.broadcast({"type": "control", "name": "delay", "checked": False})
        p.wait("the box to follow the gateway", lambda: not p.by_id("delay").is_selected(), 3)

    def disconnect_client(self):
        p = self.p
        row = '#clients tr[data-client="17"]'
        p.d.find_element(By.CSS_SELECTOR, row + " button.disconnect").click()
        p.wait("the client to end", lambda: not p.d.find_elements(By.CSS_SELECTOR, row + " button")
               and p.d.find_element(By.CSS_SELECTOR, row + " td.end").text, 3)
        if not p.d.find_elements(By.CSS_SELECTOR, '#clients tr[data-client="18"] button.disconnect'):
            raise Failure("the other client lost its button")

    def reconnect(self):
        p = self.p
        self.mock.title = "Quillon after the break"
        self.mock.drop_all()
        said = p.wait("the lost connection to show", lambda: p.shown("connection")
                      and re.fullmatch(r"connection lost, reconnecting in \d+ s…", p.by_id("connection").text), 3)
        p.wait("the new state", lambda: not p.shown("connection")
               and p.by_id("title").text == "Quillon after the break", 6)
        if p.shown("key-form"):
            raise Failure("the key was asked again")
        p.wait("rows", lambda: p.rows(), 3)
        return said.group(0)

    def backoff(self):
        p = self.p
        port, key = self.mock.port, self.mock.key
        self.mock.stop()
        starts = []
        last = [0]

        def waits():
            m = re.search(r"reconnecting in (\d+) s", p.by_id("connection").text)
            if m:
                n = int(m.group(1))
                if n > last[0]:  # a new wait begins
                    starts.append(n)
                last[0] = n
            return starts[:3] == [1, 2, 4]
        p.wait("waits of 1, 2 and 4 s", waits, 12)
        import mock_gateway
        self.mock = mock_gateway.MockGateway(port, key).start()
        self.mocks.append(self.mock)
        p.wait("the connection back", lambda: not p.shown("connection") and p.rows(), 8)
        self.mock.drop_all()
        p.wait("a wait of 1 s again", lambda: "reconnecting in 1 s" in p.by_id("connection").text, 3)
        p.wait("the connection back", lambda: not p.shown("connection"), 4)
        return "waits %s, then 1 s" % starts

    def read_only(self, url):
        p = self.p
        self.open(url)
        p.wait("rows", lambda: p.rows(), 10)
        if p.shown("key-form"):
            raise Failure("a key was asked")
        self.gateway_view(authorised=False)
        if p.d.find_elements(By.CSS_SELECTOR, "#clients button"):
            shown = [b for b in p.d.find_elements(By.CSS_SELECTOR, "#clients button") if b.is_displayed()]
            if shown:
                raise Failure("Disconnect buttons shown")


def phone_screenshot(name):
    root, ext = os.path.splitext(name)
    return root + "-phone" + (ext or ".png")


def main():
    parser = argparse.ArgumentParser(description="The live monitor page in headless Chromium.")
    parser.add_argument("--url", help="the gateway's page; without it, a mock gateway is started")
    parser.add_argument("--key", default="test-key", help="the gateway's AuthKey; '' for none")
    parser.add_argument("--screenshot", default="monitor.png")
    parser.add_argument("--timeout", type=int, default=60, help="seconds for everything")
    args = parser.parse_args()

    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(args.timeout)
    mocks = []
    driver = group = None
    checks = None
    try:
        if not args.url:
            import mock_gateway
            mocks.append(mock_gateway.MockGateway(0, args.key or None).start())
            args.url = mocks[0].url
        print("page %s" % args.url, flush=True)
        with tempfile.TemporaryDirectory(prefix="quillon-browser-") as download_dir:
            driver, group = start_browser(download_dir)
            checks = Checks(Page(driver), args, download_dir, mocks)
            run = checks.run
            try:
                if args.key:
                    run("on a phone, the sign-in panel says which key", checks.sign_in_on_a_phone)
                    run("the page asks for the key", checks.asks_for_key)
                    run("a wrong key is refused", checks.wrong_key)
                    run("the right key is taken", checks.right_key)
                else:
                    run("the page opens", lambda: checks.open(args.url))
                run("rows arrive", checks.rows_arrive)
                run("the gateway's view", checks.gateway_view)
                run("Filter shows the rows that begin with %s" % FILTER, checks.filter_begins)
                run('"!" hides the rows that contain %s' % FILTER, checks.filter_inverted)
                run("released, the filter hides nothing", checks.filter_released)
                run("Pause freezes the table and counts", checks.pause)
                if args.key:
                    run("Save downloads the list", checks.save)
                run("screenshot", checks.screenshot)
                run("on a phone, nothing scrolls sideways", checks.on_a_phone)
                if args.key:
                    run("Clear empties the traffic list", checks.clear)
                if not mocks and args.key:
                    run("Set Clock sets the modules' clocks", checks.set_clock)
                if mocks and args.key:
                    run("a message is a banner until dismissed", checks.message)
                    run("the delay box goes both ways", checks.delay_box)
                    run("Disconnect ends that client", checks.disconnect_client)
                    run("a lost connection says so and comes back", checks.reconnect)
                run("no errors in the console", checks.no_console_errors)
                if mocks and args.key:
                    # The browser says each refused connection in the console from here on.
                    run("away, the waits double; back, they start at 1 s", checks.backoff)
                    open_mock = mock_gateway.MockGateway(0, None).start()
                    mocks.append(open_mock)
                    run("without AuthKey the view is read-only", lambda: checks.read_only(open_mock.url))
            except (Failure, TimeOut):
                try:
                    signal.alarm(10)
                    driver.save_screenshot(args.screenshot)
                    print("screenshot of the failure: %s" % args.screenshot)
                except BaseException:
                    pass
                raise
            finally:
                quit_browser(driver, group)
    except Failure:
        return 1
    except TimeOut:
        print("FAIL: more than %d s in all" % args.timeout, flush=True)
        return 1
    except WebDriverException as e:
        print("FAIL: the browser says %s" % first_line(e), flush=True)
        return 1
    finally:
        signal.alarm(0)
        for m in mocks:
            m.stop()
    print("all %d checks passed" % checks.passed, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
