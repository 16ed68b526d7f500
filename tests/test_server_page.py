"""The service's browser page: its files as served, and the page itself in
headless Chromium, whose fake microphone plays a recording, signing in,
streaming and showing the transcript and its translation."""

import os
import shutil
import wave

import numpy as np
import pytest

from service_process import add_key
from speech_data import GOFORWARD, MISSING, apertium

SPOKEN = "go forward ten meters"
RATE = 16000
PAGE_DEADLINE_S = 60
PAGE_FILES = [("/", "text/html"), ("/page.js", "text/javascript"),
              ("/page.css", "text/css"), ("/audio-worklets.js", "text/javascript")]


def get(service, path, method="GET"):
    """(status, headers, body bytes) of one request."""
    connection = service.connection()
    try:
        connection.request(method, path)
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


@pytest.mark.parametrize("path, content_type", PAGE_FILES)
def test_page_files_are_served_as_in_the_source_with_their_policy(kolta_server, path,
                                                                   content_type):
    service = kolta_server()
    status, headers, body = get(service, path)
    name = "index.html" if path == "/" else path[1:]
    source = os.path.join(os.path.dirname(__file__), "..", "server", "page", name)
    with open(source, "rb") as file:
        assert (status, body) == (200, file.read())
    assert headers["Content-Type"] == f"{content_type}; charset=utf-8"
    policy = headers["Content-Security-Policy"]
    assert "default-src 'none'" in policy and "script-src 'self'" in policy
    assert headers["X-Content-Type-Options"] == "nosniff"


@pytest.mark.parametrize("method, path, status", [("POST", "/", 405),
                                                  ("GET", "/index.html", 200),
                                                  ("GET", "/page", 404),
                                                  ("GET", "/../CMakeLists.txt", 404)])
def test_only_the_page_files_are_served_and_only_to_get(kolta_server, method, path, status):
    got, headers, _ = get(kolta_server(), path, method)
    assert got == status
    if status == 405:
        assert headers["Allow"] == "GET"


def browser_or_skip():
    """Chromium, chromedriver and selenium, or the reason to skip."""
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        pytest.skip("chromium or chromium-driver is not installed")
    pytest.importorskip("selenium", reason="selenium is not installed")
    return chromium, driver


def write_goforward_wav(path):
    """goforward.raw as a 16 kHz 16-bit mono wav, between stretches of silence
    (Chromium's fake microphone loops it and converts it to its own rate)."""
    silence = np.zeros(RATE, np.int16)
    speech = np.fromfile(GOFORWARD, "<i2")
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(np.concatenate([silence[:RATE // 2], speech, silence]).tobytes())
    return path


def start_chromium(chromium, driver_path, wav, profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", f"--user-data-dir={profile}",
                     "--use-fake-ui-for-media-stream", "--use-fake-device-for-media-stream",
                     f"--use-file-for-fake-audio-capture={wav}",
                     "--autoplay-policy=no-user-gesture-required"]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    browser = webdriver.Chrome(service=Service(driver_path), options=options)
    browser.set_page_load_timeout(30)
    browser.set_script_timeout(30)
    return browser


def shown(browser):
    """(transcription, translation) of each utterance the page shows as final."""
    from selenium.webdriver.common.by import By

    pairs = []
    for item in browser.find_elements(By.CSS_SELECTOR, "#transcripts li"):
        lines = [item.find_elements(By.CSS_SELECTOR, f".{kind}.final")
                 for kind in ("transcription", "translation")]
        if all(lines):
            pairs.append((lines[0][0].text, lines[1][0].text))
    return pairs


@pytest.fixture
def page(kolta_server, engine_env, tmp_path):
    """The page loaded in Chromium from a service with a key for translate and
    denoise, its microphone playing goforward.raw: (browser, service, key)."""
    chromium, driver_path = browser_or_skip()
    if not os.path.exists(GOFORWARD):
        pytest.skip(MISSING)
    engine_env.delenv("KOLTA_ENGINE_TRANSCRIPTS")
    data = tmp_path / "data"
    key = add_key(data, "translate,denoise")
    service = kolta_server(data_dir=data)
    wav = write_goforward_wav(tmp_path / "goforward.wav")
    browser = start_chromium(chromium, driver_path, wav, tmp_path / "profile")
    try:
        browser.get(service.url + "/")
        yield browser, service, key
    finally:
        browser.quit()


def wait_until(page, condition, what, deadline_s=PAGE_DEADLINE_S):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    browser, service, _ = page
    try:
        WebDriverWait(browser, deadline_s, poll_frequency=0.2).until(condition)
    except Exception:
        status = browser.find_element(By.ID, "status").text
        raise AssertionError(f"no {what} in {deadline_s} s; status: {status!r}; "
                             f"console: {browser.get_log('browser')}; "
                             f"service: {service.log}") from None


def start_page(page, key=None, model=None):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    browser, _, good_key = page
    browser.find_element(By.ID, "key").send_keys(key or good_key)
    if model is not None:
        Select(browser.find_element(By.ID, "model")).select_by_value(model)
    browser.find_element(By.ID, "start").click()


def seconds_back(browser):
    from selenium.webdriver.common.by import By

    return float(browser.find_element(By.ID, "status").get_attribute("data-seconds-back") or 0)


@pytest.mark.timeout(180)
def test_the_page_streams_the_microphone_and_shows_the_translation(page):
    from selenium.webdriver.common.by import By

    browser = page[0]
    expected = apertium(SPOKEN)
    start_page(page)
    # The recording loops from when the microphone opens, before the stream
    # does: the first utterance heard may be cut short.
    wait_until(page, lambda b: any(heard == SPOKEN for heard, _ in shown(b)), "translation")
    translations = {said for heard, said in shown(browser) if heard == SPOKEN}
    assert translations == {expected}
    # The processed audio came back for playback: at least the utterance heard
    # (the whole recording is about 3.6 s; a loaded machine delays the rest).
    assert seconds_back(browser) >= 2.0
    assert browser.find_element(By.ID, "start").text == "Stop"
    browser.find_element(By.ID, "start").click()
    wait_until(page, lambda b: b.find_element(By.ID, "start").text == "Start", "stop", 10)


@pytest.mark.timeout(180)
def test_denoise_on_the_page_plays_audio_without_transcripts(page):
    start_page(page, model="denoise")
    wait_until(page, lambda b: seconds_back(b) >= 5.0, "audio back")
    assert shown(page[0]) == []


@pytest.mark.timeout(120)
def test_the_page_shows_a_refused_key(page):
    from selenium.webdriver.common.by import By

    start_page(page, key="kk_not_a_key")
    wait_until(page, lambda b: "UNAUTHORIZED" in b.find_element(By.ID, "status").text,
               "refusal", 20)
    assert page[0].find_element(By.ID, "start").text == "Start"
