"""Write the five sample images of orvane.basic.instances into misc/.

Every image is a procedural scene drawn with numpy and Pillow from a fixed seed, so
running this script again gives the same pictures. The pixel sizes are the ones the
module's functions reshape to; the script checks them, and checks that segs.jpg,
thresholded at 100 after decoding, still has the regions it was drawn with.

    .venv/bin/python scripts/make_sample_images.py [output folder]
"""

import sys
from pathlib import Path

import numpy as np
from PIL import Image, ImageDraw, ImageOps
from scipy import ndimage

MISC = Path(__file__).resolve().parent.parent / "misc"
QUALITY = 85
SUPERSAMPLE = 2  # shapes are drawn this many times larger, then reduced (smooth edges)


# Shapes: (ImageDraw method, points in image pixels, options).
def ellipse(x0, y0, x1, y1):
    return ("ellipse", [(x0, y0), (x1, y1)], {})


def rectangle(x0, y0, x1, y1):
    return ("rectangle", [(x0, y0), (x1, y1)], {})


def polygon(points):
    return ("polygon", list(points), {})


def line(points, width, **options):
    return ("line", list(points), {"width": width, **options})


def shape_mask(size, *shapes):
    """A float mask in [0, 1] (height x width x 1) covered by `shapes`, with smooth edges."""
    width, height = size
    big = Image.new("L", (width * SUPERSAMPLE, height * SUPERSAMPLE), 0)
    draw = ImageDraw.Draw(big)
    for method, points, options in shapes:
        points = [(x * SUPERSAMPLE, y * SUPERSAMPLE) for x, y in points]
        if "width" in options:
            options = {**options, "width": round(options["width"] * SUPERSAMPLE)}
        getattr(draw, method)(points, fill=255, **options)
    small = big.resize(size, Image.Resampling.LANCZOS)
    return np.asarray(small, dtype=float)[:, :, None] / 255.0


