"""Line segment detection and image resampling on NumPy arrays.

``trelvane`` is a native module for CPython 3.14, built for the free-threaded
interpreter. Every function reads its input arrays in place (copying only
arrays that are not C-contiguous), lets other Python threads run during the
computation, and may be called from any number of threads at once.

Coordinates
-----------
All functions use pixel coordinates with x to the right and y downwards;
element ``[y, x]`` of an array is pixel (x, y).

- ``remap_gray``, ``remap_rgb`` and ``warp_rgb`` take source positions on
  which integer values are pixel centres: (0, 0) is the centre of the top-left
  pixel, which covers [-0.5, 0.5] x [-0.5, 0.5].
- ``detect`` reports its coordinates in the same pixel-centre convention at
  ``scale=1`` (and at 0.5). At other scales below 1 the image is sampled on a
  coarser grid (see ``detect``), which shifts the results by a scale-dependent
  amount: measured on exactly rendered polygons, edges come out on average
  0.375 px further along x and y than the pixel-centre convention at the
  default scale 0.8, varying by up to +-0.3 px with where an edge falls on the
  grid.

Threads
-------
Each call's row loops (the detector's blur and gradients, every resampling)
run on the calling thread and a process-wide pool of worker threads, one per
available processor, with at most as many threads as the pool has workers
running rows at a time, callers included. The environment variable
``TRELVANE_NUM_THREADS``, read once when the pool is created (at the first
call), sets the threads that work on one call, the calling thread included,
even beyond the number of processors (up to 1024): 1 keeps every call on its
calling thread, which suits programs that run their own thread or process
pools. Unset, 0, negative or non-numeric values leave the default. Results
never depend on the number of threads.

Errors
------
Internal failures (a broken invariant, or a request the computation cannot
serve, such as coordinate maps with zero columns) raise ``PanicException``, a
class derived directly from :class:`BaseException` that the module does not
export: ``except Exception`` does not catch it.
"""

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

import numpy as np
from numpy.typing import NDArray

__all__ = ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]

# The resampling functions return the source's sample type.
_Sample = TypeVar("_Sample", np.uint8, np.uint16)
_Filter: TypeAlias = Literal["bilinear", "lanczos3"]
_Gray: TypeAlias = NDArray[np.uint8 | np.uint16 | np.float32 | np.float64]
_Map: TypeAlias = NDArray[np.float32]
_Homography: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | NDArray[np.floating | np.integer]


@final
class Segment:
    """One detected line segment, in input-image coordinates.

    Instances are returned by :func:`detect` only; they cannot be created,
    subclassed, changed or pickled. To send segments to another process
    (Dask's process or distributed schedulers, ``multiprocessing``), convert
    them to plain numbers first, for example an ``(N, 7)`` float64 array of
    ``x1, y1, x2, y2, width, precision, log_nfa``.

    ``repr`` and ``str`` give ``Segment((x1, y1)-(x2, y2), width=w)`` with one
    decimal per number.

    Examples
    --------
    >>> gray = np.zeros((100, 120), np.uint8)
    >>> gray[30:70, 20:100] = 200
    >>> s = trelvane.detect(gray, scale=1.0)[0]
    >>> s
    Segment((98.5, 29.5)-(20.5, 29.5), width=1.0)
    >>> s.length, s.angle, s.log_nfa > 0
    (78.0, 0.0, True)
    >>> record = [s.x1, s.y1, s.x2, s.y2,
    ...           s.width, s.precision, s.log_nfa]
    """

    @property
    def x1(self) -> float:
        """First end point, x, in input-image pixels (see Coordinates in the module docs)."""
    @property
    def y1(self) -> float:
        """First end point, y, in input-image pixels (y grows downwards)."""
    @property
    def x2(self) -> float:
        """Second end point, x, in input-image pixels."""
    @property
    def y2(self) -> float:
        """Second end point, y, in input-image pixels."""
    @property
    def width(self) -> float:
        """Width of the segment's supporting rectangle, in input-image pixels."""
    @property
    def precision(self) -> float:
        """Probability that a pixel of the rectangle is aligned with it, by chance.

        0.125 (an angle tolerance of 22.5 degrees), or 0.125 halved one or more
        times when a finer tolerance gave a better score.
        """
    @property
    def log_nfa(self) -> float:
        """Validation score, minus the base-10 logarithm of the number of false alarms.

        Greater than 0 for every reported segment; the larger, the less likely
        the segment arose by chance in noise (10 means one such segment in
        10**10 random images of the same size).
        """
    @property
    def angle(self) -> float:
        """Direction in degrees, -90 to 90, 0 = horizontal.

        In (-90, 90], measured in the image frame (y downwards): a positive
        angle means that y grows with x. A segment and its reverse have the
        same angle; a vertical segment gives 90.
        """
    @property
    def length(self) -> float:
        """Length in pixels, ``hypot(x2 - x1, y2 - y1)``."""


