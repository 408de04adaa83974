// Decorations of one axes after its series is drawn: title and labels,
// statistics lines, annotations and the earthquake overlay on a second axis;
// and the saving of a finished figure.
#pragma once
#include "tsdraw/common.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace kelvane::tsdraw {

// Attribute under which an earthquake label keeps its event's magnitude.
inline constexpr const char* kMagnitudeAttr = "earthquake_magnitude";

// Display label of a unit code.
inline py::object unit_label(py::object unit) {
    if (equals(unit, "ms")) return py::str("$ 10^{-3} $角秒");
    if (equals(unit, "10-10")) return py::str("应变/$ 10^{-10} $");
    if (equals(unit, "10-9")) return py::str("应变/$ 10^{-9} $");
    return unit;
}

inline void setup_axis(py::object /*self*/, py::object ax, py::object title, py::object unit,
                       py::object y_ticks, py::object invert_y, py::object xlabel) {
    ax.attr("set_title")(title, "fontdict"_a = mod_attr("font_title"));
    if (truthy(unit)) ax.attr("set_ylabel")(unit_label(unit), "fontdict"_a = mod_attr("font_unit"));
    if (truthy(y_ticks)) ax.attr("set_yticks")(y_ticks);
    if (truthy(invert_y)) ax.attr("invert_yaxis")();
    ax.attr("set_xlabel")(xlabel, "fontdict"_a = mod_attr("font_xlabel"));
}

inline void add_statistics(py::object self, py::object ax, py::object data, py::object show_mean,
                           py::object show_std, py::object multiplier) {
    if (nothing_to_draw(data)) return;
    py::object stats = mod_attr("calculate_stats")(data, "OBSVALUE", multiplier);
    py::object style = self.attr("stats_style");
    if (truthy(show_mean)) {
        ax.attr("axhline")("y"_a = stats["mean"], "color"_a = style["mean_color"],
                           "linestyle"_a = style["mean_linestyle"],
                           "alpha"_a = style["mean_alpha"],
                           "linewidth"_a = style["mean_linewidth"], "label"_a = "Mean");
    }
    if (truthy(show_std)) {
        const std::string k = to_text(multiplier);
        ax.attr("axhline")("y"_a = stats["upper_limit"], "color"_a = style["std_color"],
                           "linestyle"_a = style["std_linestyle"], "alpha"_a = style["std_alpha"],
                           "linewidth"_a = style["std_linewidth"], "label"_a = "+" + k + "σ");
        ax.attr("axhline")("y"_a = stats["lower_limit"], "color"_a = style["std_color"],
                           "linestyle"_a = style["std_linestyle"], "alpha"_a = style["std_alpha"],
                           "linewidth"_a = style["std_linewidth"], "label"_a = "-" + k + "σ");
    }
}

inline void add_annotations(py::object /*self*/, py::object ax, py::object annotations) {
    if (!truthy(annotations)) return;
    for (py::handle anno : annotations) {
        py::object text = anno["text"];
        py::dict kw;
        kw["xy"] = py::make_tuple(anno["x"], anno["y"]);
        kw["xytext"] = anno.attr("get")("xytext", py::make_tuple(10, 10));
        kw["textcoords"] = anno.attr("get")("textcoords", "offset points");
        py::dict arrow;
        arrow["arrowstyle"] = "->";
        kw["arrowprops"] = anno.attr("get")("arrowprops", arrow);
        py::object props = anno.attr("get")("props", py::dict());
        if (!py::hasattr(props, "keys")) {
            throw py::type_error("annotate() argument after ** must be a mapping, not " +
                                 to_text(py::type::of(props).attr("__name__")));
        }
        for (py::handle key : props.attr("keys")()) {
            if (contains(kw, key)) {
                throw py::type_error("annotate() got multiple values for keyword argument '" +
                                     to_text(key) + "'");
            }
            kw[key] = props[key];
        }
        ax.attr("annotate")(text, **kw);
    }
}

