"""Pictures as plain RGB bytes, read and written through ImageMagick, so that the program's own writers are checked
against an independent decoder."""

import math
import subprocess


class Image:
    """width x height pixels, 3 bytes (R, G, B) each, top row first."""

    def __init__(self, width, height, rgb):
        if len(rgb) != width * height * 3:
            raise ValueError(f"{len(rgb)} bytes for {width}x{height}")
        self.width, self.height, self.rgb = width, height, bytes(rgb)

    @property
    def size(self):
        return self.width, self.height

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def crop(self, x, y, width, height):
        rows = [self.rgb[((y + r) * self.width + x) * 3:((y + r) * self.width + x + width) * 3] for r in range(height)]
        return Image(width, height, b"".join(rows))

    def to_ppm(self):
        return b"P6\n%d %d\n255\n" % (self.width, self.height) + self.rgb

    def first_difference(self, other):
        """(x, y, ours, theirs) of the first pixel that differs, or None when both are equal."""
        if self.size != other.size:
            return ("size", self.size, other.size)
        if self.rgb == other.rgb:
            return None
        for i in range(0, len(self.rgb), 3):
            if self.rgb[i:i + 3] != other.rgb[i:i + 3]:
                n = i // 3
                return (n % self.width, n // self.width, tuple(self.rgb[i:i + 3]), tuple(other.rgb[i:i + 3]))
        return None

    def differing_box(self, other):
        """The bounding box (x, y, width, height) of the pixels that differ from `other`, or None."""
        xs, ys = [], []
        for y in range(self.height):
            row = slice(y * self.width * 3, (y + 1) * self.width * 3)
            if self.rgb[row] == other.rgb[row]:
                continue
            a, b = self.rgb[row], other.rgb[row]
            for x in range(self.width):
                if a[x * 3:x * 3 + 3] != b[x * 3:x * 3 + 3]:
                    xs.append(x)
                    ys.append(y)
        if not xs:
            return None
        return min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1


def psnr(a, b):
    """Peak signal-to-noise ratio in dB over all channels; infinite for equal pictures."""
    if a.size != b.size:
        raise ValueError(f"sizes differ: {a.size} and {b.size}")
    total = sum((x - y) * (x - y) for x, y in zip(a.rgb, b.rgb))
    if total == 0:
        return math.inf
    return 10 * math.log10(255 * 255 * len(a.rgb) / total)


def from_ppm(data):
    """Parses binary PPM (P6, maxval 255) as ImageMagick writes it."""
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError(f"not an 8-bit P6 picture: {fields}")
    width, height = int(fields[1]), int(fields[2])
    return Image(width, height, data[pos + 1:pos + 1 + width * height * 3])


def read(path, env=None):
    """Decodes any file ImageMagick knows (BMP, JPEG, XWD) into RGB."""
    out = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True, check=True, env=env)
    return from_ppm(out.stdout)


def grab_root(env):
    """The root window as the X server holds it, through xwd (a reference independent of the program)."""
    xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, check=True, env=env).stdout
    out = subprocess.run(["convert", "xwd:-", "-depth", "8", "ppm:-"], input=xwd, capture_output=True, check=True)
    return from_ppm(out.stdout)


def grab_window(window, env):
    xwd = subprocess.run(["xwd", "-id", str(window), "-silent"], capture_output=True, check=True, env=env).stdout
    out = subprocess.run(["convert", "xwd:-", "-depth", "8", "ppm:-"], input=xwd, capture_output=True, check=True)
    return from_ppm(out.stdout)


def pattern(width, height):
    """A picture in which no two pixels of a screen up to 4096 pixels wide are alike in a nearby place: red and green
    count the columns and rows, blue tells the 256-pixel blocks apart and varies within them."""
    rows = []
    for y in range(height):
        row = bytearray(width * 3)
        for x in range(width):
            row[x * 3] = x & 255
            row[x * 3 + 1] = y & 255
            row[x * 3 + 2] = ((x >> 8) * 16 + (y >> 8) * 4 + ((x * 3 + y * 5) & 3)) & 255
        rows.append(bytes(row))
    return Image(width, height, b"".join(rows))
