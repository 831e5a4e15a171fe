"""The main window as a user meets it: first start, options kept across runs, a bad stored value, the home page on
its draw, closing."""

import os
import re
import unittest

from harness import CLOCK_WITH_HOME_PAGE, PRODUCT, ProgramTestCase, wait_until

# Where the controls are in the client area at 96 dpi (15 twips a pixel), as (x, y) of their centre or indicator.
JPG = (31, 37)
BMP = (87, 37)
CHECK = (31, 153)
FOLDER_BOX = (244, 95)
START_CAPTION = (268, 194)


class MainWindowTest(ProgramTestCase):

    def origin(self, window):
        x, y, _, _ = self.display.geometry(window)
        return x, y

    def dark_pixels(self, window, point, radius=3):
        """How many nearly black pixels lie around a control's indicator: its dot or tick when it is set."""
        x, y = self.origin(window)
        size = 2 * radius + 1
        out = self.display.run("import", "-window", "root", "-crop",
                               f"{size}x{size}+{x + point[0] - radius}+{y + point[1] - radius}", "txt:-")
        count = 0
        for red, green, blue in re.findall(r"\((\d+),(\d+),(\d+)", out):
            if int(red) + int(green) + int(blue) < 300:
                count += 1
        return count

    def is_set(self, window, point):
        # The window is mapped before it is drawn: wait for the caption of "Start Capturing".
        wait_until(lambda: self.dark_pixels(window, START_CAPTION, radius=12) > 5, what="the window to be drawn")
        return self.dark_pixels(window, point) > 2

    def click(self, window, point):
        x, y = self.origin(window)
        self.display.click(x + point[0], y + point[1])

    def folder_text(self, window, expected):
        x, y = self.origin(window)
        return self.display.copy_text_at(x + FOLDER_BOX[0], y + FOLDER_BOX[1], expected)

    def close(self, window):
        self.display.xdotool("windowactivate", "--sync", window, check=False)
        self.display.key("alt+F4")
        return self.program.process.wait(10)

    def wait_settings(self, expected):
        wait_until(lambda: all(self.program.settings().get(k) == v for k, v in expected.items()),
                   what=f"settings {expected}, have {self.program.settings()}")

    def test_first_start_with_an_empty_store(self):
        window = self.program.start()
        desktop = self.program.desktop + "/"
        expected = ("[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\n"
                    "Check1=1\nOption1=True\nOption2=False\n"
                    f"Text1={desktop}\n")
        wait_until(lambda: os.path.exists(self.program.settings_path), what="the settings file")
        with open(self.program.settings_path) as f:
            self.assertEqual(f.read(), expected)
        self.assertTrue(self.is_set(window, BMP))
        self.assertFalse(self.is_set(window, JPG))
        self.assertTrue(self.is_set(window, CHECK))
        self.assertEqual(self.folder_text(window, desktop), desktop)
        # Clicking "JPG" writes the two keys crossed over.
        self.click(window, JPG)
        self.wait_settings({"Option1": "False", "Option2": "True"})

    def test_restart_restores_every_option(self):
        folder = os.path.join(self.program.home, "shots") + "/"
        self.program.write_settings({"Option1": "False", "Option2": "True", "Text1": folder, "Check1": "0"})
        window = self.program.start()
        self.assertTrue(self.is_set(window, JPG))
        self.assertFalse(self.is_set(window, BMP))
        self.assertFalse(self.is_set(window, CHECK))
        self.assertEqual(self.folder_text(window, folder), folder)

        self.click(window, BMP)
        self.click(window, CHECK)
        self.click(window, FOLDER_BOX)
        self.display.key("End")
        self.display.xdotool("type", "--delay", "20", "new")
        self.wait_settings({"Option1": "True", "Option2": "False", "Check1": "1", "Text1": folder + "new"})
        self.assertEqual(self.close(window), 0)

        window = self.program.start()
        self.assertTrue(self.is_set(window, BMP))
        self.assertFalse(self.is_set(window, JPG))
        self.assertTrue(self.is_set(window, CHECK))
        self.assertEqual(self.folder_text(window, folder + "new"), folder + "new")

    def test_bad_check1_is_reported_at_line_134(self):
        self.program.write_settings({"Check1": "abc"})
        self.program.start(wait_main=False)
        title, text, buttons = self.display.read_box("^Application Error$")
        self.assertEqual(title, "Application Error")
        self.assertEqual(buttons, "OK")
        # CR LF and CR CR arrive as line breaks.
        prefix = ('The stored setting "Check1" is "abc", which is not a number\n'
                  "in Quellbrook2021/08/31.Form1.Form_Load at line 134\n\n"
                  "Please email screenshot of this message to ")
        self.assertTrue(text.startswith(prefix), text)
        self.assertIn("@", text[len(prefix):])
        window = self.program.wait_main()
        self.assertFalse(self.is_set(window, CHECK))
        self.assertTrue(self.is_set(window, BMP))

    def test_home_page_opens_when_the_draw_says_so(self):
        self.program.clock = CLOCK_WITH_HOME_PAGE
        self.program.start()
        wait_until(lambda: os.path.exists(self.program.opened_urls_path), what="the home page to be opened")
        with open(self.program.opened_urls_path) as f:
            self.assertRegex(f.read(), r"^https?://[^\s]+\n$")
        self.assertEqual(self.display.windows("^Application Error$"), [])

    def test_closing_ends_the_process_at_once(self):
        window = self.program.start()
        self.assertEqual(self.close(window), 0)
        self.assertEqual(self.display.windows("^Application Error$"), [])
        self.assertFalse(os.path.exists(self.program.opened_urls_path))


if __name__ == "__main__":
    unittest.main()