inline void add_secondary_data(py::object /*self*/, py::object ax, py::object secondary_data,
                               py::object color, py::object marker, py::object label,
                               py::object alpha, py::object /*size_multiplier*/) {
    if (is_empty(secondary_data)) return;
    std::string missing;
    py::object columns = secondary_data.attr("columns");
    for (const char* name : {"distance", "magnitude", "size", "text"}) {
        if (!contains(columns, py::str(name))) {
            if (!missing.empty()) missing += ", ";
            missing += name;
        }
    }
    if (!missing.empty()) {
        log_warning("缺少必要列: " + missing);
        return;
    }
    py::object ax2 = ax.attr("twinx")();
    ax.attr("patch").attr("set_visible")(false);
    py::object distance = secondary_data["distance"];
    ax2.attr("scatter")(secondary_data.attr("index"), distance, "color"_a = color,
                        "marker"_a = marker, "label"_a = label, "alpha"_a = alpha,
                        "s"_a = secondary_data["size"]);
    ax2.attr("spines")["right"].attr("set_visible")(true);
    ax2.attr("spines")["right"].attr("set_color")(color);
    ax2.attr("tick_params")("axis"_a = "y", "colors"_a = color);
    ax2.attr("yaxis").attr("label").attr("set_color")(color);
    // A smaller label than the default size keeps it within a short subplot.
    ax2.attr("set_ylabel")("震中距(km)", "fontsize"_a = 9);

    auto builtins = py::module_::import("builtins");
    py::object lower = py::int_(0), upper = py::int_(300);
    if (!is_empty(distance)) {
        lower = builtins.attr("max")(0, distance.attr("min")() - py::int_(50));
        upper = distance.attr("max")() + py::int_(50);
    }
    ax2.attr("set_ylim")(lower, upper);

    // Labels stand 5 points right of and above their marker. Each remembers
    // its magnitude, so that the layouts can later rearrange crowded labels
    // (arrange_earthquake_labels) with the larger earthquakes first.
    for (py::handle pair : secondary_data.attr("iterrows")()) {
        py::object when = pair[py::int_(0)];
        py::object row = pair[py::int_(1)];
        py::object label_text =
            ax2.attr("annotate")(row["text"], py::make_tuple(when, row["distance"]),
                                 "xytext"_a = py::make_tuple(5, 5),
                                 "textcoords"_a = "offset points", "color"_a = color,
                                 "fontsize"_a = 8);
        label_text.attr(kMagnitudeAttr) = row["magnitude"];
    }
}

namespace detail {

struct Box {
    double x0, y0, x1, y1;
    bool overlaps(const Box& o) const {
        return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1;
    }
    bool inside(const Box& o, double slack) const {
        return x0 >= o.x0 - slack && x1 <= o.x1 + slack && y0 >= o.y0 - slack &&
               y1 <= o.y1 + slack;
    }
    bool overlaps_any(const std::vector<Box>& others) const {
        return std::any_of(others.begin(), others.end(),
                           [&](const Box& o) { return overlaps(o); });
    }
};

inline Box box_of(py::handle bbox) {
    return {bbox.attr("x0").cast<double>(), bbox.attr("y0").cast<double>(),
            bbox.attr("x1").cast<double>(), bbox.attr("y1").cast<double>()};
}

struct Placement {
    double dx, dy;  // offset from the marker, in points
    const char* ha;
    const char* va;
    bool leader;  // joined to its marker by a thin line
};

// Offsets tried for a label, nearest first: the four corners beside the
// marker, then positions stepped up and down by half a label height, which
// get a leader line back to the marker.
inline std::vector<Placement> placements(double step) {
    std::vector<Placement> out = {{5, 5, "left", "bottom", false},
                                  {5, -5, "left", "top", false},
                                  {-5, 5, "right", "bottom", false},
                                  {-5, -5, "right", "top", false}};
    for (int k = 1; k <= 4; ++k) {
        const double d = 5 + k * step;
        out.push_back({5, d, "left", "bottom", true});
        out.push_back({5, -d, "left", "top", true});
        out.push_back({-5, d, "right", "bottom", true});
        out.push_back({-5, -d, "right", "top", true});
    }
    return out;
}

// A label's size and its marker's position, in display pixels.
struct LabelShape {
    double width, height, anchor_x, anchor_y, px_per_pt;

