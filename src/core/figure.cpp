#include "core/figure.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace kelvane::figure {

double distance(const Box& b, const Disc& d) {
    const double dx = std::max({b.x0 - d.x, 0.0, d.x - b.x1});
    const double dy = std::max({b.y0 - d.y, 0.0, d.y - b.y1});
    return std::max(0.0, std::hypot(dx, dy) - d.r);
}

bool overlaps(const Box& b, const Disc& d) {
    const double dx = std::max({b.x0 - d.x, 0.0, d.x - b.x1});
    const double dy = std::max({b.y0 - d.y, 0.0, d.y - b.y1});
    return dx * dx + dy * dy < d.r * d.r;
}

namespace {

// Parameter range [t0, t1] of the segment within the box (Liang-Barsky).
bool clip(const Segment& s, const Box& b, double& t0, double& t1) {
    const double dx = s.x1 - s.x0, dy = s.y1 - s.y0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {s.x0 - b.x0, b.x1 - s.x0, s.y0 - b.y0, b.y1 - s.y0};
    t0 = 0;
    t1 = 1;
    for (int k = 0; k < 4; ++k) {
        if (p[k] == 0) {
            if (q[k] < 0) return false;
            continue;
        }
        const double t = q[k] / p[k];
        if (p[k] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1) return false;
    }
    return true;
}

double cross(double ax, double ay, double bx, double by) { return ax * by - ay * bx; }

}  // namespace

bool crosses(const Segment& s, const Box& b) {
    double t0, t1;
    if (!clip(s, b, t0, t1)) return false;
    return (t1 - t0) * std::hypot(s.x1 - s.x0, s.y1 - s.y0) > 1e-9;  // more than a touch
}

bool crosses(const Segment& s, const Disc& d) {
    const double dx = s.x1 - s.x0, dy = s.y1 - s.y0;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? ((d.x - s.x0) * dx + (d.y - s.y0) * dy) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const double px = s.x0 + t * dx - d.x, py = s.y0 + t * dy - d.y;
    return px * px + py * py < d.r * d.r;
}

bool crosses(const Segment& a, const Segment& b) {
    const double rx = a.x1 - a.x0, ry = a.y1 - a.y0;
    const double sx = b.x1 - b.x0, sy = b.y1 - b.y0;
    const double denom = cross(rx, ry, sx, sy);
    if (denom == 0) return false;  // parallel: leader lines never run along each other here
    const double t = cross(b.x0 - a.x0, b.y0 - a.y0, sx, sy) / denom;
    const double u = cross(b.x0 - a.x0, b.y0 - a.y0, rx, ry) / denom;
    return t > 0 && t < 1 && u > 0 && u < 1;
}

// ---------------------------------------------------------------------------

Occupancy::Occupancy(const Box& area, double cell)
    : area_(area), cell_(cell > 0 ? cell : 1) {
    nx_ = std::max(1L, static_cast<long>(std::ceil(area.width() / cell_)));
    ny_ = std::max(1L, static_cast<long>(std::ceil(area.height() / cell_)));
    cells_.assign(static_cast<std::size_t>(nx_ * ny_), 0);
}

long Occupancy::cell_x(double x) const {
    return static_cast<long>(std::floor((x - area_.x0) / cell_));
}
long Occupancy::cell_y(double y) const {
    return static_cast<long>(std::floor((y - area_.y0) / cell_));
}

void Occupancy::mark(long i, long j) {
    if (i < 0 || j < 0 || i >= nx_ || j >= ny_) return;
    cells_[static_cast<std::size_t>(j * nx_ + i)] = 1;
    summed_ = false;
}

void Occupancy::mark_segment(double xa, double ya, double xb, double yb) {
    // Steps of half a cell along the segment; a segment wholly outside the
    // area marks nothing.
    const double lo_x = area_.x0 - cell_, hi_x = area_.x1 + cell_;
    const double lo_y = area_.y0 - cell_, hi_y = area_.y1 + cell_;
    if ((xa < lo_x && xb < lo_x) || (xa > hi_x && xb > hi_x) || (ya < lo_y && yb < lo_y) ||
        (ya > hi_y && yb > hi_y))
        return;
    double t0 = 0, t1 = 1;
    if (!clip({xa, ya, xb, yb}, {lo_x, lo_y, hi_x, hi_y}, t0, t1)) return;
    const double dx = xb - xa, dy = yb - ya;
    const double len = std::hypot(dx, dy) * (t1 - t0);
    const long steps = std::max(1L, static_cast<long>(std::ceil(len / (cell_ / 2))));
    for (long k = 0; k <= steps; ++k) {
        const double t = t0 + (t1 - t0) * static_cast<double>(k) / static_cast<double>(steps);
        mark(cell_x(xa + t * dx), cell_y(ya + t * dy));
    }
}

void Occupancy::add_polyline(const double* xy, std::size_t n) {
    bool have_previous = false;
    double px = 0, py = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double x = xy[2 * k], y = xy[2 * k + 1];
        if (!std::isfinite(x) || !std::isfinite(y)) {
            have_previous = false;
            continue;
        }
        if (have_previous)
            mark_segment(px, py, x, y);
        else
            mark(cell_x(x), cell_y(y));
        px = x;
        py = y;
        have_previous = true;
    }
}

