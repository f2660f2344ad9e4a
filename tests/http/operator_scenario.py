#!/usr/bin/env python3
"""An operator's round in headless Chromium: log in with a personal key, find a
paid card order by its sales order number, read its timeline from checkout to
paid; see the order whose capture the gateway refused on the attention list
with the gateway's text, capture it again from the page with a note, and find
the action in its timeline under the person's name. Screenshots of the home,
order and attention pages go to SCREENSHOT_DIR.
Usage: operator_scenario.py BASE_URL OPERATOR_NAME OPERATOR_KEY SCREENSHOT_DIR PROFILE_DIR
       PAID_ORDER_ID PAID_SALES_ORDER REFUSED_ORDER_ID GATEWAY_TEXT"""
import os
import sys

from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

from operator_page import loaded, log_in, shot, start_browser

ROAD = ["authorised at checkout", "submitted", "exported", "confirmed", "allocated", "captured", "billing reported", "paid"]
NOTE = "card holder confirmed the order by phone"


def wait(driver, condition, what):
    # the page re-renders its lists while they load: an element read meanwhile is asked for again
    WebDriverWait(driver, 30, ignored_exceptions=[StaleElementReferenceException]).until(condition, what)


def rows(driver, css):
    """The table's body rows as lists of cell texts."""
    return [[td.text for td in tr.find_elements(By.CSS_SELECTOR, "td")]
            for tr in driver.find_elements(By.CSS_SELECTOR, css + " tbody tr")]


def timeline(driver):
    """The order page's timeline: one dict per event, keyed by the table's headings."""
    wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#events, #timeline .error"), "no timeline")
    headings = [th.text for th in driver.find_elements(By.CSS_SELECTOR, "#events thead th")]
    assert headings, driver.find_element(By.ID, "timeline").text
    return [dict(zip(headings, cells)) for cells in rows(driver, "#events")]


def attention_row(driver, order):
    for tr in driver.find_elements(By.CSS_SELECTOR, "#attention-items tbody tr"):
        if order in tr.text:
            return tr
    return None


def main():
    base, name, key, folder, profile, paid, sales_order, refused, gateway_text = sys.argv[1:10]
    os.makedirs(folder, exist_ok=True)
    driver = start_browser(profile)
    try:
        log_in(driver, base, name, key)

        # the search finds the paid order by its sales order number and leads to its page
        loaded(driver, "#search-results")
        driver.find_element(By.ID, "q").send_keys(sales_order)
        driver.find_element(By.ID, "search").click()
        # (each back end numbers its own sales orders: another instance may have the same number)
        wait(driver, lambda d: rows(d, "#orders") and all(len(r) > 4 and r[4] == sales_order for r in rows(d, "#orders")),
             "the search did not narrow to " + sales_order)
        driver.find_element(By.CSS_SELECTOR, "#orders tbody a[href='#order/%s']" % paid).click()
        wait(driver, lambda d: d.current_url.endswith("#order/" + paid), "the link did not lead to the order")
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#order dl"), "no order summary")
        assert sales_order in driver.find_element(By.ID, "order").text

        # its road, in order, each step with its time; the export names its file and
        # group, the confirmation its sales order
        events = timeline(driver)
        road = [e["what"] for e in events if e["what"] in ROAD]
        steps = list(dict.fromkeys(road))  # a step of several lines counts once, where it first came
        assert steps == ROAD, "\n".join(map(str, events))
        assert all(e["time"] for e in events), events
        assert [e["time"] for e in events] == sorted(e["time"] for e in events), events
        exported = next(e for e in events if e["what"] == "exported")
        assert exported["reference"] and exported["detail"], exported
        confirmed = next(e for e in events if e["what"] == "confirmed")
        assert sales_order in confirmed["reference"] + confirmed["detail"], confirmed
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#exchanges, #order-exchanges .error"), "no exchanges")
        assert "[object" not in driver.find_element(By.ID, "view").text, "a structure shown as [object ...]"
        driver.execute_script("document.getElementById('timeline').scrollIntoView()")
        shot(driver, folder, "scenario-order.png")

        # the refused capture needs attention, with the gateway's own text
        driver.get(base + "/#home")
        loaded(driver, "#attention")
        row = attention_row(driver, refused)
        assert row is not None, driver.find_element(By.ID, "attention").text
        assert gateway_text in row.text, row.text
        shot(driver, folder, "scenario-home.png")
        driver.find_element(By.ID, "attention").screenshot(os.path.join(folder, "scenario-attention.png"))

        # captured again from the page: a note first, then off the list
        row.find_element(By.XPATH, ".//button[text()='capture-again']").click()
        form = row.find_element(By.CSS_SELECTOR, "form")
        note = form.find_element(By.CSS_SELECTOR, "input")
        form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()  # the browser asks for the note
        assert driver.execute_script("return arguments[0].validity.valueMissing", note), "an empty note was taken"
        note.send_keys(NOTE)
        form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
        wait(driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#attention-items, #attention .empty") and
             "Loading" not in d.find_element(By.ID, "attention").text and attention_row(d, refused) is None,
             "the order stayed on the attention list")

        # its timeline holds the action, the person and the note
        driver.get(base + "/#order/" + refused)
        events = timeline(driver)
        action = [e for e in events if e["what"] == "capture again" and not e["line"]]  # the order's, not its lines'
        assert len(action) == 1, events
        assert name in action[0]["actor"] and action[0]["detail"] == NOTE, action
        assert events[-1]["what"] == "captured", events
        print("scenario: %s found by %s, its road %s; %s captured again by %s" %
              (paid, sales_order, " -> ".join(steps), refused, name))
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
