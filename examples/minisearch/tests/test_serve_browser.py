"""The search page in a real headless Chromium against ``minisearch serve``: typing a query by
keyboard, reading the results, paging, a document, a malformed query, a planted script, a phone's
width, and no JavaScript at all.

Needs Debian's ``chromium`` and ``chromium-driver`` (scripts/install-browser.sh) and selenium.
With ``MINISEARCH_SCREENSHOT_DIR`` set, the screenshots are kept there; the README's are made by
``MINISEARCH_SCREENSHOT_DIR=examples/minisearch/docs scripts/test.sh examples/minisearch/tests/test_serve_browser.py``.
"""

import itertools
import json
import os
import shutil
import sysconfig
import urllib.parse
import urllib.request
from pathlib import Path

import pytest
from serving import CORPUS, SCRIPT_TITLE, serve_process
from conftest import build

from minisearch import stdlib_corpus

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")

from selenium.common.exceptions import NoAlertPresentException, WebDriverException  # noqa: E402
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = [
    pytest.mark.skipif(
        not (CHROMIUM and CHROMEDRIVER),
        reason="Chromium and its driver are not installed (scripts/install-browser.sh installs Debian's "
        "chromium and chromium-driver)",
    ),
    pytest.mark.skipif(
        bool(os.environ.get("QUORBEL_SANITIZE_SKIP_SLOW")),
        reason="under the sanitizers, whose runtimes the browser would inherit preloaded",
    ),
]
# Modules whose docstrings talk about encoding and decoding: a query has pages of results.
MODULES = ("json", "base64", "codecs", "binascii", "quopri", "pickle")
PAGE_TOKENS = itertools.count(1)


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The planted documents and some of the standard library's, served in a process of its own."""
    directory = tmp_path_factory.mktemp("browser")
    stdlib = [doc for doc in stdlib_corpus(sysconfig.get_paths()["stdlib"]) if doc.title.split(".")[0] in MODULES]
    build(CORPUS + stdlib, directory, block_size=64)
    with serve_process(directory) as (url, _):
        yield url


def start_browser(width, height, javascript=True, phone=False):
    """Chromium with a window of ``width`` by ``height``, or a phone's screen of that size."""
    options = Options()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--hide-scrollbars", "--lang=en-US", f"--window-size={width},{height}"):
        options.add_argument(argument)
    if phone:  # a window cannot be that narrow: the screen is emulated, viewport meta tag and all
        metrics = {"width": width, "height": height, "pixelRatio": 1, "mobile": True, "touch": True}
        options.add_experimental_option("mobileEmulation", {"deviceMetrics": metrics})
    if not javascript:
        options.add_experimental_option("prefs", {"profile.managed_default_content_settings.javascript": 2})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


@pytest.fixture(scope="module")
def browser():
    driver = start_browser(1000, 760)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def screenshots(tmp_path_factory):
    kept = os.environ.get("MINISEARCH_SCREENSHOT_DIR")
    directory = Path(kept) if kept else tmp_path_factory.mktemp("screenshots")
    directory.mkdir(parents=True, exist_ok=True)
    return directory


def api(server, path, **params):
    with urllib.request.urlopen(f"{server}{path}?{urllib.parse.urlencode(params)}") as response:
        return json.load(response)


def leaving(driver):
    """Mark the page shown now with a token of its own and return it: the page a step leads to
    is the first one whose token differs (a page restored by the back button has an older one)."""
    token = next(PAGE_TOKENS)
    driver.execute_script("window.minisearchTestPage = arguments[0]", token)
    return token


def loaded(driver, token):
    """Wait until the page marked ``token`` is gone and the one after it has loaded: a page
    still loading when a test moves on can replace the document under the next one's keys."""
    def arrived(_):
        try:
            return driver.execute_script(
                "return window.minisearchTestPage !== arguments[0] && document.readyState === 'complete'", token)
        except WebDriverException:  # between two documents, the driver may see neither
            return False
    WebDriverWait(driver, 15).until(arrived)


def activate(driver, element, keys=Keys.ENTER):
    """Send ``keys`` to ``element`` and wait for the page they lead to."""
    token = leaving(driver)
    element.send_keys(keys)
    loaded(driver, token)


def go_back(driver):
    """Go back a page and wait for it (the one left must be gone before the one back is read)."""
    token = leaving(driver)
    driver.back()
    loaded(driver, token)


def search_by_keyboard(driver, server, query):
    driver.get(f"{server}/")
    # The box takes the focus on arrival (autofocus, applied as the page is first rendered).
    WebDriverWait(driver, 15).until(lambda _: driver.switch_to.active_element.get_attribute("id") == "q")
    activate(driver, driver.find_element(By.ID, "q"), query + Keys.ENTER)


