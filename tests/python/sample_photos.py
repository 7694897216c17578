"""scikit-image's sample photos for the tests. The parts the tests use are
bundled in data/photos.npz (see data/README.md), so that a test that needs a
photo but none of scikit-image's functions runs without scikit-image, on any
interpreter; the other photos come from scikit-image."""
import functools
import os

import numpy as np

BUNDLE = os.path.join(os.path.dirname(__file__), "data", "photos.npz")
with np.load(BUNDLE) as _bundle:
    BUNDLED = frozenset(_bundle.files)


@functools.cache
def sample(name):
    """The sample image, read-only (it is shared): where it is bundled, its
    top-left part, which holds every region the tests take from it."""
    if name in BUNDLED:
        with np.load(BUNDLE) as bundle:
            image = bundle[name]
    else:
        import skimage.data
        image = getattr(skimage.data, name)()
    image.flags.writeable = False
    return image
