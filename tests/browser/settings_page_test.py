#!/usr/bin/python3
# The settings page in headless Chromium against the real lpr-webd and lpr-settingsd (temporary
# database, private bus folder, free port); Chromium answers the Digest challenge from the
# credentials in the URL. Run by scripts/stages/*-browser.sh; screenshots go to $LPR_SCREENSHOTS.
import base64
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

BUILD = os.path.abspath(os.environ.get("LPR_BUILD_DIR", "build/release"))
SHOTS = os.path.abspath(os.environ.get("LPR_SCREENSHOTS", os.path.join(BUILD, "browser-screenshots")))
WEBD, SETTINGSD = (os.path.join(BUILD, "tools", p, p) for p in ("lpr-webd", "lpr-settingsd"))
USERS = {"admin": ("admin-password-1", "view,change"), "viewer": ("viewer-password-1", "view")}
# Chromium as root without a network: no sandbox, no connections of its own.
CHROMIUM_FLAGS = ("--headless=new --no-sandbox --disable-gpu --disable-quic --no-first-run "
                  "--disable-background-networking --disable-component-update --disable-sync "
                  "--hide-scrollbars --force-device-scale-factor=1").split()
WIDE, NARROW = (1280, 900), (360, 740)
WAIT = 15
SAVED = r"\b(good|warn|bad)\b"  # the classes of a save's status once it is answered


class Camera:
    # lpr-settingsd and lpr-webd on a fresh database in a folder of their own.

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="lpr-browser-")
        os.mkdir(self.path("ipc"))
        self.env = dict(os.environ, LPR_ZMQ_IPC_DIR=self.path("ipc"))
        self.processes = []
        self.start_settingsd()
        for name, (password, perm) in USERS.items():
            subprocess.run([WEBD, "--users", self.path("users"), "--add-user", name, "--perm", perm],
                           input=password + "\n", text=True, check=True, env=self.env,
                           stdout=subprocess.DEVNULL)
        self.port = int(self.start([WEBD, "--port", "0", "--db", self.path("settings.db"), "--users",
                                    self.path("users"), "--change-log", self.path("changes.log")],
                                   r"listening on http://127\.0\.0\.1:(\d+)/").group(1))

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, argv, line):
        # Starts argv with a log of its own and waits for line in the log; the match.
        log = self.path("%d.log" % len(self.processes))
        with open(log, "w") as out:
            self.processes.append(subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                                   env=self.env))
        deadline = time.monotonic() + 20
        while True:
            with open(log, encoding="utf-8", errors="replace") as out:
                text = out.read()
            found = re.search(line, text)
            if found or time.monotonic() > deadline or self.processes[-1].poll() is not None:
                break
            time.sleep(0.05)
        if not found:
            raise AssertionError("no %r in %s:\n%s" % (line, log, text))
        return found

    def start_settingsd(self):
        self.start([SETTINGSD, "--db", self.path("settings.db")], "settingsd: ready")
        self.settingsd = self.processes[-1]

    def stop(self, process):
        process.terminate()
        process.wait(timeout=10)
        self.processes.remove(process)

    def stop_all(self):
        for process in reversed(self.processes[:]):
            self.stop(process)
        shutil.rmtree(self.dir)

    def url(self, user):
        return "http://%s:%s@127.0.0.1:%d/" % (user, USERS[user][0], self.port)


def resize(driver, size):
    # Device metrics rather than the window: a headless window has a minimum width.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": size[0], "height": size[1], "deviceScaleFactor": 1, "mobile": size[0] < 600})


