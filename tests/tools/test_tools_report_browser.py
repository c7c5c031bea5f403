"""The HTML report opened in a real browser: every thumbnail loads, the results come in rank
order and link to their files, nothing is fetched, and a hostile file name stays text."""
import json
from urllib.parse import unquote, urlparse

import pytest
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By

from testsupport import save_photo

HOSTILE_NAMES = ["<img src=x onerror=alert(1)>.jpg", "\"><svg onload=alert(2)>.png"]


def requests_made(browser):
    """URLs the page asked for since the last call, from the browser's network log."""
    urls = []
    for entry in browser.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


@pytest.mark.parametrize("command", ["similar", "crop"])
def test_report_in_a_browser(command, browser, photos, crop_of, find_images, tmp_path):
    for name in HOSTILE_NAMES:  # copies of photo 2, so they rank near the top
        save_photo(photos / "garden" / name, 240, 180, seed=2)
    source = photos / "garden" / "photo_2.jpg"
    query = source if command == "similar" else crop_of(source)
    report = tmp_path / "report.html"
    result = find_images(command, query, photos, "--json", "--report", report, "--limit", 25)
    assert result.returncode == 0, result.stderr
    results = json.loads(result.stdout)["results"]
    assert {str(photos / "garden" / name) for name in HOSTILE_NAMES} <= {r["path"] for r in results}

    requests_made(browser)  # forget earlier pages
    browser.get(report.as_uri())
    try:
        alert = browser.switch_to.alert.text
    except NoAlertPresentException:
        alert = None
    assert alert is None, f"a script ran in the report: alert({alert})"

    images = browser.find_elements(By.TAG_NAME, "img")
    assert len(images) == 1 + len(results)  # the query and one per result: no injected element
    widths = [browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth", image)
              for image in images]
    assert all(width > 0 for width in widths), widths

    items = browser.find_elements(By.CSS_SELECTOR, ".results li")
    assert [int(item.get_attribute("data-rank")) for item in items] == [r["rank"] for r in results]
    assert [item.find_element(By.CSS_SELECTOR, ".rank").text for item in items] == [f"#{r['rank']}" for r in results]
    links = [item.find_element(By.TAG_NAME, "a").get_attribute("href") for item in items]
    assert [unquote(urlparse(link).path) for link in links] == [r["path"] for r in results]
    shown = [item.find_element(By.CSS_SELECTOR, ".path").text for item in items]
    assert [f"garden/{name}" for name in HOSTILE_NAMES if f"garden/{name}" in shown] == \
        [f"garden/{name}" for name in HOSTILE_NAMES]

    fetched = [url for url in requests_made(browser) if not url.startswith("data:")]
    assert fetched in ([], [report.as_uri()]), fetched
