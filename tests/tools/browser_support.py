"""Loading a report in the test browser and reading what it fetched."""

import json

from selenium.common.exceptions import NoAlertPresentException


def requests_made(browser):
    """URLs the page asked for since the last call, from the browser's network log."""
    urls = []
    for entry in browser.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


def open_report(browser, report):
    """Loads the page at `report` after forgetting earlier pages' requests; fails when a script
    of the page ran (the hostile names try alert())."""
    requests_made(browser)
    browser.get(report.as_uri())
    try:
        alert = browser.switch_to.alert.text
    except NoAlertPresentException:
        alert = None
    assert alert is None, f"a script ran in the report: alert({alert})"