    Box at(const Placement& p) const {
        const double x = anchor_x + p.dx * px_per_pt;
        const double y = anchor_y + p.dy * px_per_pt;
        const double x0 = p.ha[0] == 'l' ? x : x - width;
        const double y0 = p.va[0] == 'b' ? y : y - height;
        return {x0, y0, x0 + width, y0 + height};
    }
};

// Measures the label once beside its marker; every other position is the
// same box moved, so it is computed rather than laid out again.
inline LabelShape measure(py::handle text, py::handle renderer, double px_per_pt) {
    text.attr("set_position")(py::make_tuple(5, 5));
    text.attr("set_horizontalalignment")("left");
    text.attr("set_verticalalignment")("bottom");
    const Box b = box_of(text.attr("get_window_extent")(renderer));
    return {b.x1 - b.x0, b.y1 - b.y0, b.x0 - 5 * px_per_pt, b.y0 - 5 * px_per_pt, px_per_pt};
}

// The nearest placement inside `area` and clear of the labels placed so far
// and of the markers; failing that, one that only keeps clear of the labels.
inline std::optional<Placement> free_place(const LabelShape& shape, const Box& area,
                                           const std::vector<Box>& labels,
                                           const std::vector<Box>& markers) {
    const auto options = placements(std::max(4.0, 0.5 * shape.height / shape.px_per_pt));
    for (const bool avoid_markers : {true, false}) {
        for (const Placement& p : options) {
            const Box b = shape.at(p);
            if (!b.inside(area, 1.0) || b.overlaps_any(labels)) continue;
            if (avoid_markers && b.overlaps_any(markers)) continue;
            return p;
        }
    }
    return std::nullopt;
}

// Boxes around the event markers of an axes, in display pixels.
inline std::vector<Box> marker_boxes(py::handle ax, double px_per_pt) {
    std::vector<Box> out;
    for (py::handle markers : ax.attr("collections")) {
        py::object points = markers.attr("get_offset_transform")().attr("transform")(
            markers.attr("get_offsets")());
        py::object sizes = markers.attr("get_sizes")();
        const std::size_t n_sizes = py::len(sizes);
        const std::size_t n_points = py::len(points);
        for (std::size_t i = 0; i < n_points; ++i) {
            py::object xy = points[py::int_(i)];
            const double area_pt2 =
                n_sizes ? py::float_(sizes[py::int_(i % n_sizes)]).cast<double>() : 36.0;
            const double r = (std::sqrt(std::max(area_pt2, 0.0)) / 2 + 1) * px_per_pt;
            const double x = py::float_(xy[py::int_(0)]).cast<double>();
            const double y = py::float_(xy[py::int_(1)]).cast<double>();
            out.push_back({x - r, y - r, x + r, y + r});
        }
    }
    return out;
}

// Moves the label to its placement, on a light backing that keeps it legible
// where it crosses the series; a label moved away from its marker is drawn
// anew with a thin line back to the marker.
inline void place(py::handle ax, py::object text, const Placement& p) {
    py::dict backing;
    backing["boxstyle"] = "square,pad=0.1";
    backing["facecolor"] = "white";
    backing["edgecolor"] = "none";
    backing["alpha"] = 0.6;
    if (!p.leader) {
        text.attr("set_position")(py::make_tuple(p.dx, p.dy));
        text.attr("set_horizontalalignment")(p.ha);
        text.attr("set_verticalalignment")(p.va);
        text.attr("set_bbox")(backing);
        return;
    }
    py::object color = text.attr("get_color")();
    py::dict line;
    line["arrowstyle"] = "-";
    line["color"] = color;
    line["linewidth"] = 0.5;
    line["alpha"] = 0.6;
    line["shrinkA"] = 0;
    line["shrinkB"] = 2;
    py::object joined = ax.attr("annotate")(
        text.attr("get_text")(), text.attr("xy"), "xytext"_a = py::make_tuple(p.dx, p.dy),
        "textcoords"_a = "offset points", "color"_a = color,
        "fontsize"_a = text.attr("get_fontsize")(), "ha"_a = p.ha, "va"_a = p.va,
        "arrowprops"_a = line, "bbox"_a = backing);
    joined.attr(kMagnitudeAttr) = text.attr(kMagnitudeAttr);
    text.attr("remove")();
}

// The earthquake labels of an axes, the larger earthquakes first (table
// order on equal magnitude).
inline std::vector<py::object> labels_by_magnitude(py::handle ax) {
    std::vector<std::pair<double, py::object>> found;
    for (py::handle t : ax.attr("texts")) {
        if (!py::hasattr(t, kMagnitudeAttr)) continue;
        py::object value = t.attr(kMagnitudeAttr);
        const double m = is_missing(value) ? -1 : py::float_(value).cast<double>();
        found.emplace_back(m, py::reinterpret_borrow<py::object>(t));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<py::object> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

}  // namespace detail

// Earthquake labels of a finished figure (limits and layout final): every
// label is moved to the nearest position beside its marker where it stays
// inside its subplot and clear of the labels already placed and of the
// markers, the larger earthquakes first. A label that finds no such position
// is hidden; its marker stays.
inline void arrange_earthquake_labels(py::object fig) {
    py::object canvas = fig.attr("canvas");
    if (!py::hasattr(canvas, "get_renderer")) return;
    py::object renderer = canvas.attr("get_renderer")();
    const double px_per_pt = py::float_(renderer.attr("points_to_pixels")(1.0)).cast<double>();
    for (py::handle ax : fig.attr("axes")) {
        std::vector<py::object> labels = detail::labels_by_magnitude(ax);
        if (labels.empty()) continue;
        const detail::Box area = detail::box_of(ax.attr("get_window_extent")(renderer));
        const std::vector<detail::Box> markers = detail::marker_boxes(ax, px_per_pt);
        std::vector<detail::Box> placed;
        for (py::object& text : labels) {
            const detail::LabelShape shape = detail::measure(text, renderer, px_per_pt);
            std::optional<detail::Placement> p = detail::free_place(shape, area, placed, markers);
            if (!p) {
                text.attr("set_visible")(false);
                continue;
            }
            placed.push_back(shape.at(*p));
            detail::place(ax, text, *p);
        }
    }
}

inline void save_figure(py::object /*self*/, py::object fig, py::object filename,
                        py::object format, py::object dpi) {
    mod_attr("create_figures_folder")();
    const std::string name = to_text(filename) + "." + to_text(format);
    fig.attr("savefig")("./figures/" + name, "dpi"_a = dpi, "bbox_inches"_a = "tight");
    mod_attr("plt").attr("close")(fig);
    // A closed figure is a web of reference cycles (its texts keep the
    // full-resolution raster renderer of the save), which the interpreter
    // reclaims only in its rare full collections: over a long run the closed
    // figures would pile up. Collect now, so that at most the figure still
    // referenced by the caller stays in memory (the layouts keep this cheap,
    // see CallCollection).
    py::module_::import("gc").attr("collect")();
    log_info("Figure " + name + " has been saved to current folder.");
}

}  // namespace kelvane::tsdraw
