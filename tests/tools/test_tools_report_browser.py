"""The HTML report opened in a real browser: every thumbnail loads, the results come in rank
order and link to their files, nothing is fetched, and a hostile file name stays text."""

import json
from urllib.parse import unquote, urlparse

import pytest
from browser_support import open_report, requests_made
from selenium.webdriver.common.by import By
from testsupport import save_photo

HOSTILE_NAMES = ["<img src=x onerror=alert(1)>.jpg", '"><svg onload=alert(2)>.png']


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

    open_report(browser, report)

    images = browser.find_elements(By.TAG_NAME, "img")
    assert len(images) == 1 + len(results)  # the query and one per result: no injected element
    widths = [
        browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth", image)
        for image in images
    ]
    assert all(width > 0 for width in widths), widths

    items = browser.find_elements(By.CSS_SELECTOR, ".results li")
    assert [int(item.get_attribute("data-rank")) for item in items] == [r["rank"] for r in results]
    assert [item.find_element(By.CSS_SELECTOR, ".rank").text for item in items] == [
        f"#{r['rank']}" for r in results
    ]
    links = [item.find_element(By.TAG_NAME, "a").get_attribute("href") for item in items]
    assert [unquote(urlparse(link).path) for link in links] == [r["path"] for r in results]
    shown = [item.find_element(By.CSS_SELECTOR, ".path").text for item in items]
    assert [f"garden/{name}" for name in HOSTILE_NAMES if f"garden/{name}" in shown] == [
        f"garden/{name}" for name in HOSTILE_NAMES
    ]

    fetched = [url for url in requests_made(browser) if not url.startswith("data:")]
    assert fetched in ([], [report.as_uri()]), fetched


CHARACTER_TOPS = """
const chars = [];
const walker = document.createTreeWalker(arguments[0], NodeFilter.SHOW_TEXT);
for (let node = walker.nextNode(); node; node = walker.nextNode()) {
  for (let i = 0; i < node.length; i++) {
    const range = document.createRange();
    range.setStart(node, i);
    range.setEnd(node, i + 1);
    const rect = range.getClientRects()[0];
    chars.push([node.data[i], rect ? Math.round(rect.top) : null]);
  }
}
return chars;
"""


def test_large_thumbnails_full_picture_on_click_and_paths_broken_at_separators(
    browser, photos, find_images, tmp_path
):
    deep = photos / "a_long_folder_name_to_wrap" / "another_long_folder_name" / "one more with spaces"
    picture = save_photo(deep / "a_photograph_named_at_length.png", 1200, 900, seed=2)
    report = tmp_path / "report.html"
    result = find_images("similar", picture, photos, "--report", report, "--limit", 3)
    assert result.returncode == 0, result.stderr

    browser.get(report.as_uri())
    first = browser.find_elements(By.CSS_SELECTOR, ".results li")[0]
    image = first.find_element(By.TAG_NAME, "img")
    natural, shown = browser.execute_script(
        "return [arguments[0].naturalWidth, arguments[0].getBoundingClientRect().width]", image
    )
    assert natural == 640 and shown >= 300, (natural, shown)

    tops = browser.execute_script(CHARACTER_TOPS, first.find_element(By.CSS_SELECTOR, ".path"))
    assert "".join(char for char, _ in tops) == str(picture.relative_to(photos))
    names, current = [], []
    for char, top in tops:
        current.append(top)
        if char == "/":
            names.append(current)
            current = []
    names.append(current)
    assert len({top for _, top in tops}) > 1, "the path was expected to need several lines"
    assert all(len(set(name)) == 1 for name in names), "a line broke inside a name"

    first.find_element(By.TAG_NAME, "a").click()  # the full picture, from the original file
    assert unquote(urlparse(browser.current_url).path) == str(picture)
    assert browser.execute_script("return document.images[0].naturalWidth") == 1200