void Occupancy::add_point(double x, double y, double radius) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    for (long i = cell_x(x - radius); i <= cell_x(x + radius); ++i)
        for (long j = cell_y(y - radius); j <= cell_y(y + radius); ++j) mark(i, j);
}

void Occupancy::sum() const {
    sums_.assign(static_cast<std::size_t>((nx_ + 1) * (ny_ + 1)), 0);
    for (long j = 0; j < ny_; ++j) {
        for (long i = 0; i < nx_; ++i) {
            const auto at = [&](long a, long b) {
                return static_cast<std::size_t>(b * (nx_ + 1) + a);
            };
            sums_[at(i + 1, j + 1)] = cells_[static_cast<std::size_t>(j * nx_ + i)] +
                                      sums_[at(i, j + 1)] + sums_[at(i + 1, j)] - sums_[at(i, j)];
        }
    }
    summed_ = true;
}

double Occupancy::filled(const Box& b) const {
    if (!summed_) sum();
    const long i0 = std::clamp(cell_x(b.x0), 0L, nx_), i1 = std::clamp(cell_x(b.x1) + 1, 0L, nx_);
    const long j0 = std::clamp(cell_y(b.y0), 0L, ny_), j1 = std::clamp(cell_y(b.y1) + 1, 0L, ny_);
    if (i1 <= i0 || j1 <= j0) return 0;
    const auto at = [&](long a, long c) { return sums_[static_cast<std::size_t>(c * (nx_ + 1) + a)]; };
    const long count = at(i1, j1) - at(i0, j1) - at(i1, j0) + at(i0, j0);
    return static_cast<double>(count) / static_cast<double>((i1 - i0) * (j1 - j0));
}

// ---------------------------------------------------------------------------

namespace {

// Prices, in points: covering the data with a whole label costs as much as
// moving it this far; a leader line as much as this.
constexpr double kDataPrice = 80;
constexpr double kLeaderPrice = 6;
// Farther than this from its marker (in points) a label needs a leader line.
constexpr double kBesideGap = 4;
constexpr double kGap = 2;

struct Candidate {
    Box box;
    double gap;  // box to marker edge, in pixels
};

// Boxes for a label of size w x h around its marker, nearest first: the
// eight places beside the marker (the upper right one first, where labels
// stand by default), then a lattice of places farther away.
std::vector<Candidate> candidates(const Disc& m, double w, double h, const Scene& scene) {
    const double u = scene.px_per_pt;
    const double g = kGap * u;
    const double d = m.r * 0.7071 + g;
    std::vector<Candidate> out;
    const Box beside[8] = {
        {m.x + d, m.y + d, m.x + d + w, m.y + d + h},                        // upper right
        {m.x + d, m.y - d - h, m.x + d + w, m.y - d},                        // lower right
        {m.x - d - w, m.y + d, m.x - d, m.y + d + h},                        // upper left
        {m.x - d - w, m.y - d - h, m.x - d, m.y - d},                        // lower left
        Box::centred(m.x + m.r + g + w / 2, m.y, w, h),                      // right
        Box::centred(m.x - m.r - g - w / 2, m.y, w, h),                      // left
        Box::centred(m.x, m.y + m.r + g + h / 2, w, h),                      // above
        Box::centred(m.x, m.y - m.r - g - h / 2, w, h),                      // below
    };
    for (const Box& b : beside) out.push_back({b, distance(b, m)});
    // Leader lines stay short: a label goes at most this far from its marker.
    const double reach = std::max(w, 3 * h);
    const double sx = std::max(w / 8, 3 * u), sy = std::max(h / 4, 3 * u);
    const long nx = static_cast<long>(std::ceil((reach + w) / sx));
    const long ny = static_cast<long>(std::ceil((reach + h) / sy));
    for (long i = -nx; i <= nx; ++i) {
        for (long j = -ny; j <= ny; ++j) {
            const Box b = Box::centred(m.x + static_cast<double>(i) * sx,
                                       m.y + static_cast<double>(j) * sy, w, h);
            if (!b.inside(scene.area, 1.0)) continue;
            const double gap = distance(b, m);
            if (gap <= reach) out.push_back({b, gap});
        }
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Candidate& a, const Candidate& b) { return a.gap < b.gap; });
    return out;
}

// The leader line of a label: from the edge of its box towards the marker,
// ending at the marker's edge.
Segment leader_of(const Box& b, const Disc& m) {
    const double cx = b.cx(), cy = b.cy();
    const double dx = m.x - cx, dy = m.y - cy;
    const double len = std::hypot(dx, dy);
    if (len == 0) return {cx, cy, cx, cy};
    // leave the box
    double t_box = 1;
    if (dx != 0) t_box = std::min(t_box, (b.width() / 2) / std::abs(dx));
    if (dy != 0) t_box = std::min(t_box, (b.height() / 2) / std::abs(dy));
    const double t_marker = std::max(t_box, 1 - m.r / len);
    return {cx + t_box * dx, cy + t_box * dy, cx + t_marker * dx, cy + t_marker * dy};
}

}  // namespace