def detect(gray: _Gray, scale: float = 0.8) -> list[Segment]:
    """Find the validated line segments of a grayscale image.

    An a-contrario detector: regions of pixels whose gradient directions
    agree are grown from the strongest gradients, approximated by rectangles,
    and kept only when their number of false alarms (the expected number of
    equally aligned rectangles in a random image of the same size) is below 1.

    Parameters
    ----------
    gray : ndarray, shape (height, width)
        uint8, uint16, float32 or float64, any strides (a non-contiguous array
        is copied first). Samples are read on a **0-255 scale**: uint8 and
        float values are used as they are, uint16 values are divided by 257.
        A float image in [0, 1] has gradients 255 times too weak and gives no
        segments: multiply it by 255 first.
    scale : float, default 0.8
        Below 1, the image is blurred with a Gaussian of sigma ``0.6 / scale``
        and point-sampled: working pixel i takes source pixel
        ``floor(i / scale)`` (the sampling grid), and the working image has
        ``floor(width * scale)`` x ``floor(height * scale)`` pixels. 1 or more
        (also NaN) uses the image as it is; there is no upsampling. The
        results are always in input-image coordinates.

    Returns
    -------
    list of Segment
        Longest first; segments of equal length in the order they were found.
        Empty when the (working) image is smaller than 3 x 3 or has no
        segment.

    Raises
    ------
    TypeError
        ``gray`` is not a 2-D NumPy array of one of the four dtypes, or
        ``scale`` is not a number (with the note ``while processing 'scale'``).
    ValueError
        ``scale`` is 0, or the working image has 2**32 pixels or more.

    Notes
    -----
    Coordinates, measured on exactly rendered polygons: at ``scale=1`` and
    ``scale=0.5``, integer coordinates are pixel centres, the convention of
    the resampling functions (an edge between columns 9 and 10 is at x = 9.5).
    At other scales the grid ``floor(i / scale)`` lags behind ``i / scale``,
    by ``(p - 1) / (2 p)`` px on average for ``scale = p / q`` in lowest
    terms, and edges come out about that much further along x and y than
    pixel centres: 0.375 px at the default 0.8 (that is -0.125 px from the
    pixel-corner convention), varying by up to +-0.3 px with where an edge
    falls on the grid.

    Tiling a large image reproduces the whole-image segments only when every
    tile starts on the sampling grid, at a multiple of ``q`` source pixels
    (5 at scale 0.8, 2 at 0.5, any pixel at 1), and tiles overlap by more
    than the longest segment wanted; add the tile's origin to the
    coordinates. Segments near a tile border, and weak ones (the score
    depends on the image size), may still differ.

    The calling thread runs the detection and lets other Python threads run
    meanwhile; the blur and the gradient computation are spread over the
    module's worker threads (see Threads in the module docs).

    Examples
    --------
    >>> gray = np.zeros((100, 120), np.uint8)
    >>> gray[30:70, 20:100] = 200
    >>> segments = trelvane.detect(gray, scale=1.0)
    >>> [round(s.length) for s in segments]
    [78, 78, 38, 38]
    >>> round(segments[0].y1, 6)  # between rows 29 and 30
    29.5
    """


def remap_gray(src: NDArray[_Sample], map_x: _Map, map_y: _Map,
               filter: _Filter = "bilinear") -> NDArray[_Sample]:
    """Resample a single-channel image (a mask) through a coordinate map.

    Output pixel (x, y) takes its value from source position
    ``(map_x[y, x], map_y[y, x])``.

    Parameters
    ----------
    src : ndarray, shape (height, width), uint8 or uint16
        The image to sample; any strides.
    map_x, map_y : ndarray, shape (out_height, out_width), float32
        Source positions per output pixel, in pixel-centre coordinates:
        (0, 0) is the centre of the top-left pixel. Positions from -0.5 to
        ``width - 0.5`` (and ``height - 0.5``) are inside; borders repeat the
        edge pixels. float64 maps are rejected: convert with
        ``astype(np.float32)``.
    filter : {"bilinear", "lanczos3"}, default "bilinear"
        Bilinear interpolation, or Lanczos-3 (6 x 6 taps, positions rounded
        to 1/1024 pixel).

    Returns
    -------
    ndarray, shape (out_height, out_width), the dtype of ``src``
        A new C-contiguous array. Positions outside the source give 0; a NaN
        position gives 0 with "bilinear", and with "lanczos3" a NaN
        coordinate is read as 0.0. Values are rounded half up and saturated to the dtype's
        range (Lanczos-3 overshoot at sharp edges is clipped).

    Raises
    ------
    TypeError
        ``src`` is not a 2-D uint8 or uint16 array, a map is not a 2-D float32
        array, or ``filter`` is not a str.
    ValueError
        Unknown filter name, or ``map_x`` and ``map_y`` differ in shape.

    Examples
    --------
    Move a mask half a pixel to the left:

    >>> mask = np.zeros((4, 6), np.uint8)
    >>> mask[:, 3:] = 255
    >>> ys, xs = np.mgrid[0:4, 0:6].astype(np.float32)
    >>> trelvane.remap_gray(mask, xs + 0.5, ys)[0]
    array([  0,   0, 128, 255, 255, 255], dtype=uint8)
    """


