"""Five sample images, downloaded over HTTPS on every call, as gray levels indexed
[x, y] with y counting upward from the bottom row.

Element ``[x, y]`` of an image is the pixel in column x, counted from the left, and row y,
counted up from the bottom: ``[0, 0]`` is the bottom-left pixel, as in Cartesian
coordinates (plot an image with ``imshow(image.T, origin="lower")``). Nothing is cached:
every call downloads its file again. To work offline, use the copies bundled with the
package, inside a ``with orvane.sample_images.bundled():`` block (all examples here do).
"""

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
    as connect(url).

    Parameters
    ----------
    url : str
        The image's address; its type must be exactly ``str`` (bytes are refused).
    shape : tuple of int
        The shape the pixel sequence is reshaped to; exactly a ``tuple``. ``(height,
        width)`` with order "C" gives the image as stored (row 0 at the top); ``(width,
        height)`` with order "F" gives its transpose, indexed [x, y].
    order : {"C", "F"}, default "C"
        Passed to ``numpy.ndarray.reshape``; numpy checks it.
    trans : bool, default False
        When true, the second axis is reversed (so that y counts upward).

    Returns
    -------
    numpy.ndarray of numpy's default integer (int64), of shape `shape`
        The gray levels, 0 to 255 (Pillow's ``ImageOps.grayscale``).

    Raises
    ------
    TypeError
        `url` not exactly a ``str``, or `shape` not exactly a ``tuple`` (before any
        download); a shape of floats.
    ValueError
        A shape whose size differs from the number of pixels ("cannot reshape array of size
        12 into shape (0,)"); an order numpy refuses; an error of ``bool(trans)``.
    requests.HTTPError
        An HTTP error status, while `connect` is ``requests.get``; other ``requests``
        errors (no network, a time-out) pass through too.
    PIL.UnidentifiedImageError
        A response body that is not an image.

    See Also
    --------
    cat, accent, blackcurrant, bricks, segs : the five sample images.
    orvane.sample_images.bundled : the bundled copies, served offline.

    Notes
    -----
    The pixel array is made from the image's raw bytes, 5 to 14 times faster than from
    Pillow's pixel sequence (``bench/bench_instances.py``); the download is the cost.

    Examples
    --------
    >>> from orvane.basic import instances
    >>> from orvane.sample_images import BASE_URL, bundled
    >>> with bundled():
    ...     stored = instances._url_img(BASE_URL + "misc/cat.jpg", (781, 1000))
    ...     upward = instances._url_img(BASE_URL + "misc/cat.jpg", (1000, 781), "F", True)
    >>> stored.shape, upward.shape, bool((upward[:, ::-1] == stored.T).all())
    ((781, 1000), (1000, 781), True)
    """

def _as_boolean(x: numpy.ndarray, thre: float) -> npt.NDArray[numpy.bool_]:
    """True where `x` is strictly greater than `thre`.

    Parameters
    ----------
    x : numpy.ndarray
        The values, such as gray levels.
    thre : float or array_like
        The threshold; an array broadcasts against `x`.

    Returns
    -------
    numpy.ndarray of bool
        A new array of the shape of `x`; a value equal to `thre` gives False.

    Raises
    ------
    TypeError
        Values that do not compare with `thre` (None, a list against an int).
    ValueError
        A `thre` array that does not broadcast against `x`.

    See Also
    --------
    segs : a sample image thresholded at 100.

    Examples
    --------
    >>> import numpy as np
    >>> from orvane.basic import instances
    >>> instances._as_boolean(np.array([99, 100, 101]), 100)
    array([False, False,  True])
    """

def cat() -> _GrayImage:
    """misc/cat.jpg, shape (1000, 781).

    Downloads ``misc/cat.jpg`` from the base location (``orvane.sample_images.BASE_URL``)
    on every call.

    Returns
    -------
    numpy.ndarray of int64, shape (1000, 781)
        The gray levels (0 to 255), indexed [x, y], y counting upward.

    Raises
    ------
    TypeError
        An argument (the function takes none).
    requests.RequestException
        A failed download (no network, a time-out, an HTTP error status).

    See Also
    --------
    segs, orvane.sample_images.bundled

    Examples
    --------
    >>> from orvane.basic import instances
    >>> from orvane.sample_images import bundled
    >>> with bundled():  # the copy bundled with the package: no network
    ...     image = instances.cat()
    >>> image.shape, image.dtype, int(image[0, 0]), int(image[0, 780])
    ((1000, 781), dtype('int64'), 106, 215)
    """

def accent() -> _GrayImage:
    """misc/ascent.jpg, shape (1152, 768).

    Downloads ``misc/ascent.jpg`` from the base location (``orvane.sample_images.BASE_URL``)
    on every call. The name is ``accent``; the file is ``ascent.jpg``.

    Returns
    -------
    numpy.ndarray of int64, shape (1152, 768)
        The gray levels (0 to 255), indexed [x, y], y counting upward.

    Raises
    ------
    TypeError
        An argument (the function takes none).
    requests.RequestException
        A failed download (no network, a time-out, an HTTP error status).

    See Also
    --------
    segs, orvane.sample_images.bundled

    Examples
    --------
    >>> from orvane.basic import instances
    >>> from orvane.sample_images import bundled
    >>> with bundled():  # the copy bundled with the package: no network
    ...     image = instances.accent()
    >>> image.shape, int(image.min()), int(image.max())
    ((1152, 768), 30, 253)
    """

def blackcurrant() -> _GrayImage:
    """misc/blackcurrant.jpg, shape (725, 544).

    Downloads ``misc/blackcurrant.jpg`` from the base location (``orvane.sample_images.BASE_URL``)
    on every call.

    Returns
    -------
    numpy.ndarray of int64, shape (725, 544)
        The gray levels (0 to 255), indexed [x, y], y counting upward.

    Raises
    ------
    TypeError
        An argument (the function takes none).
    requests.RequestException
        A failed download (no network, a time-out, an HTTP error status).

    See Also
    --------
    segs, orvane.sample_images.bundled

    Examples
    --------
    >>> from orvane.basic import instances
    >>> from orvane.sample_images import bundled
    >>> with bundled():  # the copy bundled with the package: no network
    ...     image = instances.blackcurrant()
    >>> image.shape, int(image.min()), int(image.max())
    ((725, 544), 1, 250)
    """

def bricks() -> _GrayImage:
    """misc/bricks.jpg, shape (1280, 696).

    Downloads ``misc/bricks.jpg`` from the base location (``orvane.sample_images.BASE_URL``)
    on every call.

    Returns
    -------
    numpy.ndarray of int64, shape (1280, 696)
        The gray levels (0 to 255), indexed [x, y], y counting upward.

    Raises
    ------
    TypeError
        An argument (the function takes none).
    requests.RequestException
        A failed download (no network, a time-out, an HTTP error status).

    See Also
    --------
    segs, orvane.sample_images.bundled

    Examples
    --------
    >>> from orvane.basic import instances
    >>> from orvane.sample_images import bundled
    >>> with bundled():  # the copy bundled with the package: no network
    ...     image = instances.bricks()
    >>> image.shape, int(image.min()), int(image.max())
    ((1280, 696), 37, 204)
    """

def segs() -> npt.NDArray[numpy.bool_]:
    """misc/segs.jpg thresholded at 100: a boolean mask of shape (748, 533).

    The mask has seven separate regions: a ring around a smaller disc, a long band
    crossing an ellipse (cutting it in two), a square and a triangle; the gallery draws
    them.

    Returns
    -------
    numpy.ndarray of bool, shape (748, 533)
        True where the gray level exceeds 100, indexed [x, y], y counting upward.

    Raises
    ------
    TypeError
        An argument (the function takes none).
    requests.RequestException
        A failed download (no network, a time-out, an HTTP error status).

    See Also
    --------
    _as_boolean : the threshold.
    orvane.basic.medical : geometry of such masks.

    Examples
    --------
    >>> from scipy import ndimage
    >>> from orvane.basic import instances
    >>> from orvane.sample_images import bundled
    >>> with bundled():
    ...     mask = instances.segs()
    >>> mask.shape, mask.dtype, ndimage.label(mask)[1]
    ((748, 533), dtype('bool'), 7)
    """

__all__ = ["cat", "accent", "blackcurrant", "bricks", "segs"]
