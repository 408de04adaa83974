// The last steps before a figure is saved, once every subplot is drawn and
// the layout is final: date ticks that do not collide, value ticks with one
// number of decimals, a key on each subplot with statistics lines or
// earthquakes, and the earthquake labels placed clear of each other and of
// the markers. And the breaks of a series line at its gaps.
#pragma once
#include "tsdraw/common.hpp"

#include "core/figure.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::tsdraw {

// A gap longer than this many sample intervals breaks a series line.
inline constexpr double kGapIntervals = 5;

// The values of a series with a missing value inserted in the middle of each
// gap longer than kGapIntervals sample intervals, so that the line drawn
// through them stops at the gap instead of bridging it.
inline py::object broken_at_gaps(py::object values) {
    py::object pd = mod_attr("pd");
    py::object index = values.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex")) || py::len(index) < 3) return values;
    auto times = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(
        index.attr("asi8"));
    std::vector<std::size_t> starts;
    {
        py::gil_scoped_release unlocked;
        starts = figure::gap_starts(times.data(), static_cast<std::size_t>(times.size()),
                                    kGapIntervals);
    }
    if (starts.empty()) return values;
    py::list after_pos, before_pos;
    for (std::size_t i : starts) {
        after_pos.append(i);
        before_pos.append(i - 1);
    }
    py::object before = index.attr("take")(before_pos);
    py::object after = index.attr("take")(after_pos);
    py::object middle = (before + (after - before) / py::int_(2)).attr("rename")(index.attr("name"));
    py::object breaks = pd.attr("Series")(mod_attr("np").attr("nan"), "index"_a = middle,
                                          "dtype"_a = values.attr("dtype"),
                                          "name"_a = values.attr("name"));
    py::list parts;
    parts.append(values);
    parts.append(breaks);
    return pd.attr("concat")(parts).attr("sort_index")("kind"_a = "mergesort");
}

// What a layout records about a subplot while drawing it.
struct Subplot {
    py::object ax;
    std::optional<double> tick_half_range;  // value ticks were set, spanning twice this
};

