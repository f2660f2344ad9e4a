#!/usr/bin/env python3
"""The operator page in headless Chromium: log in, see the demo orders, run a
batch, see their status change; a screenshot that is a PNG with content.
Usage: operator_page.py BASE_URL OPERATOR_KEY SCREENSHOT_PATH PROFILE_DIR"""
import struct
import sys
import time
import zlib

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def png_has_content(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return False
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    pixels = zlib.decompress(idat)
    return len(set(pixels[::7])) > 8  # a blank page has a handful of byte values


def statuses(driver):
    return [row.get_attribute("data-status") for row in driver.find_elements(By.CSS_SELECTOR, "#orders tr.order")]


def main():
    base, key, screenshot, profile = sys.argv[1:5]
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1280,1600",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.set_page_load_timeout(30)
        driver.get(base + "/")
        assert driver.current_url.endswith("/login"), driver.current_url
        driver.find_element(By.ID, "key").send_keys(key)
        driver.find_element(By.ID, "login").click()
        # the click only starts the navigation: wait for the orders page, however loaded the machine
        WebDriverWait(driver, 30).until(lambda d: statuses(d))
        before = statuses(driver)
        assert len(before) >= 4 and set(before) == {"0"}, before  # every demo order waits
        assert "ToBeProcessed" in driver.find_element(By.ID, "status-counts").text
        assert key not in driver.page_source and key not in driver.current_url
        driver.find_element(By.ID, "run-batch").click()
        deadline = time.time() + 60
        while time.time() < deadline:
            driver.get(base + "/")
            state = driver.find_element(By.ID, "batch-state").text if driver.find_elements(By.ID, "batch-state") else ""
            if "ended" in state or "failed" in state:
                break
            time.sleep(0.5)
        assert "ended" in state, state
        assert "Batch finished" in driver.find_element(By.ID, "batch-summary").text
        after = statuses(driver)
        assert "1" in after, after  # exported to the back ends
        driver.save_screenshot(screenshot)
        assert png_has_content(screenshot), "the screenshot is blank"
        print("operator page:", len(before), "orders, batch ran, statuses", before, "->", after)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