std::vector<Placed> place_labels(const Scene& scene, const std::vector<Label>& labels) {
    const double u = scene.px_per_pt;
    std::vector<Placed> out(labels.size());
    std::vector<Box> taken = scene.obstacles;  // placed labels and obstacles
    std::vector<Segment> leaders;
    for (std::size_t k = 0; k < labels.size(); ++k) {
        const Label& label = labels[k];
        if (label.marker >= scene.markers.size()) continue;
        const Disc& own = scene.markers[label.marker];
        double best_cost = std::numeric_limits<double>::infinity();
        std::optional<Placed> best;
        for (const Candidate& c : candidates(own, label.width, label.height, scene)) {
            const double distance_pt = c.gap / u;
            if (distance_pt > best_cost) break;  // nearer ones were all seen
            const Box& b = c.box;
            if (!b.inside(scene.area, 1.0)) continue;
            const bool leader = distance_pt > kBesideGap;
            double cost = distance_pt + (leader ? kLeaderPrice : 0);
            if (scene.data) cost += kDataPrice * scene.data->filled(b);
            if (cost >= best_cost) continue;
            bool clear = true;
            for (std::size_t i = 0; clear && i < scene.markers.size(); ++i) {
                const Disc& m = scene.markers[i];
                if (i == label.marker) {
                    if (overlaps(b, m)) clear = false;
                } else if (leader ? distance(b, m) < kGap * u : distance(b, m) < c.gap - 1e-9) {
                    // beside a marker of another event rather than its own (a
                    // label joined to its marker by a line only keeps clear)
                    clear = false;
                }
            }
            for (const Box& t : taken)
                if (clear && b.overlaps(t)) clear = false;
            for (const Segment& s : leaders)
                if (clear && crosses(s, b)) clear = false;
            if (clear && leader) {
                const Segment line = leader_of(b, own);
                for (std::size_t i = 0; clear && i < scene.markers.size(); ++i)
                    if (i != label.marker && crosses(line, scene.markers[i])) clear = false;
                for (const Box& t : taken)
                    if (clear && crosses(line, t)) clear = false;
                for (const Segment& s : leaders)
                    if (clear && crosses(line, s)) clear = false;
            }
            if (!clear) continue;
            best_cost = cost;
            best = Placed{true, b, leader};
        }
        if (!best) continue;
        out[k] = *best;
        taken.push_back(best->box);
        if (best->leader) leaders.push_back(leader_of(best->box, own));
    }
    return out;
}

std::size_t least_covering(const std::vector<Box>& candidates, const Scene& scene) {
    std::size_t best = 0;
    double best_cost = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const Box& b = candidates[k];
        double cost = scene.data ? scene.data->filled(b) : 0;
        for (const Disc& m : scene.markers)
            if (overlaps(b, m)) cost += 1;
        for (const Box& o : scene.obstacles)
            if (b.overlaps(o)) cost += 1;
        if (cost < best_cost - 1e-12) {
            best_cost = cost;
            best = k;
        }
    }
    return best;
}

std::vector<std::size_t> gap_starts(const std::int64_t* times, std::size_t n, double factor) {
    std::vector<std::size_t> out;
    if (n < 2) return out;
    std::map<std::int64_t, std::size_t> steps;
    for (std::size_t i = 1; i < n; ++i) {
        const std::int64_t d = times[i] - times[i - 1];
        if (d < 0) return out;
        if (d > 0) ++steps[d];
    }
    if (steps.empty()) return out;
    std::int64_t step = 0;
    std::size_t most = 0;
    for (const auto& [d, count] : steps) {
        if (count > most) {
            most = count;
            step = d;
        }
    }
    const double limit = factor * static_cast<double>(step);
    for (std::size_t i = 1; i < n; ++i)
        if (static_cast<double>(times[i] - times[i - 1]) > limit) out.push_back(i);
    return out;
}

int common_decimals(const std::vector<double>& half_ranges) {
    int decimals = -1;
    for (double h : half_ranges) {
        if (!std::isfinite(h)) continue;
        const int need =
            h > 0 ? std::max(0, 1 - static_cast<int>(std::floor(std::log10(h)))) : 1;
        decimals = std::max(decimals, std::min(need, 10));
    }
    return decimals < 0 ? 1 : decimals;
}

std::vector<std::size_t> page_starts(const std::vector<std::size_t>& group_sizes,
                                     std::size_t per_page) {
    std::vector<std::size_t> starts;
    if (per_page == 0) per_page = 1;
    std::size_t row = 0, used = 0;
    for (std::size_t size : group_sizes) {
        if (size == 0) continue;
        if (starts.empty() || (used > 0 && used + size > per_page)) {
            starts.push_back(row);
            used = 0;
        }
        // a group longer than a page runs on over the pages after it
        std::size_t left = size;
        while (used + left > per_page) {
            const std::size_t take = per_page - used;
            row += take;
            left -= take;
            starts.push_back(row);
            used = 0;
        }
        used += left;
        row += left;
    }
    return starts;
}

}  // namespace kelvane::figure
