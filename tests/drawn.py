"""What a saved figure shows, measured in display coordinates: the earthquake
labels and markers of every subplot, the leader lines, the key, the tick
labels. The checks return the faults they find, so that a test can show them."""

import math

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.text import Text

OVERLAY_LABEL = "震中距(km)"


def renderer_of(fig):
    """A renderer for a saved (closed) figure, after drawing the figure with
    it at the figure's own resolution: the paths of the leader lines are those
    of the last drawing, which may have been a save at another resolution."""
    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    return canvas.get_renderer()


def subplots(fig):
    """(subplot, its earthquake axes or None) for every stacked subplot."""
    out = []
    for ax in fig.axes:
        if ax.get_ylabel() == OVERLAY_LABEL:
            continue
        overlay = None
        for other in fig.axes:
            if other is not ax and other.get_ylabel() == OVERLAY_LABEL and \
                    other.get_position().bounds == ax.get_position().bounds:
                overlay = other
        out.append((ax, overlay))
    return out


def markers(overlay, renderer):
    """(x, y, radius) of every earthquake marker, in pixels."""
    (points,) = overlay.collections
    xy = points.get_offset_transform().transform(points.get_offsets())
    sizes = np.broadcast_to(points.get_sizes(), (len(xy),))
    radius = np.sqrt(sizes) / 2 * renderer.points_to_pixels(1.0)
    return [(float(x), float(y), float(r)) for (x, y), r in zip(xy, radius)]


def labels(overlay):
    """The earthquake labels of an overlay, shown or not."""
    return [t for t in overlay.texts if hasattr(t, "earthquake_magnitude")]


def text_box(label, renderer):
    """The box of a label's text, without its leader line."""
    if hasattr(label, "update_positions"):
        label.update_positions(renderer)
    return Text.get_window_extent(label, renderer)


def anchor(label, overlay):
    x, y = label.xy
    return overlay.transData.transform((overlay.convert_xunits(x), overlay.convert_yunits(y)))


def box_disc_distance(box, disc):
    x, y, r = disc
    dx = max(box.x0 - x, 0.0, x - box.x1)
    dy = max(box.y0 - y, 0.0, y - box.y1)
    return math.hypot(dx, dy) - r


def leader(label, renderer):
    """The drawn leader line of a label as a polyline in pixels, or None."""
    patch = getattr(label, "arrow_patch", None)
    if patch is None or not label.get_visible():
        return None
    path = patch.get_path()
    return patch.get_transform().transform(path.vertices) if len(path.vertices) else None


def segment_crosses_box(p, q, box, inset=0.5):
    """Whether the segment p-q enters the box (shrunk by `inset` pixels)."""
    x0, y0, x1, y1 = box.x0 + inset, box.y0 + inset, box.x1 - inset, box.y1 - inset
    t0, t1 = 0.0, 1.0
    dx, dy = q[0] - p[0], q[1] - p[1]
    for pk, qk in ((-dx, p[0] - x0), (dx, x1 - p[0]), (-dy, p[1] - y0), (dy, y1 - p[1])):
        if pk == 0:
            if qk < 0:
                return False
            continue
        t = qk / pk
        if pk < 0:
            t0 = max(t0, t)
        else:
            t1 = min(t1, t)
        if t0 > t1:
            return False
    return True


def segment_crosses_disc(p, q, disc):
    x, y, r = disc
    p, q = np.asarray(p, float), np.asarray(q, float)
    d = q - p
    t = 0.0 if not d.any() else float(np.clip(np.dot((x, y) - p, d) / np.dot(d, d), 0, 1))
    return math.dist(p + t * d, (x, y)) < r


def key_of(ax, overlay):
    """The key drawn over a subplot, or None."""
    for axes in (overlay, ax):
        if axes is not None and axes.get_legend() is not None:
            return axes.get_legend()
    return None


def label_faults(fig):
    """Every way the earthquake labels of a figure break the rules: each fault
    a short text naming the subplot and the labels involved."""
    renderer = renderer_of(fig)
    faults = []
    for ax, overlay in subplots(fig):
        if overlay is None:
            continue
        where = ax.get_title()
        area = ax.get_window_extent(renderer)
        discs = markers(overlay, renderer)
        shown = [t for t in labels(overlay) if t.get_visible()]
        boxes = [text_box(t, renderer) for t in shown]
        key = key_of(ax, overlay)
        key_box = key.get_window_extent(renderer) if key is not None else None
        lines = [leader(t, renderer) for t in shown]
        for i, (t, box) in enumerate(zip(shown, boxes)):
            name = t.get_text().replace("\n", " ")
            if not (area.x0 - 1 <= box.x0 and box.x1 <= area.x1 + 1 and
                    area.y0 - 1 <= box.y0 and box.y1 <= area.y1 + 1):
                faults.append(f"{where}: {name} leaves the subplot")
            for other, other_box in zip(shown[i + 1:], boxes[i + 1:]):
                if box.overlaps(other_box):
                    faults.append(f"{where}: {name} overlaps {other.get_text()!r}")
            for disc in discs:
                if box_disc_distance(box, disc) < 0:
                    faults.append(f"{where}: {name} covers a marker at {disc[:2]}")
            if key_box is not None and box.overlaps(key_box):
                faults.append(f"{where}: {name} overlaps the key")
            patch = t.get_bbox_patch()
            if patch is not None and patch.get_visible() and patch.get_facecolor()[3] > 0:
                faults.append(f"{where}: {name} has an opaque backing")
            own = min(discs, key=lambda d: math.dist(d[:2], anchor(t, overlay)))
            nearest = min(box_disc_distance(box, d) for d in discs)
            if lines[i] is None and box_disc_distance(box, own) > nearest + 0.5:
                faults.append(f"{where}: {name} stands nearer another marker than its own")
            if lines[i] is not None:
                for p, q in zip(lines[i][:-1], lines[i][1:]):
                    for j, other_box in enumerate(boxes):
                        if j != i and segment_crosses_box(p, q, other_box):
                            faults.append(f"{where}: the line of {name} crosses "
                                          f"{shown[j].get_text()!r}")
                    for disc in discs:
                        if disc is not own and segment_crosses_disc(p, q, disc):
                            faults.append(f"{where}: the line of {name} crosses a marker")
    return faults


def tick_label_boxes(ax, renderer, axis="x"):
    labels = ax.xaxis.get_majorticklabels() if axis == "x" else ax.yaxis.get_majorticklabels()
    return [(t.get_text(), t.get_window_extent(renderer)) for t in labels
            if t.get_visible() and t.get_text()]


def overlapping_tick_labels(fig):
    """Pairs of x tick labels of the bottom subplot that overlap."""
    renderer = renderer_of(fig)
    ax = subplots(fig)[-1][0]
    boxes = tick_label_boxes(ax, renderer)
    return [(a, b) for i, (a, box) in enumerate(boxes) for b, other in boxes[i + 1:]
            if box.overlaps(other)]


def key_entries(ax, overlay):
    key = key_of(ax, overlay)
    return None if key is None else [t.get_text() for t in key.get_texts()]

