// Decorations of one axes after its series is drawn: title and labels,
// statistics lines, annotations and the earthquake overlay on a second axis;
// and the saving of a finished figure.
#pragma once
#include "tsdraw/common.hpp"

#include <string>

namespace kelvane::tsdraw {

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
                                 kelvane::type_name(props));
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
    ax.attr(kOverlayAttr) = ax2;
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
    // its magnitude, so that the layouts can later place crowded labels
    // (finish_figure) with the larger earthquakes first.
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

inline void save_figure(py::object /*self*/, py::object fig, py::object filename,
                        py::object format, py::object dpi) {
    mod_attr("create_figures_folder")();
    const std::string name = to_text(filename) + "." + to_text(format);
    // Through the package's file writer, so that an interrupted save never
    // leaves half a figure under the final name.
    write_atomically(py::str("./figures/" + name), [&](py::object where) {
        fig.attr("savefig")(where, "dpi"_a = dpi, "bbox_inches"_a = "tight", "format"_a = format);
    });
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
