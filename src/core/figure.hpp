// Geometry of a finished figure, in display pixels (y upwards), with no
// drawing library involved: where the earthquake labels and the key of a
// subplot go, where a series line breaks at a gap, and how many decimals the
// value ticks of a figure show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelvane::figure {

struct Box {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    double width() const { return x1 - x0; }
    double height() const { return y1 - y0; }
    double cx() const { return (x0 + x1) / 2; }
    double cy() const { return (y0 + y1) / 2; }
    // Interiors meet (boxes that only touch do not overlap).
    bool overlaps(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
    bool inside(const Box& area, double slack) const {
        return x0 >= area.x0 - slack && x1 <= area.x1 + slack && y0 >= area.y0 - slack &&
               y1 <= area.y1 + slack;
    }
    static Box centred(double cx, double cy, double w, double h) {
        return {cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2};
    }
};

// An earthquake marker: a disc around its centre.
struct Disc {
    double x = 0, y = 0, r = 0;
};

struct Segment {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Shortest distance from a box to a disc's edge (0 when they meet).
double distance(const Box& b, const Disc& d);
bool overlaps(const Box& b, const Disc& d);
bool crosses(const Segment& s, const Box& b);
bool crosses(const Segment& s, const Disc& d);
bool crosses(const Segment& a, const Segment& b);

// Which cells of a grid over an area the drawn data passes through (lines
// and points), to tell how much of a box the data fills.
class Occupancy {
public:
    Occupancy(const Box& area, double cell);
    // A polyline of n points (x0, y0, x1, y1, ...); a NaN coordinate breaks it.
    void add_polyline(const double* xy, std::size_t n);
    void add_point(double x, double y, double radius);
    // Share (0..1) of the box's cells that the data passes through.
    double filled(const Box& b) const;

private:
    void mark(long i, long j);
    void mark_segment(double xa, double ya, double xb, double yb);
    void sum() const;
    long cell_x(double x) const;
    long cell_y(double y) const;

    Box area_;
    double cell_;
    long nx_, ny_;
    std::vector<unsigned char> cells_;
    mutable std::vector<long> sums_;  // prefix sums, (nx+1) x (ny+1)
    mutable bool summed_ = false;
};

// One earthquake label: its text's size and its own marker.
struct Label {
    double width = 0, height = 0;
    std::size_t marker = 0;
};

struct Placed {
    bool shown = false;
    Box box;
    bool leader = false;  // joined to its marker by a line
};

// What a subplot holds for label placement.
struct Scene {
    Box area;                       // the subplot
    std::vector<Disc> markers;      // every earthquake marker
    std::vector<Box> obstacles;     // boxes labels keep clear of (the key)
    const Occupancy* data = nullptr;  // the drawn data, avoided where possible
    double px_per_pt = 1;
};

// Places the labels in the order given (the most important first). A label
// is shown only where its box stays inside the subplot, clear of every
// marker, of the labels and leader lines placed before it and of the
// obstacles. A label beside its marker lies no nearer to another marker than
// to its own; a label moved farther gets a leader line to its marker that
// crosses no other marker, label or leader. Among such positions the one
// nearest its marker wins, with a price for covering data and for a leader
// line. A label with no such position is not shown.
std::vector<Placed> place_labels(const Scene& scene, const std::vector<Label>& labels);

// Of the candidate boxes of a key, the first one that covers the least:
// markers weigh most, then earthquake labels' anchor areas, then the data.
std::size_t least_covering(const std::vector<Box>& candidates, const Scene& scene);

// Positions i (1..n-1) where a series of n ascending times (any unit) has a
// gap longer than `factor` times its sample interval, the most frequent
// positive step (the smaller one on a tie). Nothing for times that are not
// ascending or have no positive step.
std::vector<std::size_t> gap_starts(const std::int64_t* times, std::size_t n, double factor);

// Decimals that show the half range of every subplot's value ticks with two
// significant digits; the largest such count serves the whole figure. A
// subplot whose ticks span nothing asks for one decimal.
int common_decimals(const std::vector<double>& half_ranges);

// Pages of at most `per_page` rows for consecutive groups of rows (the
// sizes given in order): a group starts a new page when it does not fit in
// what is left of the current one; a group longer than a page runs on over
// as many pages as it needs. Returns the first row of every page.
std::vector<std::size_t> page_starts(const std::vector<std::size_t>& group_sizes,
                                     std::size_t per_page);

}  // namespace kelvane::figure
