"""The four figures per channel as a Python user would get them, for the
benchmark: peer_stats.py pillow|numpy FILE prints min, mean, max and
standard deviation for red, green and blue."""
import re
import sys


def pillow(path):
    from PIL import Image, ImageStat

    # Pillow opens 16-bit PPM files as 8-bit RGB.
    stat = ImageStat.Stat(Image.open(path))
    for (low, high), mean, stddev in zip(stat.extrema, stat.mean, stat.stddev):
        print(low, mean, high, stddev)


def numpy_memmap(path):
    import numpy

    # The header of a raw PPM file: magic number, width, height, maxval,
    # each followed by one whitespace character (no comments here).
    with open(path, "rb") as f:
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", f.read(64))
    width, height, maxval = (int(field) for field in header.groups())
    offset = header.end()
    dtype = ">u2" if maxval > 255 else "u1"
    pixels = numpy.memmap(path, dtype=dtype, mode="r", offset=offset,
                          shape=(height, width, 3))
    for c in range(3):
        channel = pixels[:, :, c]
        print(channel.min(), channel.mean(dtype=numpy.float64), channel.max(),
              channel.std(dtype=numpy.float64))


if __name__ == "__main__":
    {"pillow": pillow, "numpy": numpy_memmap}[sys.argv[1]](sys.argv[2])
