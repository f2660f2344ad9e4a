#!/usr/bin/env python3
"""The console in headless Chromium: log in with a personal key, the home page
shows, "Run batch now" runs a batch recorded with the person, outside texts
with markup in them (a PO number, a sales order number, a log entry) are shown
as text, log out. Screenshots of the home, order and attention pages go to
SCREENSHOT_DIR.
Usage: operator_page.py BASE_URL OPERATOR_NAME OPERATOR_KEY SCREENSHOT_DIR PROFILE_DIR ORDER_ID MARKUP"""
import os
import struct
import sys
import time
import zlib

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
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


def loaded(driver, css):
    """Waits until the page has replaced its "Loading..." placeholder in css."""
    WebDriverWait(driver, 30, ignored_exceptions=[StaleElementReferenceException]).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, css) and "Loading" not in d.find_element(By.CSS_SELECTOR, css).text)
    return driver.find_element(By.CSS_SELECTOR, css)


def no_injection(driver, where):
    """Nothing of the markup ran or became an element: no alert, no flag, no <img src=x>."""
    alerts = driver.execute_script("return typeof window.__injected")
    assert alerts == "undefined", where + ": the injected script ran"
    assert not driver.find_elements(By.CSS_SELECTOR, "#view img, #view script"), where + ": an element was injected"


def shot(driver, folder, name):
    path = os.path.join(folder, name)
    driver.save_screenshot(path)
    assert png_has_content(path), name + " is blank"


def start_browser(profile):
    """Headless Chromium with its own profile folder."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1280,1000",
                 "--user-data-dir=" + profile):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    return driver


def log_in(driver, base, name, key):
    """The console sends a visitor without a session to the login page; the key logs the person in."""
    driver.get(base + "/")
    assert driver.current_url.endswith("/login"), driver.current_url
    driver.find_element(By.ID, "key").send_keys(key)
    driver.find_element(By.ID, "login").click()
    WebDriverWait(driver, 30, ignored_exceptions=[StaleElementReferenceException]).until(lambda d: d.find_elements(By.ID, "operator") and
                                    d.find_element(By.ID, "operator").text == name)
    assert key not in driver.page_source and key not in driver.current_url


def main():
    base, name, key, folder, profile, order, markup = sys.argv[1:8]
    os.makedirs(folder, exist_ok=True)
    driver = start_browser(profile)
    try:
        log_in(driver, base, name, key)

        # home: the attention list first, then the search (a list, an empty state or an error line)
        attention = loaded(driver, "#attention")
        loaded(driver, "#search-results")
        headings = [h.text for h in driver.find_elements(By.CSS_SELECTOR, "#view h2")]
        assert headings[0] == "Needs attention", headings
        assert driver.execute_script("return document.documentElement.scrollWidth") <= 1280, "scrolls sideways"
        shot(driver, folder, "home.png")
        attention.screenshot(os.path.join(folder, "attention.png"))
        driver.find_element(By.ID, "q").send_keys(markup)
        driver.find_element(By.ID, "search").click()
        time.sleep(0.5)
        no_injection(driver, "search")

        # "Run batch now", then the batch history names the person
        driver.find_element(By.ID, "run-batch").click()
        WebDriverWait(driver, 30, ignored_exceptions=[StaleElementReferenceException]).until(lambda d: "running" in d.find_element(By.ID, "batch-state").text)
        deadline = time.time() + 90
        row = ""
        driver.get(base + "/#batches")
        while time.time() < deadline:
            driver.refresh()  # the same URL again would not reload the page
            table = loaded(driver, "#batch-list")
            row = table.text
            if name in row and "operator" in row:
                break
            time.sleep(0.5)
        assert name in row, row
        loaded(driver, "#daily")
        assert driver.find_elements(By.CSS_SELECTOR, "#daily-chart rect"), "no bars in the chart"
        activity = loaded(driver, "#activity").text
        assert "Run batch now" in activity and name in activity, activity

        # an order whose PO and sales order number hold markup, and the log entry naming it
        driver.get(base + "/#order/" + order)
        loaded(driver, "#order")
        log = loaded(driver, "#order-log")
        assert markup in log.text, log.text
        no_injection(driver, "order page")
        WebDriverWait(driver, 30, ignored_exceptions=[StaleElementReferenceException]).until(lambda d: d.find_elements(By.CSS_SELECTOR, "#order dl"),
                                        driver.find_element(By.ID, "order").text)
        assert markup in driver.find_element(By.ID, "order").text
        no_injection(driver, "order summary")
        shot(driver, folder, "order.png")
        driver.get(base + "/#log")
        assert markup in loaded(driver, "#log-results").text
        no_injection(driver, "log page")

        driver.find_element(By.ID, "logout").click()
        WebDriverWait(driver, 30, ignored_exceptions=[StaleElementReferenceException]).until(lambda d: d.current_url.endswith("/login"))
        print("console: logged in as", name, "batch recorded, markup shown as text; screenshots in", folder)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