namespace detail {

inline figure::Box box_of(py::handle bbox) {
    return {bbox.attr("x0").cast<double>(), bbox.attr("y0").cast<double>(),
            bbox.attr("x1").cast<double>(), bbox.attr("y1").cast<double>()};
}

using Points = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Display coordinates of the points of an artist's data.
inline Points display(py::handle transform, py::handle xy) {
    return Points(transform.attr("transform")(xy));
}

// The data drawn on a subplot (lines, scatter points, stems), on a grid of
// two-point cells.
inline figure::Occupancy occupancy(py::handle ax, const figure::Box& area, double px_per_pt) {
    figure::Occupancy grid(area, 2 * px_per_pt);
    for (py::handle line : ax.attr("lines")) {
        if (!truthy(line.attr("get_visible")())) continue;
        Points xy = display(line.attr("get_transform")(), line.attr("get_xydata")());
        if (xy.ndim() == 2 && xy.shape(1) == 2)
            grid.add_polyline(xy.data(), static_cast<std::size_t>(xy.shape(0)));
    }
    py::object collections = py::module_::import("matplotlib.collections");
    for (py::handle c : ax.attr("collections")) {
        if (!truthy(c.attr("get_visible")())) continue;
        if (py::isinstance(c, collections.attr("LineCollection"))) {
            // stems: one two-point segment each
            Points segments(mod_attr("np").attr("asarray")(c.attr("get_segments")(), "dtype"_a = "float64"));
            if (segments.ndim() != 3 || segments.shape(2) != 2) continue;
            py::object flat = segments.attr("reshape")(-1, 2);
            Points xy = display(c.attr("get_transform")(), flat);
            const std::size_t per = static_cast<std::size_t>(segments.shape(1));
            for (std::size_t k = 0; k + per <= static_cast<std::size_t>(xy.shape(0)); k += per)
                grid.add_polyline(xy.data() + 2 * k, per);
        } else {
            Points xy = display(c.attr("get_offset_transform")(), c.attr("get_offsets")());
            if (xy.ndim() != 2 || xy.shape(1) != 2) continue;
            for (py::ssize_t k = 0; k < xy.shape(0); ++k)
                grid.add_point(xy.at(k, 0), xy.at(k, 1), 2 * px_per_pt);
        }
    }
    return grid;
}

// The earthquake markers of an overlay axes.
inline std::vector<figure::Disc> markers_of(py::handle overlay, double px_per_pt) {
    std::vector<figure::Disc> out;
    for (py::handle c : overlay.attr("collections")) {
        Points xy = display(c.attr("get_offset_transform")(), c.attr("get_offsets")());
        Points sizes(c.attr("get_sizes")());
        const py::ssize_t n_sizes = sizes.size();
        if (xy.ndim() != 2 || xy.shape(1) != 2) continue;
        for (py::ssize_t k = 0; k < xy.shape(0); ++k) {
            const double area = n_sizes ? sizes.data()[k % n_sizes] : 36.0;
            const double r = (std::sqrt(std::max(area, 0.0)) / 2) * px_per_pt;
            out.push_back({xy.at(k, 0), xy.at(k, 1), r});
        }
    }
    return out;
}

struct QuakeLabel {
    py::object text;
    double magnitude;
    figure::Label shape;
};

// The earthquake labels of an overlay, the larger earthquakes first (table
// order on equal magnitude), each with its size and its own marker: the one
// at its anchor.
inline std::vector<QuakeLabel> quake_labels(py::handle overlay, py::handle renderer,
                                            const std::vector<figure::Disc>& markers) {
    std::vector<QuakeLabel> out;
    for (py::handle t : overlay.attr("texts")) {
        if (!py::hasattr(t, kMagnitudeAttr)) continue;
        py::object value = t.attr(kMagnitudeAttr);
        QuakeLabel label{py::reinterpret_borrow<py::object>(t),
                         is_missing(value) ? -1.0 : py::float_(value).cast<double>(), {}};
        label.text.attr("set_horizontalalignment")("center");
        label.text.attr("set_verticalalignment")("center");
        const figure::Box b = box_of(label.text.attr("get_window_extent")(renderer));
        label.shape.width = b.width();
        label.shape.height = b.height();
        py::object xy = label.text.attr("xy");
        py::object anchor = overlay.attr("transData").attr("transform")(py::make_tuple(
            overlay.attr("convert_xunits")(xy[py::int_(0)]),
            overlay.attr("convert_yunits")(xy[py::int_(1)])));
        const double ax_ = anchor[py::int_(0)].cast<double>();
        const double ay = anchor[py::int_(1)].cast<double>();
        double nearest = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < markers.size(); ++i) {
            const double d = std::hypot(markers[i].x - ax_, markers[i].y - ay);
            if (d < nearest) {
                nearest = d;
                label.shape.marker = i;
            }
        }
        out.push_back(std::move(label));
    }
    std::stable_sort(out.begin(), out.end(), [](const QuakeLabel& a, const QuakeLabel& b) {
        return a.magnitude > b.magnitude;
    });
    return out;
}