def shown_titles(driver):
    return [link.text for link in driver.find_elements(By.CSS_SELECTOR, ".hit h2 a")]


def test_a_query_typed_and_submitted_by_keyboard_shows_its_results(browser, server, screenshots):
    search_by_keyboard(browser, server, "decode bytes")
    expected = api(server, "/api/search", q="decode bytes", k=10)
    assert urllib.parse.parse_qs(urllib.parse.urlsplit(browser.current_url).query) == {"q": ["decode bytes"]}
    assert shown_titles(browser) == [hit["title"] for hit in expected["hits"]] and len(expected["hits"]) >= 3
    marks = {mark.text.lower() for mark in browser.find_elements(By.CSS_SELECTOR, ".snippet mark")}
    assert marks == {"decode", "bytes"}
    assert "postings decoded" in browser.find_element(By.CLASS_NAME, "stats").text
    browser.save_screenshot(str(screenshots / "search-page.png"))


def test_more_pages_on_the_back_button_returns_and_a_document_opens(browser, server):
    search_by_keyboard(browser, server, "decode")
    first = shown_titles(browser)
    activate(browser, browser.find_element(By.CSS_SELECTOR, "a[rel=next]"))
    assert "offset=10" in browser.current_url
    assert browser.find_element(By.CSS_SELECTOR, "ol.hits").get_attribute("start") == "11"
    assert shown_titles(browser) == [hit["title"] for hit in api(server, "/api/search", q="decode", offset=10)["hits"]]
    go_back(browser)
    assert "offset" not in browser.current_url and shown_titles(browser) == first
    link = browser.find_element(By.CSS_SELECTOR, ".hit h2 a")
    doc_id = int(link.get_attribute("href").split("/documents/")[1].split("?")[0])
    activate(browser, link)
    document = api(server, f"/api/documents/{doc_id}")
    assert browser.find_element(By.TAG_NAME, "h1").text == document["title"]
    shown = browser.find_element(By.CSS_SELECTOR, "pre.content").get_attribute("textContent")
    assert shown == document["content"]


def test_a_malformed_query_is_shown_beside_the_box(browser, server):
    search_by_keyboard(browser, server, "zebra OR")
    box = browser.find_element(By.ID, "q")
    assert box.get_attribute("value") == "zebra OR" and box.get_attribute("aria-invalid") == "true"
    problem = browser.find_element(By.ID, "query-problem")
    assert problem.find_element(By.CLASS_NAME, "message").text == "'OR' needs a word after it (column 9)"
    assert problem.find_element(By.CSS_SELECTOR, "mark.at").is_displayed()
    assert not browser.find_elements(By.CSS_SELECTOR, ".hit")


def test_a_planted_script_shows_as_text_and_never_runs(browser, server):
    search_by_keyboard(browser, server, "planted")
    assert shown_titles(browser) == [SCRIPT_TITLE]
    activate(browser, browser.find_element(By.CSS_SELECTOR, ".hit h2 a"))
    assert browser.find_element(By.TAG_NAME, "h1").text == SCRIPT_TITLE
    assert "<img src=x onerror=alert(1)>" in browser.find_element(By.CSS_SELECTOR, "pre.content").text
    assert browser.execute_script("return [window.pwned, document.querySelectorAll('script, img').length]") == [
        None, 0]
    assert browser.title == f"{SCRIPT_TITLE} – minisearch"
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text


def test_the_page_fits_a_phones_width(server, screenshots):
    phone = start_browser(390, 844, phone=True)
    try:
        search_by_keyboard(phone, server, "decode")
        width, scroll_width = phone.execute_script(
            "return [window.innerWidth, document.documentElement.scrollWidth]")
        button = phone.find_element(By.CSS_SELECTOR, ".box button")
        box = phone.find_element(By.ID, "q")
        assert width == 390 and scroll_width <= width  # nothing scrolls sideways
        assert button.location["x"] + button.size["width"] <= width and box.size["width"] >= 200
        assert len(shown_titles(phone)) == 10
        phone.save_screenshot(str(screenshots / "search-page-phone.png"))
    finally:
        phone.quit()


def test_the_page_works_without_javascript(server):
    driver = start_browser(1000, 760, javascript=False)
    try:
        search_by_keyboard(driver, server, "decode")
        first = shown_titles(driver)
        activate(driver, driver.find_element(By.CSS_SELECTOR, "a[rel=next]"))
        assert len(first) == 10 and shown_titles(driver) and shown_titles(driver) != first
    finally:
        driver.quit()
