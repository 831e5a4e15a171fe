"""The "..." button as a user meets it: Qt's folder dialog on a real display, driven with the keyboard, and what it
leaves in the folder box and the settings file."""

import os
import unittest

from harness import ProgramTestCase, wait_until

DIALOG = "^Please select folder:$"
# Where the controls are in the client area at 96 dpi (15 twips a pixel), as (x, y) of their centre.
BROWSE_BUTTON = (492, 95)
FOLDER_BOX = (244, 95)


class ChooserTest(ProgramTestCase):

    def setUp(self):
        super().setUp()
        self.shots = os.path.join(self.program.home, "shots")
        self.other = os.path.join(self.program.home, "other place")
        os.makedirs(self.shots)
        os.makedirs(self.other)

    def start(self, **settings):
        if settings:
            self.program.write_settings(settings)
        self.main = self.program.start()
        wait_until(lambda: self.display.geometry(self.main)[2] > 0, what="the main window's geometry")

    def click(self, point):
        x, y, _, _ = self.display.geometry(self.main)
        self.display.click(x + point[0], y + point[1])

    def open_dialog(self):
        self.click(BROWSE_BUTTON)
        dialog = self.display.wait_window(DIALOG)
        self.display.xdotool("windowactivate", "--sync", dialog, check=False)
        return dialog

    def close_dialog(self, dialog, *keys):
        for key in keys:
            self.display.key(key)
        self.display.wait_no_window(DIALOG)

    def choose(self, path):
        """Opens the dialog, types the path into its name box and confirms with Enter."""
        dialog = self.open_dialog()
        self.display.xdotool("type", "--delay", "15", path)
        # The name box may offer completions in a popup; wait until the text is in, close the popup, confirm.
        self.display.key("End")
        self.close_dialog(dialog, "Return")

    def folder_text(self, expected):
        x, y, _, _ = self.display.geometry(self.main)
        return self.display.copy_text_at(x + FOLDER_BOX[0], y + FOLDER_BOX[1], expected)

    def wait_settings(self, expected):
        wait_until(lambda: all(self.program.settings().get(k) == v for k, v in expected.items()),
                   what=f"settings {expected}, have {self.program.settings()}")

    def test_typed_folder_is_shown_with_a_separator_and_remembered_without(self):
        self.start()
        self.choose(self.other)
        self.wait_settings({"LastFolderDot": self.other, "Text1": self.other + "/"})
        self.assertEqual(self.folder_text(self.other + "/"), self.other + "/")

    def test_escape_changes_nothing(self):
        typed = self.shots + "/"
        self.start(Text1=typed, LastFolderDot=self.other)
        with open(self.program.settings_path) as f:
            before = f.read()
        dialog = self.open_dialog()
        self.display.xdotool("type", "--delay", "15", "/tmp")
        self.close_dialog(dialog, "Escape", "Escape")
        self.assertEqual(self.folder_text(typed), typed)
        with open(self.program.settings_path) as f:
            self.assertEqual(f.read(), before)

    def test_root_stays_as_it_is(self):
        self.start()
        self.choose("/")
        self.wait_settings({"LastFolderDot": "/", "Text1": "/"})
        self.assertEqual(self.folder_text("/"), "/")

    def test_next_browse_opens_on_the_last_choice_not_on_the_typed_folder(self):
        self.start(Text1=self.shots + "/")
        self.choose(self.other)
        self.wait_settings({"LastFolderDot": self.other})
        # The user types another folder into the box.
        self.click(FOLDER_BOX)
        self.display.key("ctrl+a")
        self.display.xdotool("type", "--delay", "15", self.shots + "/")
        self.wait_settings({"Text1": self.shots + "/"})
        # Enter at once confirms the folder the dialog opened on.
        self.close_dialog(self.open_dialog(), "Return")
        self.wait_settings({"LastFolderDot": self.other, "Text1": self.other + "/"})
        self.assertEqual(self.folder_text(self.other + "/"), self.other + "/")

    def test_a_file_cannot_be_confirmed_and_a_missing_last_folder_opens_on_home(self):
        gone = os.path.join(self.program.home, "gone")
        note = os.path.join(self.program.home, "note.txt")
        open(note, "w").close()
        self.start(Text1=self.shots + "/", LastFolderDot=gone)
        dialog = self.open_dialog()
        self.display.xdotool("type", "--delay", "15", note)
        self.display.key("End")
        self.display.key("Return")
        self.close_dialog(dialog, "Escape", "Escape")
        # The folder box answers only once the handler has finished with whatever the dialog gave it.
        self.assertEqual(self.folder_text(self.shots + "/"), self.shots + "/")
        self.assertEqual(self.program.settings().get("LastFolderDot"), gone)
        # The last folder is gone: the dialog opens on the home folder, and Enter at once confirms that.
        self.close_dialog(self.open_dialog(), "Return")
        self.wait_settings({"LastFolderDot": self.program.home, "Text1": self.program.home + "/"})


if __name__ == "__main__":
    unittest.main()