// Moves a label to its place; one away from its marker is drawn anew with a
// thin line back to the marker's edge. No backing: the data stays visible.
inline void move_label(py::handle overlay, py::object text, const figure::Placed& where,
                       const figure::Disc& marker, double px_per_pt) {
    const double dx = (where.box.cx() - marker.x) / px_per_pt;
    const double dy = (where.box.cy() - marker.y) / px_per_pt;
    const char* lines = where.box.cx() > marker.x + 1 ? "left"
                        : where.box.cx() < marker.x - 1 ? "right" : "center";
    if (!where.leader) {
        text.attr("xyann") = py::make_tuple(dx, dy);
        text.attr("set_multialignment")(lines);
        return;
    }
    py::object color = text.attr("get_color")();
    py::dict line;
    line["arrowstyle"] = "-";
    line["color"] = color;
    line["linewidth"] = 0.5;
    line["alpha"] = 0.8;
    line["shrinkA"] = 0;
    line["shrinkB"] = marker.r / px_per_pt + 1;
    // An invisible frame, so that the line starts at the text's edge.
    py::dict frame;
    frame["boxstyle"] = "square,pad=0.1";
    frame["facecolor"] = "none";
    frame["edgecolor"] = "none";
    py::object joined = overlay.attr("annotate")(
        text.attr("get_text")(), text.attr("xy"), "xytext"_a = py::make_tuple(dx, dy),
        "textcoords"_a = "offset points", "color"_a = color,
        "fontsize"_a = text.attr("get_fontsize")(), "ha"_a = "center", "va"_a = "center",
        "multialignment"_a = lines, "arrowprops"_a = line, "bbox"_a = frame);
    joined.attr(kMagnitudeAttr) = text.attr(kMagnitudeAttr);
    text.attr("remove")();
}

// The key of a subplot: its statistics lines and its earthquakes (the series
// itself is named by the subplot's title), in one row, on the topmost axes.
inline py::object add_key(py::handle ax, py::handle overlay) {
    py::list handles, labels;
    const std::string title = to_text(ax.attr("get_title")());
    auto collect = [&](py::handle axes) {
        py::tuple found = axes.attr("get_legend_handles_labels")();
        py::list hs = found[0], ls = found[1];
        for (std::size_t k = 0; k < py::len(hs); ++k) {
            if (to_text(ls[k]) == title) continue;
            handles.append(hs[k]);
            labels.append(ls[k]);
        }
    };
    collect(ax);
    if (!overlay.is_none()) collect(overlay);
    if (py::len(handles) == 0) return py::none();
    py::handle top = overlay.is_none() ? ax : overlay;
    return top.attr("legend")(handles, labels, "loc"_a = "upper right",
                              "ncols"_a = py::len(handles),
                              "prop"_a = py::module_::import("kelvane.drawkit").attr("legend_font"),
                              "framealpha"_a = 0.8,
                              "borderpad"_a = 0.3, "borderaxespad"_a = 0.3,
                              "handlelength"_a = 1.5, "handletextpad"_a = 0.4,
                              "columnspacing"_a = 1.0);
}

// The key's place: of matplotlib's ten places inside the subplot, the one
// covering the fewest markers and the least data.
inline void place_key(py::object key, py::handle renderer, const figure::Scene& scene) {
    std::vector<figure::Box> boxes;
    for (int code = 1; code <= 10; ++code) {
        key.attr("set_loc")(code);
        boxes.push_back(box_of(key.attr("get_window_extent")(renderer)));
    }
    key.attr("set_loc")(static_cast<int>(figure::least_covering(boxes, scene)) + 1);
}

// Date ticks that name only what changes (ConciseDateFormatter), fewer of
// them while the labels of the bottom subplot would run into each other.
inline void concise_dates(py::handle bottom, py::handle renderer) {
    py::object dates = py::module_::import("matplotlib.dates");
    // Upright labels (a pandas line plot slants them).
    bottom.attr("tick_params")("axis"_a = "x", "labelrotation"_a = 0);
    for (py::handle label : bottom.attr("get_xticklabels")()) label.attr("set_horizontalalignment")("center");
    for (int most = 8; most >= 2; --most) {
        py::object locator = dates.attr("AutoDateLocator")("minticks"_a = std::min(3, most),
                                                           "maxticks"_a = most);
        py::object xaxis = bottom.attr("xaxis");
        xaxis.attr("set_major_locator")(locator);
        xaxis.attr("set_major_formatter")(dates.attr("ConciseDateFormatter")(locator));
        std::vector<figure::Box> boxes;
        for (py::handle label : xaxis.attr("get_majorticklabels")()) {
            if (!truthy(label.attr("get_visible")()) || to_text(label.attr("get_text")()).empty())
                continue;
            boxes.push_back(box_of(label.attr("get_window_extent")(renderer)));
        }
        bool clear = true;
        for (std::size_t i = 0; clear && i < boxes.size(); ++i)
            for (std::size_t j = i + 1; clear && j < boxes.size(); ++j)
                if (boxes[i].overlaps(boxes[j])) clear = false;
        if (clear) return;
    }
}

}  // namespace detail

