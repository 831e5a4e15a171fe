"""KWin's own screenshot service as the program asks it (KWinScreenShot, through the kwin_screenshot driver): the
output's own pixels without the pointer, which KDE's portal draws into its picture, and a refusal that says why for a
program that no desktop file names."""

import os
import shutil
import subprocess
import time
import unittest

from harness import Kde, _die_with_parent, images


class KWinScreenShot(unittest.TestCase):
    def shot(self, session, program, output=""):
        """The picture of KWin's output `output` (empty: the active one) and what the driver wrote to standard error."""
        path = f"/tmp/kwin-{time.monotonic_ns()}.ppm"
        result = subprocess.run(session.command([program, path, 1, output]), env=session.env, capture_output=True,
                                text=True, preexec_fn=_die_with_parent)
        inside = session.file_in_session(path)
        picture = images.read(inside) if result.returncode == 0 else None
        if os.path.exists(inside):
            os.remove(inside)
        return picture, result.stderr

    def test_output_pixels_without_the_pointer(self):
        # The output by KWin's name for it, and the active one.
        for scale, output in ((1, ""), (1.5, "Virtual-0")):
            with self.subTest(scale=scale, output=output):
                session = Kde(1280, 800, scale=scale)
                try:
                    session.move(500, 300)
                    with_pointer = session.grab(pointer=True)
                    picture, errors = self.shot(session, Kde.built_tool("kwin_screenshot"), output)
                    self.assertIsNotNone(picture, errors)
                    self.assertEqual(picture.size, (1280, 800))
                    expected = session.background if scale == 1 else session.grab()
                    self.assertIsNone(picture.first_difference(expected))
                    self.assertIsNotNone(with_pointer.first_difference(expected))
                finally:
                    session.close()

    def test_refused_to_a_program_no_desktop_file_names(self):
        session = Kde(640, 400)
        try:
            # The same program at another path: KWin goes by the executable's path.
            copy = os.path.join(session.dir, "kwin_screenshot")
            shutil.copy(Kde.built_tool("kwin_screenshot"), copy)
            picture, errors = self.shot(session, copy)
            self.assertIsNone(picture)
            self.assertEqual(errors.strip(), "Cannot read the screen: KWin's screenshot service "
                             "(org.kde.KWin.ScreenShot2) refused: KWin answers only programs that an installed "
                             "desktop file names with X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2")
        finally:
            session.close()


if __name__ == "__main__":
    unittest.main()
