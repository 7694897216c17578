"""Writes example pictures of trelvane's resampling and line detection to demo/output/.

    python demo/demo.py

Each resampling picture puts the input and the results of both filters side by
side, each panel captioned with its name; the *_zoom pictures magnify a detail,
where bilinear and lanczos3 differ visibly. The detect_* pictures draw the
detected segments over gray photos.
"""

from pathlib import Path

import numpy as np
import skimage.data
import skimage.transform as skt
import skimage.color
from PIL import Image, ImageDraw, ImageFont

import trelvane

OUT = Path(__file__).resolve().parent / "output"
FILTERS = ("bilinear", "lanczos3")
GAP = 8  # white pixels between panels


def captioned(panel, caption, size):
    """The panel under a white strip naming it in letters `size` pixels high."""
    image = Image.fromarray(panel).convert("RGB")
    strip = size * 3 // 2
    out = Image.new("RGB", (image.width, image.height + strip), "white")
    out.paste(image, (0, strip))
    ImageDraw.Draw(out).text((size // 2, size // 4), caption, fill="black",
                             font=ImageFont.load_default(size=size))
    return np.asarray(out)


def save(name, captions, *panels):
    # Captioned panels of equal height side by side. A page shows the picture
    # at its column's width (about 700 px), so the letters grow with the
    # picture's width to stay legible there.
    width = sum(p.shape[1] for p in panels) + GAP * (len(panels) - 1)
    size = max(16, width // 40)
    panels = [captioned(p, c, size) for p, c in zip(panels, captions, strict=True)]
    gap = np.full((panels[0].shape[0], GAP, 3), 255, np.uint8)
    parts = [p for panel in panels for p in (gap, panel)][1:]
    path = OUT / name
    Image.fromarray(np.hstack(parts)).save(path)
    print(path)


def plane_grid(w, h, scale, origin):
    # Output pixel (c, r) looks at plane point origin + (c, r) / scale; a scale
    # above 1 magnifies, the same convention as warp_rgb's scale and offsets.
    r, c = np.mgrid[0:h, 0:w]
    return c / scale + origin[0], r / scale + origin[1]


def swirl_maps(w, h, centre, strength, radius, scale=1.0, origin=(0, 0)):
    # Each point turns about the centre by an angle fading with its distance.
    u, v = plane_grid(w, h, scale, origin)
    dx, dy = u - centre[0], v - centre[1]
    angle = strength * np.exp(-np.hypot(dx, dy) / radius)
    c, s = np.cos(angle), np.sin(angle)
    return ((centre[0] + c * dx - s * dy).astype(np.float32),
            (centre[1] + s * dx + c * dy).astype(np.float32))


def barrel_maps(w, h, k):
    # Sampling farther out towards the edges squeezes them: barrel distortion.
    u, v = plane_grid(w, h, 1.0, (0, 0))
    cx, cy = (w - 1) / 2, (h - 1) / 2
    f = 1 + k * ((u - cx) ** 2 + (v - cy) ** 2) / (cx * cx + cy * cy)
    return (cx + f * (u - cx)).astype(np.float32), (cy + f * (v - cy)).astype(np.float32)


def perspective_demo():
    photo = skimage.data.astronaut()
    h, w = photo.shape[:2]
    # The photo as a poster on a wall turned away to the right: its corners
    # land on this quadrilateral. warp_rgb wants the inverse map, quad -> photo.
    corners = np.array([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]], float)
    quad = np.array([[20, 15], [490, 110], [490, 400], [20, 495]], float)
    inverse = skt.ProjectiveTransform.from_estimate(quad, corners).params.ravel().tolist()
    save("warp_astronaut.png", ("original", *FILTERS), photo,
         *(trelvane.warp_rgb(photo, inverse, 1.0, 0.0, 0.0, filter=f) for f in FILTERS))

    # 5x on the mission patch: the plane is magnified, the filters differ.
    scale, size = 5.0, (360, 320)
    zoom = [trelvane.warp_rgb(photo, inverse, scale, 195.0, 323.0, filter=f, out_size=size)
            for f in FILTERS]
    save("warp_astronaut_zoom.png", [f"{f}, 5x" for f in FILTERS], *zoom)


def swirl_demo():
    photo = skimage.data.chelsea()
    h, w = photo.shape[:2]
    centre, strength, radius = (w / 2, h / 2), 4.0, 70.0
    map_x, map_y = swirl_maps(w, h, centre, strength, radius)
    save("remap_swirl.png", ("original", *FILTERS), photo,
         *(trelvane.remap_rgb(photo, map_x, map_y, filter=f) for f in FILTERS))

    # The swirled eye 4x larger: the map itself is evaluated on a finer grid.
    scale, zw, zh, eye = 4.0, 300, 300, (185, 195)
    map_x, map_y = swirl_maps(zw, zh, centre, strength, radius, scale,
                              (eye[0] - zw / 2 / scale, eye[1] - zh / 2 / scale))
    save("remap_swirl_zoom.png", [f"{f}, 4x" for f in FILTERS],
         *(trelvane.remap_rgb(photo, map_x, map_y, filter=f) for f in FILTERS))


def gray_demo():
    photo = skimage.data.camera()
    h, w = photo.shape
    map_x, map_y = barrel_maps(w, h, 0.25)
    save("remap_gray_camera.png", ("original", *FILTERS), photo,
         *(trelvane.remap_gray(photo, map_x, map_y, filter=f) for f in FILTERS))


def detect_demo():
    photos = {"camera": skimage.data.camera(),
              "rocket": skimage.data.rocket(),
              "astronaut": skimage.data.astronaut()}
    for name, photo in photos.items():
        gray = photo if photo.ndim == 2 else np.round(skimage.color.rgb2gray(photo) * 255).astype(np.uint8)
        segments = trelvane.detect(gray)  # the default scale, 0.8
        # Segments in red over the photo, dimmed so that they stand out.
        canvas = Image.fromarray(gray // 2 + 64).convert("RGB")
        draw = ImageDraw.Draw(canvas)
        for s in segments:
            draw.line([(s.x1, s.y1), (s.x2, s.y2)], fill=(255, 40, 40), width=max(1, round(s.width / 2)))
        path = OUT / f"detect_{name}.png"
        canvas.save(path)
        print(path, f"({len(segments)} segments)")


def main():
    OUT.mkdir(exist_ok=True)
    perspective_demo()
    swirl_demo()
    gray_demo()
    detect_demo()


if __name__ == "__main__":
    main()
