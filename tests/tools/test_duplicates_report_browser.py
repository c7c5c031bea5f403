"""The duplicate finder's HTML report in a real browser: every picture loads, each group shows
its keeper marked and what the action would do, nothing is fetched, and a hostile file name
stays text."""

import json
from urllib.parse import unquote, urlparse

from browser_support import open_report, requests_made
from duplicates_support import copy_of
from selenium.webdriver.common.by import By
from testsupport import save_photo

HOSTILE = "<img src=x onerror=alert(1)>.png"


def test_duplicates_report_in_a_browser(browser, find_images, tmp_path):
    folder = tmp_path / "photos"
    for seed in (1, 2):
        save_photo(folder / f"photo_{seed}.png", 320, 240, seed=seed)
        copy_of(folder / f"photo_{seed}.png", folder / "copies" / f"small_{seed}.jpg", 160, 120)
    copy_of(folder / "photo_1.png", folder / "copies" / HOSTILE, 200, 150, mirrored=True)
    save_photo(folder / "alone.png", 320, 240, seed=7)
    report = tmp_path / "report.html"
    before = sorted(p.name for p in folder.rglob("*"))
    result = find_images("duplicates", folder, "--json", "--report", report, "--move-to", tmp_path / "moved")
    assert result.returncode == 0, result.stderr
    groups = json.loads(result.stdout)["groups"]
    assert len(groups) == 2 and before != sorted(p.name for p in folder.rglob("*"))

    open_report(browser, report)

    sections = browser.find_elements(By.CSS_SELECTOR, "section.group")
    assert len(sections) == len(groups)
    for section, group in zip(sections, groups):
        items = section.find_elements(By.CSS_SELECTOR, ".members li")
        links = [
            unquote(urlparse(item.find_element(By.TAG_NAME, "a").get_attribute("href")).path)
            for item in items
        ]
        assert links == group["paths"]
        assert [item.get_attribute("data-role") for item in items] == ["keep"] + ["duplicate"] * (
            len(items) - 1
        )
        for item, member in zip(items[1:], group["members"][1:]):
            assert f"{member['width']} × {member['height']}" in item.text
            assert "moved to " + str(tmp_path / "moved") in item.text
    images = browser.find_elements(By.TAG_NAME, "img")
    assert len(images) == sum(len(group["paths"]) for group in groups)  # no injected element
    widths = [
        browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth", image)
        for image in images
    ]
    assert all(width > 0 for width in widths), widths
    shown = [element.text for element in browser.find_elements(By.CSS_SELECTOR, ".path")]
    assert f"copies/{HOSTILE}" in shown
    fetched = [url for url in requests_made(browser) if not url.startswith("data:")]
    assert fetched in ([], [report.as_uri()]), fetched
