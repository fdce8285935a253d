#!/usr/bin/env python3
"""The web console's picture for the README: the headless program serving
one device, "plc1", on a pseudo-terminal made here, a TCP peer connected,
the page in headless Chromium with the terminal open showing the device's
answer to what was typed.

    console_screenshot.py --hub PATH OUT.png
"""

import argparse
import os
import shutil
import socket
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import console_browser_test as console  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hub", required=True)
    parser.add_argument("out")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="quaylight-console-shot-")
    hub = console.Hub(args.hub, folder, "shot", "[monitor]\nTerminal=open\n")
    driver = peer = None
    try:
        port = hub.find(console.CONSOLE_PORT, 15)
        peer = socket.create_connection(("127.0.0.1", hub.find(console.SERVER_PORT, 15)))
        driver = console.browser(folder, "shot", os.path.join(folder, "home"))
        driver.set_window_size(1000, 960)
        driver.get("http://127.0.0.1:%d/" % port)
        if not console.wait_text(driver, "#hub-plc1 .port", "open", 15):
            raise SystemExit("the page did not show the hub")
        from selenium.webdriver.common.by import By
        driver.find_element(By.CSS_SELECTOR, "#hub-plc1 button.open-terminal").click()
        console.wait_text(driver, "#hub-plc1 .terminal .status", "connected to", 15)
        driver.find_element(By.CSS_SELECTOR, "#hub-plc1 .xterm-helper-textarea").send_keys("AT+VER?\r")
        hub.read_device(8, 5)
        os.write(hub.master, b"AT+VER?\r\nPLC-1 firmware 2.4.1\r\nOK\r\n")
        console.wait_text(driver, "#hub-plc1 .xterm-accessibility-tree", "OK", 15)
        driver.save_screenshot(args.out)
    finally:
        if driver:
            driver.quit()
        if peer:
            peer.close()
        hub.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
