"""Plain route against byte route of orvane.basic.instances, side by side.

`_url_img` turns the decoded grayscale image into an array either with np.array over
getdata() (one Python int per pixel; taken whenever np, byte, img_open or as_gray is
rebound) or, with the bindings made at import, over the image's raw bytes. The download
is left out: `connect` is rebound to hand back the file from misc/ at once, so the
figures are decoding, grayscale conversion, the pixel array, reshape and flip.

    .venv/bin/python bench/bench_instances.py [repeats]
"""

import sys
import timeit
import warnings
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import PIL.ImageOps

from orvane.basic import instances

MISC = Path(__file__).resolve().parent.parent / "misc"
SAMPLES = {"cat": "cat.jpg", "accent": "ascent.jpg", "blackcurrant": "blackcurrant.jpg",
           "bricks": "bricks.jpg", "segs": "segs.jpg"}  # fmt: skip


def best_ms(func, repeats):
    return 1000 * min(timeit.repeat(func, number=1, repeat=repeats))


def main(repeats):
    responses = {url_file: SimpleNamespace(content=(MISC / url_file).read_bytes())
                 for url_file in SAMPLES.values()}  # fmt: skip
    instances.connect = lambda url: responses[url.rsplit("/", 1)[1]]
    as_gray = instances.as_gray

    def plain_route():
        # An equal function that is not the import-time object: the plain route runs.
        instances.as_gray = lambda image: PIL.ImageOps.grayscale(image)

    def byte_route():
        instances.as_gray = as_gray

    warnings.filterwarnings("ignore", "Image.Image.getdata is deprecated")
    print(f"best of {repeats} calls, milliseconds per call")
    print(f"{'function':<14}{'pixels':>10}{'plain':>10}{'byte':>10}{'speed-up':>10}")
    for name in SAMPLES:
        func = getattr(instances, name)
        plain_route()
        plain_array = func()
        plain = best_ms(func, repeats)
        byte_route()
        fast_array = func()
        fast = best_ms(func, repeats)
        assert plain_array.dtype == fast_array.dtype and np.array_equal(plain_array, fast_array)
        print(f"{name + '()':<14}{fast_array.size:>10}{plain:>10.1f}{fast:>10.1f}"
              f"{plain / fast:>9.1f}x")  # fmt: skip


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 7)
