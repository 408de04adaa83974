#include "core/synth.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <vector>

namespace kelvane::core::synth {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kYearSeconds = 365.2425 * 86400.0;
// 2009-01-01 00:00:00 UTC: the reference time of levels and drifts.
constexpr double kReferenceSeconds = 1230768000.0;
// Local solar time of the stations, roughly Beijing time.
constexpr double kLocalOffsetSeconds = 8.0 * 3600.0;

// Labels of the independent random streams of a series.
enum Stream : std::uint64_t {
    kNoise = 1,
    kSpike,
    kSpikeSign,
    kLow,
    kNull,
    kGap,
    kGapStart,
    kGapLength,
    kNullAll,
    kMissing,
    kWanderFast,
    kWanderSlow,
    kPhase,
    kRain,
    kRainAmount,
};

inline std::uint64_t stream(std::uint64_t key, Stream s) noexcept { return derive(key, static_cast<std::uint64_t>(s)); }

// Tidal constituents M2, S2, N2, K1, O1: period in hours and relative size.
struct Constituent {
    double period_hours;
    double weight;
};
constexpr Constituent kTides[] = {
    {12.4206012, 1.0}, {12.0, 0.465}, {12.65834751, 0.19}, {23.93447213, 0.58}, {25.81933871, 0.41},
};

// Rain falling in the hour starting at `hour_start` (unix seconds).
double hourly_rain(const SeriesKeys& keys, std::int64_t hour_start) noexcept {
    double season = std::sin(kTwoPi * (static_cast<double>(hour_start) - kReferenceSeconds) / kYearSeconds -
                             std::numbers::pi / 2.0 - 0.9);  // wettest in July
    double p = 0.025 * (1.0 + 0.9 * season);
    auto counter = static_cast<std::uint64_t>(hour_start / 3600);
    if (uniform(stream(keys.signal, kRain), counter) >= p) return 0.0;
    double u = uniform(stream(keys.signal, kRainAmount), counter);
    return -std::log1p(-u) * 2.0;  // exponential, mean 2 mm per wet hour
}

void append_number(std::string& out, double value, int decimals) {
    static constexpr double kScale[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    if (decimals < 0 || decimals > 6 || !(std::fabs(value) < 1e12)) {
        char buf[400];
        auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, std::clamp(decimals, 0, 17));
        out.append(buf, static_cast<std::size_t>(res.ptr - buf));
        return;
    }
    // Fixed-point digits of the value rounded to `decimals` places; a value
    // that rounds to zero is written without a sign.
    long long q = std::llround(value * kScale[decimals]);
    unsigned long long u = q < 0 ? 0ull - static_cast<unsigned long long>(q) : static_cast<unsigned long long>(q);
    char buf[32];
    int n = 0;
    for (int i = 0; i < decimals; ++i) {
        buf[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    }
    if (decimals) buf[n++] = '.';
    do {
        buf[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    if (q < 0) buf[n++] = '-';
    while (n) out.push_back(buf[--n]);
}

}  // namespace

// ---- random numbers -----------------------------------------------------------

std::uint64_t mix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t derive(std::uint64_t key, std::string_view label) noexcept {
    std::uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
    for (unsigned char c : label) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    return mix64(key ^ mix64(h));
}

std::uint64_t derive(std::uint64_t key, std::uint64_t label) noexcept { return mix64(key ^ mix64(label ^ 0x5851F42D4C957F2Dull)); }

double uniform(std::uint64_t key, std::uint64_t counter) noexcept {
    std::uint64_t bits = mix64(key ^ mix64(counter));
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

double normal(std::uint64_t key, std::uint64_t counter) noexcept {
    // Sum of four uniforms from the 16-bit quarters of one draw (Irwin-Hall),
    // scaled to unit variance: close enough to normal for noise, and cheap.
    std::uint64_t bits = mix64(key ^ mix64(counter));
    double sum = static_cast<double>((bits & 0xFFFF) + ((bits >> 16) & 0xFFFF) + ((bits >> 32) & 0xFFFF) + (bits >> 48));
    return (sum / 65536.0 - 2.0) * 1.7320508075688772;
}

// ---- calendar -------------------------------------------------------------------

std::int64_t days_from_civil(int year, int month, int day) noexcept {
    std::int64_t y = year - (month <= 2 ? 1 : 0);
    std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    std::int64_t yoe = y - era * 400;
    std::int64_t mp = (month + 9) % 12;
    std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t days, int& year, int& month, int& day) noexcept {
    std::int64_t z = days + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

std::string compact_date(std::int64_t days) {
    int y, m, d;
    civil_from_days(days, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    return buf;
}

bool valid_date(int year, int month, int day) noexcept {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= last;
}

bool unix_seconds_from_julian(double julian, std::int64_t& seconds) noexcept {
    if (!std::isfinite(julian)) return false;
    double s = std::round((julian - kUnixEpochJulianDay) * 86400.0);
    static const double lo = static_cast<double>(days_from_civil(1, 1, 1)) * 86400.0;
    static const double hi = static_cast<double>(days_from_civil(10000, 1, 1)) * 86400.0;
    if (s < lo || s >= hi) return false;
    seconds = static_cast<std::int64_t>(s);
    return true;
}

bool parse_masked_date(std::string_view text, std::string_view mask, std::int64_t& unix_seconds) {
    int year = -1, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    std::size_t ti = 0, mi = 0;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    auto mask_starts = [&](std::string_view field) {
        if (mask.size() - mi < field.size()) return false;
        for (std::size_t k = 0; k < field.size(); ++k)
            if (lower(mask[mi + k]) != field[k]) return false;
        return true;
    };
    // Up to `width` digits, at least one.
    auto digits = [&](int width, int& value) {
        int n = 0;
        value = 0;
        while (n < width && ti < text.size() && text[ti] >= '0' && text[ti] <= '9') {
            value = value * 10 + (text[ti] - '0');
            ++ti;
            ++n;
        }
        return n > 0;
    };
    while (mi < mask.size()) {
        bool ok = true;
        if (mask_starts("yyyy")) {
            ok = digits(4, year);
            mi += 4;
        } else if (mask_starts("hh24")) {
            ok = digits(2, hour);
            mi += 4;
        } else if (mask_starts("mm")) {
            ok = digits(2, month);
            mi += 2;
        } else if (mask_starts("dd")) {
            ok = digits(2, day);
            mi += 2;
        } else if (mask_starts("mi")) {
            ok = digits(2, minute);
            mi += 2;
        } else if (mask_starts("ss")) {
            ok = digits(2, second);
            mi += 2;
        } else {
            char m = mask[mi];
            if ((m >= 'a' && m <= 'z') || (m >= 'A' && m <= 'Z')) return false;  // unsupported field
            ok = ti < text.size() && text[ti] == m;
            ++ti;
            ++mi;
        }
        if (!ok) return false;
    }
    if (ti != text.size() || year < 0) return false;
    if (!valid_date(year, month, day) || hour > 23 || minute > 59 || second > 59) return false;
    unix_seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

// ---- models -----------------------------------------------------------------------

SeriesModel model_for(Kind kind, std::uint64_t key) {
    auto u = [&](std::uint64_t label) { return uniform(key, label); };
    auto sym = [&](std::uint64_t label) { return 2.0 * u(label) - 1.0; };
    SeriesModel m;
    m.kind = kind;
    m.annual_phase = kTwoPi * u(11);
    m.daily_phase = kTwoPi * u(12);
    m.null_rate = 2e-4;
    m.gap_rate = 0.01;
    m.nullall_rate = 0.004;
    m.missing_rate = 0.003;
    switch (kind) {
        case Kind::WaterLevel:
            m.base = 3.0 + 25.0 * u(1);
            m.drift_per_year = 0.08 * sym(2);
            m.annual_amplitude = 0.15 + 0.35 * u(3);
            m.tide_amplitude = 0.01 + 0.03 * u(4);
            m.wander = 0.04;
            m.noise = 0.0008;
            m.spike_rate = 0.05;
            m.spike_size = 0.05;
            m.decimals = 4;
            break;
        case Kind::WaterTemperature:
            m.base = 12.0 + 14.0 * u(1);
            m.drift_per_year = 0.004 * sym(2);
            m.annual_amplitude = 0.002;
            m.tide_amplitude = 0.0006;
            m.wander = 0.002;
            m.noise = 0.0002;
            m.spike_rate = 0.01;
            m.spike_size = 0.01;
            m.decimals = 4;
            break;
        case Kind::Resistivity:
            m.base = 20.0 + 60.0 * u(1);
            m.drift_per_year = -0.004 * m.base * u(2);
            m.annual_amplitude = m.base * (0.005 + 0.015 * u(3));
            m.daily_amplitude = m.base * 0.0005;
            m.wander = m.base * 0.002;
            m.noise = m.base * 0.0008;
            m.spike_rate = 0.02;
            m.spike_size = m.base * 0.02;
            m.low_reading_rate = 0.002;
            m.decimals = 3;
            break;
        case Kind::SupplyCurrent:
            m.base = 800.0 + 700.0 * u(1);
            m.annual_amplitude = 5.0;
            m.wander = 2.0;
            m.noise = 0.3;
            m.decimals = 2;
            break;
        case Kind::ElectricField:
            m.base = 60.0 * sym(1);
            m.drift_per_year = 3.0 * sym(2);
            m.daily_amplitude = 1.5 + 2.0 * u(3);
            m.tide_amplitude = 0.3;
            m.wander = 1.0;
            m.noise = 0.15;
            m.spike_rate = 0.02;
            m.spike_size = 8.0;
            m.decimals = 3;
            break;
        case Kind::Geomagnetic:
            m.base = 30000.0 + 8000.0 * u(1);
            m.drift_per_year = 20.0 * sym(2);
            m.daily_amplitude = 15.0 + 20.0 * u(3);
            m.wander = 6.0;
            m.noise = 0.08;
            m.spike_rate = 0.005;
            m.spike_size = 40.0;
            m.decimals = 2;
            break;
        case Kind::Declination:
            m.base = -60.0 - 180.0 * u(1);
            m.drift_per_year = -2.0 * u(2);
            m.daily_amplitude = 1.5;
            m.wander = 0.3;
            m.noise = 0.01;
            m.decimals = 3;
            break;
        case Kind::InstrumentTemp:
            m.base = 15.0 + 10.0 * u(1);
            m.annual_amplitude = 3.0;
            m.daily_amplitude = 0.4;
            m.wander = 0.2;
            m.noise = 0.005;
            m.decimals = 2;
            break;
        case Kind::Tilt:
            m.base = 400.0 * sym(1);
            m.drift_per_year = 25.0 * sym(2);
            m.annual_amplitude = 8.0 + 12.0 * u(3);
            m.daily_amplitude = 2.0 + 3.0 * u(4);
            m.tide_amplitude = 10.0 + 15.0 * u(5);
            m.wander = 2.0;
            m.noise = 0.05;
            m.spike_rate = 0.03;
            m.spike_size = 15.0;
            m.decimals = 3;
            break;
        case Kind::Strain:
            m.base = 5000.0 * sym(1);
            m.drift_per_year = 600.0 * sym(2);
            m.annual_amplitude = 40.0 + 60.0 * u(3);
            m.daily_amplitude = 5.0;
            m.tide_amplitude = 60.0 + 60.0 * u(4);
            m.wander = 12.0;
            m.noise = 0.4;
            m.spike_rate = 0.03;
            m.spike_size = 120.0;
            m.decimals = 2;
            break;
        case Kind::Pressure:
            m.base = 1000.0 + 15.0 * u(1);
            m.annual_amplitude = 11.0;
            m.annual_phase = std::numbers::pi / 2.0;  // high in winter
            m.daily_amplitude = 1.2;
            m.wander = 4.0;
            m.noise = 0.05;
            m.decimals = 1;
            break;
        case Kind::AirTemperature:
            m.base = 10.0 + 8.0 * u(1);
            m.annual_amplitude = 13.0;
            m.annual_phase = -std::numbers::pi / 2.0 - 0.4;  // warm in July
            m.daily_amplitude = 5.0;
            m.wander = 2.0;
            m.noise = 0.1;
            m.decimals = 1;
            break;
        case Kind::Rainfall:
            m.decimals = 1;
            m.null_rate = 0;
            break;
    }
    return m;
}

DayState day_state(const SeriesModel& model, const SeriesKeys& keys, std::int64_t day) noexcept {
    auto counter = static_cast<std::uint64_t>(day);
    if (uniform(stream(keys.signal, kMissing), counter) < model.missing_rate) return DayState::Missing;
    if (uniform(stream(keys.signal, kNullAll), counter) < model.nullall_rate) return DayState::NullAll;
    return DayState::Present;
}

namespace {

// The smooth part of a series, with the per-series constants worked out once
// and the wander knots cached while consecutive times share them.
class Signal {
public:
    Signal(const SeriesModel& m, const SeriesKeys& keys) : m_(m) {
        std::uint64_t pk = stream(keys.signal, kPhase);
        for (std::size_t i = 0; i < kConstituents; ++i) {
            omega_[i] = kTwoPi / (kTides[i].period_hours * 3600.0);
            phase_[i] = kTwoPi * uniform(pk, i);
        }
        fast_.key = stream(keys.signal, kWanderFast);
        fast_.step = 6.0 * 3600.0;
        slow_.key = stream(keys.signal, kWanderSlow);
        slow_.step = 30.0 * 86400.0;
    }

    double operator()(double t) {
        double v;
        fill(t, 1.0, 1, &v);
        return v;
    }

    // Values at t0 + k * dt, k = 0 .. n-1. The periodic terms advance by
    // rotation, restarted from exact values every block of steps.
    void fill(double t0, double dt, int n, double* out) {
        constexpr int kBlock = 256;
        for (int k0 = 0; k0 < n; k0 += kBlock) {
            const int kn = std::min(n, k0 + kBlock);
            const double tb = t0 + dt * k0;
            Rotor annual(kTwoPi * (tb - kReferenceSeconds) / kYearSeconds + m_.annual_phase, kTwoPi * dt / kYearSeconds);
            Rotor daily(kTwoPi * std::fmod(tb + kLocalOffsetSeconds, 86400.0) / 86400.0 + m_.daily_phase,
                        kTwoPi * dt / 86400.0);
            Rotor tides[kConstituents];
            if (m_.tide_amplitude != 0)
                for (std::size_t i = 0; i < kConstituents; ++i)
                    tides[i] = Rotor(omega_[i] * tb + phase_[i], omega_[i] * dt);
            for (int k = k0; k < kn; ++k) {
                const double t = t0 + dt * k;
                double v = m_.base + m_.drift_per_year * (t - kReferenceSeconds) / kYearSeconds;
                if (m_.annual_amplitude != 0) v += m_.annual_amplitude * annual.s;
                if (m_.daily_amplitude != 0) v += m_.daily_amplitude * daily.s;
                if (m_.tide_amplitude != 0) {
                    double tide = 0;
                    for (std::size_t i = 0; i < kConstituents; ++i) {
                        tide += kTides[i].weight * tides[i].c;
                        tides[i].step();
                    }
                    v += m_.tide_amplitude * tide;
                }
                if (m_.wander != 0) v += m_.wander * (0.3 * fast_(t) + slow_(t));
                annual.step();
                daily.step();
                out[k] = v;
            }
        }
    }

private:
    static constexpr std::size_t kConstituents = sizeof kTides / sizeof kTides[0];

    // cos and sin of an angle that advances by a fixed step.
    struct Rotor {
        double c = 1, s = 0, dc = 1, ds = 0;
        Rotor() = default;
        Rotor(double angle, double step) : c(std::cos(angle)), s(std::sin(angle)), dc(std::cos(step)), ds(std::sin(step)) {}
        void step() {
            double nc = c * dc - s * ds;
            s = s * dc + c * ds;
            c = nc;
        }
    };

    // Normal values at knots `step` seconds apart joined by cosine interpolation.
    struct Wander {
        std::uint64_t key = 0;
        double step = 1;
        double knot = std::numeric_limits<double>::quiet_NaN();
        double a = 0, b = 0;
        double operator()(double t) {
            double x = t / step;
            double k = std::floor(x);
            if (k != knot) {
                knot = k;
                auto c = static_cast<std::uint64_t>(static_cast<std::int64_t>(k));
                a = normal(key, c);
                b = normal(key, c + 1);
            }
            double f = x - k;
            return a + (b - a) * f * f * (3.0 - 2.0 * f);  // smoothstep
        }
    };

    const SeriesModel& m_;
    double omega_[kConstituents];
    double phase_[kConstituents];
    Wander fast_, slow_;
};

}  // namespace

void append_day(std::string& out, const SeriesModel& m, const SeriesKeys& keys, std::int64_t day, int interval) {
    if (interval <= 0 || 86400 % interval != 0) return;
    if (day_state(m, keys, day) != DayState::Present) return;
    const std::int64_t day_start = day * 86400;
    const int count = 86400 / interval;
    const auto dcounter = static_cast<std::uint64_t>(day);

    // A gap of a few hours, shared by every rate of the series.
    std::int64_t gap_from = -1, gap_to = -1;
    if (uniform(stream(keys.signal, kGap), dcounter) < m.gap_rate) {
        gap_from = 3600 * static_cast<std::int64_t>(22.0 * uniform(stream(keys.signal, kGapStart), dcounter));
        gap_to = gap_from + 3600 * (1 + static_cast<std::int64_t>(6.0 * uniform(stream(keys.signal, kGapLength), dcounter)));
    }
    const std::uint64_t knoise = stream(keys.sample, kNoise);
    const std::uint64_t kspike = stream(keys.sample, kSpike);
    const std::uint64_t ksign = stream(keys.sample, kSpikeSign);
    const std::uint64_t klow = stream(keys.sample, kLow);
    const std::uint64_t knull = stream(keys.sample, kNull);
    // Event rates are per hour of record, whatever the sample interval.
    const double per_sample = std::min(1.0, static_cast<double>(interval) / 3600.0);
    Signal signal(m, keys);

    out.reserve(out.size() + static_cast<std::size_t>(count) * (static_cast<std::size_t>(m.decimals) + 7));

    if (interval == 86400) {
        // Daily mean (or daily total for rainfall) of the hourly signal.
        double v = 0;
        if (m.kind == Kind::Rainfall) {
            for (int h = 0; h < 24; ++h) v += hourly_rain(keys, day_start + 3600 * h);
        } else {
            double hourly[24];
            signal.fill(static_cast<double>(day_start), 3600.0, 24, hourly);
            for (double h : hourly) v += h;
            v = v / 24.0 + 0.2 * m.noise * normal(knoise, static_cast<std::uint64_t>(day_start));
        }
        if (uniform(knull, static_cast<std::uint64_t>(day_start)) < m.null_rate * 24.0)
            out.append("NULL");
        else
            append_number(out, v, m.decimals);
        return;
    }

    // The smooth signal at every sample, or at minute knots for faster rates.
    const bool interpolate = interval < 60;
    std::vector<double> smooth;
    if (m.kind != Kind::Rainfall) {
        if (interpolate) {
            smooth.resize(1441);
            signal.fill(static_cast<double>(day_start), 60.0, 1441, smooth.data());
        } else {
            smooth.resize(static_cast<std::size_t>(count));
            signal.fill(static_cast<double>(day_start), static_cast<double>(interval), count, smooth.data());
        }
    }
    for (int k = 0; k < count; ++k) {
        if (k) out.push_back(' ');
        const std::int64_t offset = static_cast<std::int64_t>(k) * interval;
        const std::int64_t t = day_start + offset;
        const auto counter = static_cast<std::uint64_t>(t);
        if ((offset >= gap_from && offset < gap_to) || uniform(knull, counter) < m.null_rate) {
            out.append("NULL");
            continue;
        }
        double v;
        if (m.kind == Kind::Rainfall) {
            std::int64_t hour_start = t - (t % 3600);
            v = hourly_rain(keys, hour_start) * static_cast<double>(interval) / 3600.0;
        } else {
            if (interpolate) {
                auto j = static_cast<std::size_t>(offset / 60);
                v = smooth[j] + (smooth[j + 1] - smooth[j]) * static_cast<double>(offset % 60) / 60.0;
            } else {
                v = smooth[static_cast<std::size_t>(k)];
            }
            v += m.noise * normal(knoise, counter);
            if (m.spike_rate > 0 && uniform(kspike, counter) < m.spike_rate * per_sample)
                v += (uniform(ksign, counter) < 0.5 ? -1.0 : 1.0) * m.spike_size *
                     (1.0 + uniform(ksign, counter + 1));
            if (m.low_reading_rate > 0 && uniform(klow, counter) < m.low_reading_rate * per_sample)
                v = 7.9 * uniform(klow, counter + 1);
        }
        append_number(out, v, m.decimals);
    }
}

std::string day_text(const SeriesModel& model, const SeriesKeys& keys, std::int64_t day, int interval_seconds) {
    switch (day_state(model, keys, day)) {
        case DayState::Missing:
            return {};
        case DayState::NullAll:
            return "NULLALL";
        case DayState::Present:
            break;
    }
    std::string out;
    append_day(out, model, keys, day, interval_seconds);
    return out;
}

}  // namespace kelvane::core::synth
