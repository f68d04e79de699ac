"""Five sample images, downloaded over HTTPS on every call, as gray levels indexed
[x, y] with y counting upward from the bottom row."""

import io
from typing import Literal as Literal
from typing import Tuple as Tuple  # noqa: UP035

import numpy
import numpy.typing as npt
import PIL.Image
import PIL.ImageOps
import requests
from numpy import ndarray as ndarray

np = numpy
connect = requests.get
byte = io.BytesIO
img_open = PIL.Image.open
as_gray = PIL.ImageOps.grayscale

_GrayImage = npt.NDArray[numpy.int_]

def _url_img(
    url: str, shape: tuple[int, ...], order: Literal["C", "F"] = "C", trans: bool = False
) -> _GrayImage:
    """Download the image at `url` as 8-bit gray levels reshaped to `shape` in `order`;
    with `trans` the second axis is reversed (`url` must be exactly a str, `shape`
    exactly a tuple). While `connect` is requests.get, the download waits at most 60 s
    and an HTTP error status raises requests.HTTPError; a rebound `connect` is called
    as connect(url)."""

def _as_boolean(x: numpy.ndarray, thre: float) -> npt.NDArray[numpy.bool_]:
    """True where `x` is strictly greater than `thre`."""

def cat() -> _GrayImage:
    """misc/cat.jpg, shape (1000, 781)."""

def accent() -> _GrayImage:
    """misc/ascent.jpg, shape (1152, 768)."""

def blackcurrant() -> _GrayImage:
    """misc/blackcurrant.jpg, shape (725, 544)."""

def bricks() -> _GrayImage:
    """misc/bricks.jpg, shape (1280, 696)."""

def segs() -> npt.NDArray[numpy.bool_]:
    """misc/segs.jpg thresholded at 100: a boolean mask of shape (748, 533)."""

__all__ = ["cat", "accent", "blackcurrant", "bricks", "segs"]