def chromium():
    # A headless Chromium driven by chromedriver, with a profile that quit_chromium removes.
    profile = tempfile.mkdtemp(prefix="lpr-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.profile = profile
    resize(driver, WIDE)
    return driver


def quit_chromium(driver):
    driver.quit()
    shutil.rmtree(driver.profile, ignore_errors=True)


class SettingsPageTest(unittest.TestCase):
    # The tests share one camera and the admin's browser, and run in order: each builds on the
    # settings the one before stored.

    @classmethod
    def setUpClass(cls):
        cls.camera = Camera()
        cls.addClassCleanup(cls.camera.stop_all)
        cls.admin = chromium()
        cls.addClassCleanup(quit_chromium, cls.admin)

    def setUp(self):
        self.driver = self.admin
        self.expected_console = []  # messages the test provokes (regular expressions)

    def tearDown(self):
        unexpected = [e for e in self.driver.get_log("browser")
                      if not any(re.search(p, e["message"]) for p in self.expected_console)]
        self.assertEqual(unexpected, [], "the browser console is not clean")

    # ---- helpers over the page ----

    def open(self, url):
        self.driver.get(url)
        self.wait_for(lambda: self.find_css("body").get_attribute("data-ready") == "true")

    def wait_for(self, condition):
        WebDriverWait(self.driver, WAIT).until(lambda d: condition())

    def find(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def find_css(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def script(self, code, *args):
        return self.driver.execute_script(code, *args)

    def values(self, expected):
        # What the inputs named by expected's keys show (checkboxes as 0 or 1, lists as their
        # codes in order).
        def value(element_id):
            element = self.find(element_id)
            if element.tag_name == "ol":
                return "".join(li.get_attribute("data-code")
                               for li in element.find_elements(By.CSS_SELECTOR, ":scope > li"))
            if element.get_attribute("type") == "checkbox":
                return 1 if element.is_selected() else 0
            return element.get_attribute("value")
        self.assertEqual({key: value(key) for key in expected}, expected)

    def type_into(self, element_id, text):
        self.find(element_id).send_keys(Keys.CONTROL, "a")
        self.find(element_id).send_keys(text)

    def document(self, action):
        # The document as the server serves it now, read by the page's own browser.
        return self.driver.execute_async_script(
            "fetch(location.origin + '/api/v1/' + arguments[0], {cache: 'no-store'})"
            ".then(r => r.json()).then(arguments[1])", action)

    def record_posts(self):
        # From now on the page's write bodies are kept in window.posted.
        self.script("window.posted = []; const real = window.fetch;"
                    "window.fetch = (url, o) => { if (o && o.method === 'POST')"
                    " window.posted.push([url.replace(location.origin, ''), JSON.parse(o.body)]);"
                    " return real(url, o); };")

    def save(self, group, expected_class, text):
        self.find(group + ".save").click()
        status = self.find(group + ".status")
        self.wait_for(lambda: re.search(SAVED, status.get_attribute("class")))
        self.assertIn(expected_class, status.get_attribute("class"), status.text)
        self.assertIn(text, status.text)
        return status

    def screenshot(self, name):
        # The whole page, not only the viewport, into SHOTS/name.png.
        size = self.driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
        shot = self.driver.execute_cdp_cmd("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True, "clip": {
                "x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}})
        os.makedirs(SHOTS, exist_ok=True)
        with open(os.path.join(SHOTS, name + ".png"), "wb") as out:
            out.write(base64.b64decode(shot["data"]))

    # ---- the scenario ----

    def test_1_admin_changes_both_groups_and_finds_them_stored(self):
        self.open(self.camera.url("admin"))
        count, advanced = self.document("get_vehicle_count"), self.document("get_lpr_advanced")
        # The forms show what the server serves, every input labelled.
        self.values({"vehicle_count.resetHour": str(count["resetHour"]),
                     "vehicle_count.cameraPort": str(count["cameraPort"]),
                     "vehicle_count.infoTableLeft": str(count["infoTableLeft"]),
                     "vehicle_count.enable": count["enable"], "advanced.osdSort": advanced["osdSort"],
                     "advanced.osdPositionName": advanced["osdPositionName"]})
        self.assertEqual(Select(self.find("vehicle_count.postMode")).first_selected_option
                         .get_attribute("value"), str(count["postMode"]))
        self.assertEqual(self.script(
            "return [...document.querySelectorAll('main input, main select')]"
            ".filter(e => !e.labels.length && !e.getAttribute('aria-label')).map(e => e.id)"), [])

        # Vehicle counting: two members and destination 0's password; only they are sent.
        self.record_posts()
        hour = (count["resetHour"] + 5) % 24
        self.type_into("vehicle_count.resetHour", str(hour))
        self.find("vehicle_count.enable").click()
        self.type_into("vehicle_count.httpList.0.password", "dest-secret")
        self.save("vehicle_count", "good", "Saved")

        # The overlay order, by keyboard: licensePlate moves up; up is then disabled at the
        # top, so the focus moves to the item's down button.
        self.find("tab-advanced").click()
        self.find_css("ol[id='advanced.osdSort'] > li:nth-child(2) .up").send_keys(Keys.ENTER)
        codes = advanced["osdSort"]
        order = codes[1] + codes[0] + codes[2:]
        self.values({"advanced.osdSort": order})
        self.assertEqual(self.driver.switch_to.active_element.get_attribute("aria-label"),
                         "Move down " + self.find_css("ol[id='advanced.osdSort'] > li:first-child "
                                                      ".name").text)
        self.type_into("advanced.osdSort.spaces.time", "4")
        self.save("advanced", "good", "")
        self.assertEqual(self.script("return window.posted"), [
            ["/api/v1/set_vehicle_count", {"enable": 1 - count["enable"], "resetHour": hour,
                                           "httpList": [{"password": "dest-secret"}]}],
            ["/api/v1/set_lpr_advanced", {"osdSort": order,
                                          "osdSpaceList": [{"fileName": "time", "spaces": 4}]}]])

        # A new load shows the stored values; the page fits wide and narrow.
        self.driver.refresh()
        self.open(self.camera.url("admin") + "#vehicle_count")
        self.values({"vehicle_count.resetHour": str(hour), "vehicle_count.enable": 1 - count["enable"],
                     "vehicle_count.httpList.0.password": "dest-secret", "advanced.osdSort": order,
                     "advanced.osdSort.spaces.time": "4"})
        self.assertEqual(self.document("get_lpr_advanced")["osdSort"], order)
        for name, size in (("narrow", NARROW), ("wide", WIDE)):
            resize(self.driver, size)
            for group in ("vehicle_count", "advanced"):
                self.find("tab-" + group).click()
                self.assertLessEqual(self.script("return document.documentElement.scrollWidth"),
                                     size[0], group + " " + name)
                self.screenshot("%s-%s" % (group, name))

    def test_2_refusal_is_shown_at_the_member_it_concerns(self):
        # A value typed again unchanged is not sent.
        self.open(self.camera.url("admin"))
        count = self.document("get_vehicle_count")
        self.record_posts()
        self.type_into("vehicle_count.resetHour", "24")
        self.type_into("vehicle_count.cameraPort", str(count["cameraPort"]))
        self.save("vehicle_count", "bad", "Invalid parameter: resetHour")
        error = self.find("vehicle_count.resetHour-error")
        self.assertTrue(error.is_displayed())
        self.assertEqual(error.text, "Out of range. Allowed: integer 0 to 23 (hour). "
                         "Send a whole number from 0 to 23.")
        self.assertEqual(self.find("vehicle_count.resetHour").get_attribute("aria-invalid"), "true")
        self.assertEqual(self.driver.switch_to.active_element, self.find("vehicle_count.resetHour"))
        self.assertEqual(self.script("return window.posted"),
                         [["/api/v1/set_vehicle_count", {"resetHour": 24}]])
        self.assertEqual(self.document("get_vehicle_count"), count)
        # Chromium logs every failed request, the one asked for here too.
        self.expected_console.append(r"set_vehicle_count - Failed to load resource: the server "
                                     r"responded with a status of 400 \(Bad Request\)")

    def test_3_viewer_sees_the_settings_read_only_without_passwords(self):
        self.driver = chromium()  # a browser of its own: the viewer logs in
        self.addCleanup(quit_chromium, self.driver)
        self.open(self.camera.url("viewer"))
        self.assertIn("not change them", self.find("notice").text)
        inputs = self.driver.find_elements(By.CSS_SELECTOR, "main input, main select, main button")
        self.assertGreater(len(inputs), 50)
        self.assertEqual([i.get_attribute("id") for i in inputs if i.is_enabled()], [])
        self.assertEqual(self.driver.find_elements(By.ID, "vehicle_count.save"), [])
        self.values({"vehicle_count.httpList.0.password": "********",
                     "vehicle_count.httpList.1.password": ""})

    def test_4_change_not_stored_is_reported_and_can_be_sent_again(self):
        # Live in the page, and sent again until stored (once the web server hears the daemon).
        self.open(self.camera.url("admin"))
        self.camera.stop(self.camera.settingsd)
        self.type_into("vehicle_count.timeMin", "17")
        status = self.save("vehicle_count", "warn", "Change is live in the web server but not "
                           "stored: the settings daemon did not answer within 1000 ms")
        self.values({"vehicle_count.timeMin": "17"})
        self.camera.start_settingsd()
        deadline = time.monotonic() + WAIT
        while "good" not in status.get_attribute("class") and time.monotonic() < deadline:
            self.driver.find_element(By.XPATH, "//button[text()='Send again']").click()
            self.wait_for(lambda: re.search(r"\b(good|warn)\b", status.get_attribute("class")))
        self.assertIn("Saved", status.text)
        self.expected_console.append(r"set_vehicle_count - Failed to load resource: the server "
                                     r"responded with a status of 503 \(Service Unavailable\)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