def remap_rgb(src: NDArray[_Sample], map_x: _Map, map_y: _Map,
              filter: _Filter = "bilinear") -> NDArray[_Sample]:
    """Resample an RGB image through a coordinate map.

    Output pixel (x, y) takes its value from source position
    ``(map_x[y, x], map_y[y, x])``; the three channels share the position.

    Parameters
    ----------
    src : ndarray, shape (height, width, 3), uint8 or uint16
        The image to sample; any strides.
    map_x, map_y : ndarray, shape (out_height, out_width), float32
        Source positions per output pixel, in pixel-centre coordinates, as for
        :func:`remap_gray`.
    filter : {"bilinear", "lanczos3"}, default "bilinear"
        Interpolation filter.

    Returns
    -------
    ndarray, shape (out_height, out_width, 3), the dtype of ``src``
        A new C-contiguous array; outside positions give 0 in every channel.

    Raises
    ------
    TypeError
        ``src`` is not a (height, width, 3) uint8 or uint16 array, a map is
        not a 2-D float32 array, or ``filter`` is not a str.
    ValueError
        Unknown filter name, or ``map_x`` and ``map_y`` differ in shape.

    Examples
    --------
    Undo radial lens distortion: each output pixel looks up where the lens
    put it.

    >>> photo = skimage.data.astronaut()
    >>> h, w = photo.shape[:2]
    >>> y, x = np.mgrid[0:h, 0:w]
    >>> cx, cy, k = (w - 1) / 2, (h - 1) / 2, -0.1
    >>> r2 = (x - cx) ** 2 + (y - cy) ** 2
    >>> f = 1 + k * r2 / (cx * cx + cy * cy)
    >>> map_x = (cx + f * (x - cx)).astype(np.float32)
    >>> map_y = (cy + f * (y - cy)).astype(np.float32)
    >>> out = trelvane.remap_rgb(
    ...     photo, map_x, map_y, "lanczos3")
    >>> out.shape, out.dtype
    ((512, 512, 3), dtype('uint8'))
    """


def warp_rgb(src: NDArray[_Sample], inverse: _Homography, scale: float, off_x: float,
             off_y: float, filter: _Filter = "bilinear",
             out_size: tuple[SupportsIndex, SupportsIndex] | None = None) -> NDArray[_Sample]:
    """Perspective-warp an RGB image through an inverse homography.

    Output pixel (c, r) stands for the plane point
    ``(u, v) = (c / scale + off_x, r / scale + off_y)`` (no half-pixel shift);
    ``inverse`` maps ``(u, v, 1)`` to the homogeneous source position, in
    pixel-centre coordinates, where the pixel is sampled.

    Parameters
    ----------
    src : ndarray, shape (height, width, 3), uint8 or uint16
        The image to sample; any strides.
    inverse : sequence of 9 numbers
        The 3 x 3 matrix from output plane to source, flat in row-major order
        (a list, tuple or 1-D array of 9; use ``H.ravel()`` for a (3, 3)
        array). Where the homogeneous w is exactly 0 the pixel stays 0; a
        negative w is not treated specially.
    scale : float
        Output pixels per unit of the plane; above 1 magnifies.
    off_x, off_y : float
        The plane point of output pixel (0, 0).
    filter : {"bilinear", "lanczos3"}, default "bilinear"
        Interpolation filter.
    out_size : tuple of 2 int, optional
        ``(width, height)`` of the output; the source's size when None.

    Returns
    -------
    ndarray, shape (height, width, 3), the dtype of ``src``
        A new C-contiguous array; positions outside the source give 0.

    Raises
    ------
    TypeError
        ``src`` is not a (height, width, 3) uint8 or uint16 array, ``inverse``
        is not a sequence of numbers, ``out_size`` is not a tuple of
        integers, or ``filter`` is not a str.
    ValueError
        ``inverse`` does not have 9 items, ``out_size`` does not have 2, or
        the filter name is unknown.

    Examples
    --------
    A view of a photo tilted in perspective, into an 800 x 600 output; ``H``
    takes output pixels to photo pixels:

    >>> photo = skimage.data.astronaut()
    >>> H = np.array([[0.6, 0.1, 20.0],
    ...               [0.0, 0.7, 10.0],
    ...               [0.0, 0.0004, 1.0]])
    >>> view = trelvane.warp_rgb(
    ...     photo, H.ravel(), 1.0, 0.0, 0.0,
    ...     filter="lanczos3", out_size=(800, 600))
    >>> view.shape
    (600, 800, 3)

    Twice the size, the top-left quarter of a 16-bit image:

    >>> deep = photo.astype(np.uint16) * 257
    >>> identity = [1, 0, 0, 0, 1, 0, 0, 0, 1]
    >>> trelvane.warp_rgb(deep, identity, 2.0, 0.0, 0.0).dtype
    dtype('uint16')
    """