def smooth_noise(rng, size, cell, amplitude):
    """Low-frequency noise in about [-amplitude, amplitude]: a coarse random grid, upsampled."""
    width, height = size
    coarse = rng.uniform(-1.0, 1.0, (max(2, height // cell), max(2, width // cell)))
    grid = Image.fromarray(coarse.astype(np.float32), mode="F")
    return amplitude * np.asarray(grid.resize(size, Image.Resampling.BICUBIC))[..., None]


def vertical_gradient(size, top, bottom):
    width, height = size
    t = np.linspace(0.0, 1.0, height)[:, None, None]
    return (1 - t) * np.array(top, float) + t * np.array(bottom, float) + np.zeros((1, width, 3))


def paint(canvas, mask, color):
    """Blends `color` (an RGB triple or an image of colours) into `canvas` under `mask`."""
    canvas *= 1.0 - mask
    canvas += mask * np.asarray(color, float)


def to_image(canvas, rng, grain):
    canvas = canvas + rng.normal(0.0, grain, canvas.shape)
    return Image.fromarray(np.clip(canvas, 0, 255).round().astype(np.uint8), mode="RGB")


def cat(size):
    """A ginger cat sitting on a wooden floor, its tail curled up on the right."""
    rng = np.random.default_rng(101)
    width, height = size
    canvas = vertical_gradient(size, (226, 214, 190), (196, 178, 150))
    grain = np.sin(np.arange(width) / 9.0)[None, :, None]
    floor = np.array([150, 104, 66]) + 14 * grain + smooth_noise(rng, size, 60, 12)
    paint(canvas, np.arange(height)[:, None, None] >= 560, floor)
    canvas *= 1.0 - 0.35 * shape_mask(size, ellipse(280, 640, 700, 700))

    yy, xx = np.mgrid[0:height, 0:width]
    stripes = np.sin((xx * 0.35 + yy) / 11.0 + smooth_noise(rng, size, 50, 2.5)[..., 0])
    fur = np.array([214, 136, 62]) + (22 * stripes)[..., None] + smooth_noise(rng, size, 30, 10)
    tail = [(600, 640), (720, 660), (790, 600), (800, 520), (770, 470)]
    body = shape_mask(
        size,
        ellipse(330, 330, 640, 680),
        line(tail, 34, joint="curve"),
        ellipse(752, 452, 788, 488),
    )
    paint(canvas, body, fur * 0.92)
    ears = [
        polygon([(365, 250), (380, 95), (455, 175)]),
        polygon([(505, 170), (585, 90), (598, 250)]),
    ]
    paint(canvas, shape_mask(size, ellipse(350, 150, 610, 390), *ears), fur)
    inner_ears = [
        polygon([(388, 225), (392, 130), (440, 185)]),
        polygon([(522, 182), (575, 128), (582, 225)]),
    ]
    paint(canvas, shape_mask(size, *inner_ears), (226, 160, 150))
    paint(canvas, 0.85 * shape_mask(size, ellipse(420, 280, 540, 370)), (246, 232, 212))

    for cx in (430, 530):
        paint(canvas, shape_mask(size, ellipse(cx - 28, 232, cx + 28, 272)), (120, 178, 60))
        paint(canvas, shape_mask(size, ellipse(cx - 7, 234, cx + 7, 270)), (20, 18, 16))
        paint(canvas, shape_mask(size, ellipse(cx + 6, 240, cx + 14, 248)), (250, 250, 250))
    paint(canvas, shape_mask(size, polygon([(466, 296), (494, 296), (480, 314)])), (200, 110, 120))

    whiskers = [
        line([(480 + side * 30, 318 + 8 * k), (480 + side * 170, 290 + 28 * k)], 2)
        for side in (-1, 1)
        for k in range(3)
    ]
    mouth = [line([(480, 314), (480, 330), (462, 342)], 3), line([(480, 330), (498, 342)], 3)]
    paint(canvas, 0.9 * shape_mask(size, *whiskers, *mouth), (60, 44, 36))
    return to_image(canvas, rng, grain=2.0)


def ascent(size):
    """Stone stairs climbing from the lower left to the upper right under a pale sky."""
    rng = np.random.default_rng(202)
    width, height = size
    canvas = vertical_gradient(size, (150, 180, 215), (225, 230, 235))
    paint(canvas, shape_mask(size, ellipse(150, 70, 250, 170)), (252, 246, 220))

    stone = smooth_noise(rng, size, 24, 16) + smooth_noise(rng, size, 6, 6)
    steps, tread, rise = 11, 92, 52
    for step in range(steps):
        left = 40 + step * tread
        top = height - 60 - (step + 1) * rise
        riser = shape_mask(size, rectangle(left, top + 14, width, height))
        paint(canvas, riser, (128 + stone) * np.array([1.0, 0.97, 0.92]))
        nosing = shape_mask(size, rectangle(left, top, width, top + 14))
        paint(canvas, nosing, (196 + stone) * np.array([1.0, 0.98, 0.94]))
        paint(canvas, 0.8 * shape_mask(size, line([(left, top + 14), (width, top + 14)], 3)), 68)

    def rail_height(x):
        return height - 170 - (x - 60) * rise / tread

    railing = [line([(60, rail_height(60)), (1100, rail_height(1100))], 10)]
    for step in range(0, steps, 2):
        x = 90 + step * tread
        railing.append(line([(x, height - 60 - (step + 1) * rise), (x, rail_height(x))], 8))
    paint(canvas, shape_mask(size, *railing), (52, 48, 46))
    ground = shape_mask(size, rectangle(0, height - 60, width, height))
    paint(canvas, ground, (96 + stone) * np.array([0.9, 0.95, 0.8]))
    return to_image(canvas, rng, grain=2.5)


def leaf_outline(rng, size):
    width, height = size
    cx, cy = rng.uniform(0, width), rng.uniform(0, height)
    length, breadth, angle = rng.uniform(90, 170), rng.uniform(40, 70), rng.uniform(0, np.pi)
    t = np.linspace(0, 2 * np.pi, 60)
    along, across = length * np.cos(t), breadth * np.sin(t) * np.abs(np.sin(t / 2)) ** 0.5
    xs = cx + along * np.cos(angle) - across * np.sin(angle)
    ys = cy + along * np.sin(angle) + across * np.cos(angle)
    tip = (length * np.cos(angle), length * np.sin(angle))
    vein = [(cx - tip[0], cy - tip[1]), (cx + tip[0], cy + tip[1])]
    return list(zip(xs, ys, strict=True)), vein


def shaded_berry(size, centre, radius, light):
    """Colour and coverage of a glossy sphere (diffuse and specular light)."""
    width, height = size
    yy, xx = np.mgrid[0:height, 0:width].astype(float)
    nx, ny = (xx - centre[0]) / radius, (yy - centre[1]) / radius
    distance = np.sqrt(nx**2 + ny**2)
    nz = np.sqrt(np.clip(1.0 - distance**2, 0.0, 1.0))
    diffuse = np.clip(nx * light[0] + ny * light[1] + nz * light[2], 0.0, 1.0)
    specular = np.clip(2 * diffuse * nz - light[2], 0.0, 1.0) ** 30
    colour = np.array([34, 18, 44]) * (0.45 + 0.9 * diffuse[..., None]) + 230 * specular[..., None]
    coverage = np.clip((1.0 - distance) * radius, 0.0, 1.0)[..., None]
    return colour, coverage


def blackcurrant(size):
    """Three hanging clusters of shiny black currants in front of leaves."""
    rng = np.random.default_rng(303)
    leaf_green = np.array([70, 120, 50], float)
    canvas = leaf_green * (0.55 + 0.25 * smooth_noise(rng, size, 70, 1.0)) + np.zeros((1, 1, 3))
    for _ in range(7):
        outline, vein = leaf_outline(rng, size)
        paint(canvas, shape_mask(size, polygon(outline)), leaf_green * rng.uniform(0.8, 1.25))
        paint(canvas, 0.7 * shape_mask(size, line(vein, 3)), (150, 180, 110))

    light = np.array([-0.45, -0.55, 0.70])
    light /= np.linalg.norm(light)
    for stem_x, stem_top, count in ((170, 40, 9), (390, 10, 11), (590, 70, 8)):
        stem = [(stem_x + 30 * np.sin(k / 3.0), stem_top + 40 * k) for k in range(count + 2)]
        paint(canvas, shape_mask(size, line(stem, 4, joint="curve")), (90, 80, 40))
        for x, y in stem[1 : count + 1]:
            centre = (x + rng.uniform(-35, 35), y + rng.uniform(5, 30))
            colour, coverage = shaded_berry(size, centre, rng.uniform(19, 30), light)
            paint(canvas, coverage, colour)
    return to_image(canvas, rng, grain=2.0)


def bricks(size):
    """A weathered brick wall in running bond, lit from the upper left."""
    rng = np.random.default_rng(404)
    width, height = size
    mortar, brick_w, brick_h = 12, 176, 56
    canvas = np.full((height, width, 3), 182.0) + smooth_noise(rng, size, 8, 10)
    texture = smooth_noise(rng, size, 5, 9) + smooth_noise(rng, size, 40, 12)
    for row in range(-1, height // (brick_h + mortar) + 1):
        top = 8 + row * (brick_h + mortar)
        offset = -(brick_w + mortar) // 2 if row % 2 else -30
        for left in range(offset, width, brick_w + mortar):
            base = np.array([156, 72, 48]) * rng.uniform(0.78, 1.15) + rng.uniform(-10, 10, 3)
            x0, x1 = max(left, 0), min(left + brick_w, width)
            y0, y1 = max(top, 0), min(top + brick_h, height)
            if x0 >= x1 or y0 >= y1:
                continue
            gx = np.linspace(0.0, 1.0, x1 - x0)[None, :]
            gy = np.linspace(0.0, 1.0, y1 - y0)[:, None]
            lit = (1.08 - 0.08 * (gx + gy))[..., None]
            canvas[y0:y1, x0:x1] = base * lit + texture[y0:y1, x0:x1]
    weathering = np.clip(smooth_noise(rng, size, 160, 1.0), 0.0, 1.0)
    canvas *= 1.0 - 0.35 * weathering * np.linspace(0.2, 1.0, height)[:, None, None]
    return to_image(canvas, rng, grain=3.0)


# segs.jpg: bright regions on a dark field, drawn in this order; a colour of None paints
# the background again (the hole of the ring, the gap along both sides of the band).
SEGS_BACKGROUND = (22, 30, 48)
BAND = [(300, 500), (730, 40)]
BAND_WIDTH, BAND_GAP = 26, 9
SEGS_SHAPES = [
    (ellipse(75, 70, 285, 280), (226, 214, 120)),  # ring ...
    (ellipse(125, 120, 235, 230), None),  # ... and its hole
    (ellipse(155, 150, 205, 200), (240, 160, 150)),  # disc inside the hole
    (ellipse(395, 175, 705, 395), (150, 196, 232)),  # ellipse, crossed by ...
    (line(BAND, BAND_WIDTH + 2 * BAND_GAP), None),
    (line(BAND, BAND_WIDTH), (236, 236, 236)),  # ... the band
    (rectangle(70, 360, 190, 470), (170, 220, 150)),
    (polygon([(330, 40), (440, 60), (360, 150)]), (250, 190, 110)),
]


def segs(size):
    """Regions for mask geometry: a ring around a small disc, an ellipse crossed by a long
    band (a dark gap on both sides keeps the band a region of its own, so the ellipse
    falls into two halves), a square and a triangle."""
    rng = np.random.default_rng(505)
    canvas = np.array(SEGS_BACKGROUND) + smooth_noise(rng, size, 40, 8)
    for shape, colour in SEGS_SHAPES:
        if colour is None:
            fill = np.array(SEGS_BACKGROUND) + smooth_noise(rng, size, 40, 8)
        else:
            fill = np.array(colour) + smooth_noise(rng, size, 25, 12)
        paint(canvas, shape_mask(size, shape), fill)
    return to_image(canvas, rng, grain=3.0)


def check_segs_mask(mask):
    """The mask of segs.jpg keeps the drawn structure: seven regions, one of them a ring
    whose hole holds another region, and one long thin band. Returns the region count."""
    labels, count = ndimage.label(mask)
    assert count == 7, f"segs.jpg has {count} regions at threshold 100, expected 7"
    rings = []
    elongations = []
    for index in range(1, count + 1):
        region = labels == index
        holes = ndimage.binary_fill_holes(region) & ~region
        if set(np.unique(labels[holes])) - {0}:
            rings.append(index)
        spread = np.linalg.eigvalsh(np.cov(np.argwhere(region).T))
        elongations.append(np.sqrt(spread[1] / spread[0]))
    assert len(rings) == 1, f"expected one ring around another region, found {rings}"
    assert max(elongations) > 10, f"no elongated band among the regions: {elongations}"
    return count


SCENES = {
    "cat.jpg": (cat, (1000, 781)),
    "ascent.jpg": (ascent, (1152, 768)),
    "blackcurrant.jpg": (blackcurrant, (725, 544)),
    "bricks.jpg": (bricks, (1280, 696)),
    "segs.jpg": (segs, (748, 533)),
}


def main(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name, (scene, size) in SCENES.items():
        image = scene(size)
        assert image.size == size, (name, image.size)
        path = folder / name
        image.save(path, "JPEG", quality=QUALITY, optimize=True)
        print(f"{path}: {size[0]} x {size[1]}, {path.stat().st_size // 1024} KiB")
    with Image.open(folder / "segs.jpg") as written:
        count = check_segs_mask(np.asarray(ImageOps.grayscale(written)) > 100)
    print(f"segs.jpg: {count} regions at threshold 100")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else MISC)