// Everything a figure needs once its subplots are drawn; `name` is the file
// name it will be saved under (for the message about hidden labels).
inline void finish_figure(py::object fig, const std::vector<Subplot>& subplots, bool show_key,
                          const std::string& name) {
    if (subplots.empty()) return;
    py::object canvas = fig.attr("canvas");
    if (!py::hasattr(canvas, "get_renderer")) return;
    py::object renderer = canvas.attr("get_renderer")();
    const double px_per_pt = py::float_(renderer.attr("points_to_pixels")(1.0)).cast<double>();

    detail::concise_dates(subplots.back().ax, renderer);

    std::vector<double> half_ranges;
    for (const Subplot& s : subplots)
        if (s.tick_half_range) half_ranges.push_back(*s.tick_half_range);
    if (!half_ranges.empty()) {
        py::object ticker = py::module_::import("matplotlib.ticker");
        const std::string format =
            "%." + std::to_string(figure::common_decimals(half_ranges)) + "f";
        for (const Subplot& s : subplots)
            if (s.tick_half_range)
                s.ax.attr("yaxis").attr("set_major_formatter")(
                    ticker.attr("FormatStrFormatter")(format));
    }

    std::size_t hidden = 0;
    for (const Subplot& s : subplots) {
        py::object ax = s.ax;
        py::object overlay = py::hasattr(ax, kOverlayAttr) ? py::object(ax.attr(kOverlayAttr))
                                                           : py::object(py::none());
        figure::Scene scene;
        scene.area = detail::box_of(ax.attr("get_window_extent")(renderer));
        scene.px_per_pt = px_per_pt;
        figure::Occupancy data = detail::occupancy(ax, scene.area, px_per_pt);
        scene.data = &data;
        if (!overlay.is_none()) scene.markers = detail::markers_of(overlay, px_per_pt);
        // the caller's annotations stay readable
        for (py::handle t : ax.attr("texts"))
            if (truthy(t.attr("get_visible")()))
                scene.obstacles.push_back(detail::box_of(t.attr("get_window_extent")(renderer)));
        if (show_key) {
            py::object key = detail::add_key(ax, overlay);
            if (!key.is_none()) {
                detail::place_key(key, renderer, scene);
                scene.obstacles.push_back(detail::box_of(key.attr("get_window_extent")(renderer)));
            }
        }
        if (overlay.is_none()) continue;
        std::vector<detail::QuakeLabel> labels = detail::quake_labels(overlay, renderer, scene.markers);
        std::vector<figure::Label> shapes;
        for (const auto& l : labels) shapes.push_back(l.shape);
        std::vector<figure::Placed> placed;
        {
            py::gil_scoped_release unlocked;
            placed = figure::place_labels(scene, shapes);
        }
        for (std::size_t k = 0; k < labels.size(); ++k) {
            if (!placed[k].shown) {
                labels[k].text.attr("set_visible")(false);
                ++hidden;
                continue;
            }
            detail::move_label(overlay, labels[k].text, placed[k],
                               scene.markers[labels[k].shape.marker], px_per_pt);
        }
    }
    if (hidden > 0)
        log_warning(name + " 中 " + std::to_string(hidden) + " 个地震标注无处放置，未显示");
}

}  // namespace kelvane::tsdraw
