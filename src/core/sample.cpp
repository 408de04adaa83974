#include "core/sample.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace kelvane::core::sample {

using synth::Kind;

const std::vector<Method>& methods() {
    static const std::vector<Method> all = {
        {"212", "水管倾斜"},         {"241", "四分量钻孔应变"}, {"312", "磁通门磁力仪"},
        {"321", "直流单装置地电阻率"}, {"331", "地电场"},         {"411", "静水位"},
        {"412", "动水位"},           {"417", "气象三要素"},     {"421", "水温"},
    };
    return all;
}

const std::vector<Item>& items() {
    static const std::vector<Item> all = {
        {"2121", "NS向倾斜", "ms", Kind::Tilt},
        {"2122", "EW向倾斜", "ms", Kind::Tilt},
        {"2411", "NS向应变", "10-10", Kind::Strain},
        {"2412", "EW向应变", "10-10", Kind::Strain},
        {"3121", "地磁偏角D", "′", Kind::Declination},
        {"3122", "水平分量H", "nT", Kind::Geomagnetic},
        {"3123", "垂直分量Z", "nT", Kind::Geomagnetic},
        {"3128", "磁通门仪器温度", "℃", Kind::InstrumentTemp},
        {"3211", "NS向地电阻率", "Ω·m", Kind::Resistivity},
        {"3212", "EW向地电阻率", "Ω·m", Kind::Resistivity},
        {"3215", "NS向供电电流", "mA", Kind::SupplyCurrent},
        {"3216", "EW向供电电流", "mA", Kind::SupplyCurrent},
        {"3311", "NS向地电场", "mV/km", Kind::ElectricField},
        {"3312", "EW向地电场", "mV/km", Kind::ElectricField},
        {"4112", "静水位", "m", Kind::WaterLevel},
        {"4121", "动水位", "m", Kind::WaterLevel},
        {"4172", "气压", "hPa", Kind::Pressure},
        {"4173", "降雨量", "mm", Kind::Rainfall},
        {"4211", "水温", "℃", Kind::WaterTemperature},
    };
    return all;
}

const Item* find_item(const std::string& id) {
    for (const auto& item : items())
        if (item.id == id) return &item;
    return nullptr;
}

const std::vector<Station>& builtin_stations() {
    static const std::vector<Station> all = {
        {"370082", "泰安地电台", 117.12, 36.19,
         {{"1", "地电阻率测区", {"3211", "3212", "3215", "3216"}, false},
          {"2", "地电场测区", {"3311", "3312"}, false}}},
        {"37005", "郯城马陵山台", 118.36, 34.62,
         {{"1", "1号观测井", {"4112", "4211"}, false}, {"3", "气象观测场", {"4172", "4173"}, false}}},
        {"13024", "唐山台", 118.17, 39.62,
         {{"1", "1号观测井", {"4112", "4211"}, false}, {"2", "2号观测井", {"4121"}, false}}},
        {"12001", "宝坻台", 117.30, 39.72, {{"1", "山洞水管倾斜仪", {"2121", "2122"}, true}}},
        {"32007", "江宁台", 118.82, 31.95, {{"1", "钻孔应变仪", {"2411", "2412"}, true}}},
        {"51004", "姑咱台", 102.17, 30.12, {{"1", "磁通门磁力仪", {"3121", "3122", "3123", "3128"}, true}}},
    };
    return all;
}

namespace {

struct Province {
    const char* code;
    const char* name;
    double longitude;
    double latitude;
};

constexpr Province kProvinces[] = {
    {"11", "北京", 116.4, 40.0},  {"13", "河北", 115.5, 38.5},  {"14", "山西", 112.5, 37.7},
    {"15", "内蒙古", 111.7, 40.8}, {"21", "辽宁", 123.4, 41.8},  {"22", "吉林", 125.3, 43.9},
    {"31", "上海", 121.4, 31.2},  {"32", "江苏", 119.0, 32.5},  {"33", "浙江", 120.2, 29.5},
    {"34", "安徽", 117.3, 31.9},  {"35", "福建", 118.3, 26.1},  {"36", "江西", 115.9, 28.7},
    {"37", "山东", 117.5, 36.4},  {"41", "河南", 113.6, 34.8},  {"42", "湖北", 114.3, 30.6},
    {"43", "湖南", 112.9, 28.2},  {"44", "广东", 113.3, 23.1},  {"45", "广西", 108.3, 22.8},
    {"50", "重庆", 106.5, 29.6},  {"51", "四川", 104.1, 30.7},  {"52", "贵州", 106.7, 26.6},
    {"53", "云南", 102.7, 25.0},  {"61", "陕西", 108.9, 34.3},  {"62", "甘肃", 103.8, 36.1},
    {"63", "青海", 101.8, 36.6},  {"64", "宁夏", 106.3, 38.5},  {"65", "新疆", 87.6, 43.8},
};

struct Place {
    const char* name;
    double longitude;
    double latitude;
};

// Epicentre names: the nearest of these places names an event.
constexpr Place kPlaces[] = {
    {"山东郯城", 118.35, 34.61},   {"江苏新沂", 118.35, 34.37},   {"山东临沂", 118.35, 35.10},
    {"山东莒南", 118.83, 35.18},   {"江苏东海", 118.77, 34.54},   {"山东泰安", 117.09, 36.20},
    {"山东平邑", 117.64, 35.51},   {"山东长清", 116.73, 36.55},   {"山东乳山", 121.54, 36.92},
    {"黄海海域", 122.50, 34.50},   {"河北唐山", 118.18, 39.63},   {"河北滦县", 118.70, 39.74},
    {"河北迁安", 118.70, 40.00},   {"天津宝坻", 117.31, 39.72},   {"天津宁河", 117.83, 39.33},
    {"北京平谷", 117.12, 40.14},   {"河北昌黎", 119.16, 39.71},   {"渤海海域", 119.80, 38.70},
    {"江苏南京", 118.80, 32.06},   {"江苏溧阳", 119.48, 31.42},   {"安徽庐江", 117.29, 31.26},
    {"安徽巢湖", 117.87, 31.60},   {"江苏高邮", 119.45, 32.78},   {"南黄海", 121.80, 33.20},
    {"四川康定", 101.96, 30.05},   {"四川泸定", 102.23, 29.91},   {"四川汶川", 103.59, 31.48},
    {"四川芦山", 102.93, 30.15},   {"四川石棉", 102.36, 29.23},   {"四川九寨沟", 103.82, 33.20},
    {"四川理塘", 100.27, 29.99},   {"云南大理", 100.23, 25.59},   {"云南景谷", 100.70, 23.50},
    {"甘肃岷县", 104.04, 34.44},   {"青海玛多", 98.21, 34.92},    {"新疆于田", 81.67, 36.86},
    {"新疆伽师", 76.74, 39.49},    {"西藏定日", 87.12, 28.66},    {"西藏墨脱", 95.33, 29.33},
    {"内蒙古阿拉善左旗", 105.67, 38.83}, {"台湾花莲海域", 121.90, 23.80}, {"广东阳江", 111.98, 21.86},
    {"辽宁海城", 122.72, 40.85},   {"吉林松原", 124.82, 45.14},   {"宁夏银川", 106.23, 38.49},
    {"山西大同", 113.30, 40.08},   {"河南太康", 114.85, 34.06},   {"湖北秭归", 110.98, 30.83},
};

double haversine_km(double lat1, double lon1, double lat2, double lon2) noexcept {
    constexpr double d2r = std::numbers::pi / 180.0;
    double dlat = (lat2 - lat1) * d2r, dlon = (lon2 - lon1) * d2r;
    double a = std::sin(dlat / 2) * std::sin(dlat / 2) +
               std::cos(lat1 * d2r) * std::cos(lat2 * d2r) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 2.0 * 6371.0 * std::asin(std::min(1.0, std::sqrt(a)));
}

std::string nearest_place(double lat, double lon) {
    const Place* best = &kPlaces[0];
    double best_d = 1e300;
    for (const auto& p : kPlaces) {
        double d = haversine_km(lat, lon, p.latitude, p.longitude);
        if (d < best_d) {
            best_d = d;
            best = &p;
        }
    }
    return best->name;
}

// The key of a series, from the seed and what it is.
synth::SeriesKeys series_keys(std::uint64_t seed, const std::string& station, const std::string& point,
                              const std::string& item, const std::string& library) {
    synth::SeriesKeys keys;
    std::uint64_t root = synth::derive(synth::mix64(seed), "kelvane-sample");
    keys.signal = synth::derive(synth::derive(synth::derive(root, station), point), item);
    keys.sample = synth::derive(keys.signal, library);
    return keys;
}

}  // namespace

std::vector<Station> extra_stations(std::size_t count, std::uint64_t seed) {
    std::vector<Station> out;
    std::uint64_t key = synth::derive(synth::mix64(seed), "extra-stations");
    constexpr std::size_t nprov = sizeof kProvinces / sizeof kProvinces[0];
    for (std::size_t i = 0; i < count; ++i) {
        const Province& p = kProvinces[i % nprov];
        std::size_t serial = 101 + i / nprov;  // ids PP1nn, clear of the built-in ones
        char id[32];
        std::snprintf(id, sizeof id, "%s%03zu", p.code, serial);
        char name[96];
        std::snprintf(name, sizeof name, "%s%zu号井", p.name, i / nprov + 1);
        Station s;
        s.id = id;
        s.name = name;
        s.longitude = std::round((p.longitude + 3.0 * (synth::uniform(key, 2 * i) - 0.5)) * 100.0) / 100.0;
        s.latitude = std::round((p.latitude + 2.0 * (synth::uniform(key, 2 * i + 1) - 0.5)) * 100.0) / 100.0;
        s.points = {{"1", "1号观测井", {"4112", "4211"}, true}};
        out.push_back(std::move(s));
    }
    return out;
}

int rate_number(const std::string& rate) {
    if (rate == "01") return 1;
    if (rate == "02") return 2;
    if (rate == "60") return 60;
    if (rate == "90") return 90;
    return 0;
}

int rate_interval(const std::string& rate) {
    if (rate == "02") return 1;
    if (rate == "01") return 60;
    if (rate == "60") return 3600;
    if (rate == "90") return 86400;
    return 0;
}

namespace {

std::vector<Series> method_series(const Options& o, const std::string& method, const std::string& library,
                                  bool seconds_only) {
    std::vector<Series> out;
    for (const auto& st : o.stations) {
        for (const auto& pt : st.points) {
            if (seconds_only && !pt.seconds) continue;
            for (const auto& item_id : pt.items) {
                if (item_id.compare(0, 3, method) != 0) continue;
                const Item* item = find_item(item_id);
                if (!item) continue;
                Series s;
                s.station = st.id;
                s.point = pt.id;
                s.item = item_id;
                s.keys = series_keys(o.seed, st.id, pt.id, item_id, library);
                s.model = synth::model_for(item->kind, synth::derive(s.keys.signal, "model"));
                out.push_back(std::move(s));
            }
        }
    }
    return out;
}

// First and last day of a rate's window.
void window(const Options& o, const std::string& library, const std::string& rate, std::int64_t& first,
            std::int64_t& last) {
    last = o.end_day;
    first = o.start_day;
    if (library == "DYS" && o.raw_days >= 0 && (rate == "60" || rate == "90"))
        first = std::max(first, o.end_day - o.raw_days + 1);
    if (rate == "01") first = std::max(first, o.end_day - o.minute_days + 1);
    if (rate == "02") first = std::max(first, o.end_day - o.second_days + 1);
}

}  // namespace

std::vector<TablePlan> plan_data_tables(const Options& o) {
    std::vector<TablePlan> plans;
    auto add = [&](const std::string& method, const std::string& library, const std::string& fragment,
                   const std::string& rate, bool dev) {
        if (!o.libraries.count(library) || !o.rates.count(rate)) return;
        if (rate == "01" && o.minute_days <= 0) return;
        if (rate == "02" && o.second_days <= 0) return;
        TablePlan t;
        t.method = method;
        t.library = library;
        t.fragment = fragment;
        t.rate = rate;
        t.interval = rate_interval(rate);
        t.dev = dev;
        t.name = "QZ_" + method + (dev ? "_DEV" : "") + "_" + library + (fragment.empty() ? "" : "_" + fragment) +
                 "_" + rate;
        // Raw second and minute tables are stored compressed and carry no rate
        // column; preprocessed tables carry the integer code, products a real.
        if (library == "DYS") {
            t.gzip = rate == "01" || rate == "02";
        } else {
            t.rate_column = library == "DYU" ? RateColumn::Integer : RateColumn::Real;
            t.rate_value = rate_number(rate);
        }
        // Known oddities of some tables: a mislabelled rate (hourly rows coded
        // as minute rows), an unset code 0 and a column left empty.
        if (!dev && library == "DYU") {
            if (method == "421" && rate == "60") t.rate_value = 1;
            if (method == "212" && rate == "60") t.rate_value = 0;
            if (method == "241" && rate == "90") t.rate_null = true;
        }
        window(o, library, rate, t.first_day, t.last_day);
        if (t.first_day > t.last_day) return;
        t.series = method_series(o, method, library + fragment, rate == "02");
        if (t.series.empty()) return;
        plans.push_back(std::move(t));
    };
    for (const auto& m : methods()) {
        bool weather = m.id == "417";
        for (const char* rate : {"90", "60", "01", "02"}) {
            std::string r = rate;
            if (weather && (r == "01" || r == "02")) continue;
            add(m.id, "DYU", "", r, false);
            if (weather) continue;
            add(m.id, "DYS", "", r, false);
            if (r == "90" || r == "60") add(m.id, "CP", "AVG", r, false);
            if (r == "01") add(m.id, "CP", "INS", r, false);
        }
    }
    // A standardised product, neither averaged nor instantaneous.
    add("321", "CP", "STD", "90", false);
    // Development copies that must never be read.
    add("321", "DYU", "", "60", true);
    add("411", "DYU", "", "90", true);
    add("411", "DYU", "", "01", true);
    add("312", "DYS", "", "02", true);
    return plans;
}

std::vector<LogTablePlan> plan_log_tables(const Options& o) {
    std::vector<LogTablePlan> plans;
    auto add = [&](const std::string& method, bool dev) {
        LogTablePlan t;
        t.method = method;
        t.dev = dev;
        t.name = "QZ_" + method + (dev ? "_DEV" : "") + "_DLG";
        t.first_day = o.start_day;
        t.last_day = o.end_day;
        t.series = method_series(o, method, "DLG", false);
        if (!t.series.empty()) plans.push_back(std::move(t));
    };
    for (const auto& m : methods())
        if (m.id != "417") add(m.id, false);
    add("321", true);
    return plans;
}

std::vector<DayRow> series_rows(const TablePlan& t, std::size_t index) {
    std::vector<DayRow> rows;
    if (t.interval <= 0 || index >= t.series.size()) return rows;
    const Series& s = t.series[index];
    if (t.dev) {
        // Wrong data on every day of the last two months and on the first of
        // every month before.
        const std::size_t count = static_cast<std::size_t>(86400 / t.interval);
        std::string text;
        text.reserve(count * 7);
        for (std::size_t k = 0; k < count; ++k) text += k ? " -99999" : "-99999";
        for (std::int64_t day = t.first_day; day <= t.last_day; ++day) {
            int y, m, d;
            synth::civil_from_days(day, y, m, d);
            if (day > t.last_day - 60 || d == 1) rows.push_back({day, text, false});
        }
        return rows;
    }
    const auto null_key = synth::derive(s.keys.sample, "null-row");
    const bool first_series = index == 0;
    const bool null_series = t.gzip && index + 1 == t.series.size() && t.last_day > t.first_day;
    const std::int64_t null_day = null_series && first_series ? t.first_day + 1 : t.first_day;
    for (std::int64_t day = t.first_day; day <= t.last_day; ++day) {
        if (first_series && day == t.first_day) {
            rows.push_back({day, "NULLALL", false});
            continue;
        }
        if (null_series && day == null_day) {
            rows.push_back({day, std::string(), true});
            continue;
        }
        switch (synth::day_state(s.model, s.keys, day)) {
            case synth::DayState::Missing:
                continue;
            case synth::DayState::NullAll:
                rows.push_back({day, "NULLALL", false});
                continue;
            case synth::DayState::Present:
                break;
        }
        // Compressed tables also hold a few rows whose value is NULL.
        if (t.gzip && synth::uniform(null_key, static_cast<std::uint64_t>(day)) < 0.02) {
            rows.push_back({day, std::string(), true});
            continue;
        }
        DayRow row{day, std::string(), false};
        synth::append_day(row.text, s.model, s.keys, day, t.interval);
        if (t.library == "CP" && t.fragment == "STD") {
            // Standardised product: one score per day around zero.
            double z = 2.0 * synth::normal(synth::derive(s.keys.sample, "std"), static_cast<std::uint64_t>(day));
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.3f", z);
            row.text = buf;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<LogRow> log_rows(const LogTablePlan& t, const Series& s, std::uint64_t seed) {
    struct Code {
        const char* id;
        const char* text;
    };
    static constexpr Code kCodes[] = {
        {"301", "仪器故障"}, {"302", "停电"}, {"305", "仪器标定"}, {"313", "人为干扰"}, {"317", "降雨影响"},
    };
    std::vector<LogRow> rows;
    std::uint64_t key = synth::derive(synth::derive(synth::mix64(seed), "dialog"), s.station + "/" + s.point + "/" + s.item);
    for (std::int64_t day = t.first_day; day <= t.last_day; ++day) {
        auto c = static_cast<std::uint64_t>(day);
        // Every series logs an interference on its last two days, so a
        // request for yesterday and today always finds rows.
        bool recent = day >= t.last_day - 1;
        if (!recent && synth::uniform(key, 4 * c) >= 0.05) continue;
        const Code& code = recent ? kCodes[3] : kCodes[static_cast<std::size_t>(5.0 * synth::uniform(key, 4 * c + 1))];
        LogRow row;
        row.start = day * 86400 + static_cast<std::int64_t>(86000.0 * synth::uniform(key, 4 * c + 2));
        row.end = row.start + 600 + static_cast<std::int64_t>(6.0 * 3600.0 * synth::uniform(key, 4 * c + 3));
        row.evtid = code.id;
        row.description = t.dev ? std::string("DEV 测试记录") : std::string(code.text);
        if (t.dev) row.evtid = "313";
        rows.push_back(std::move(row));
    }
    return rows;
}

// ---- catalogue ---------------------------------------------------------------------------------

void destination(double lat, double lon, double bearing, double distance_km, double& out_lat,
                 double& out_lon) noexcept {
    constexpr double d2r = std::numbers::pi / 180.0;
    double phi1 = lat * d2r, lam1 = lon * d2r, delta = distance_km / 6371.0;
    double phi2 = std::asin(std::sin(phi1) * std::cos(delta) + std::cos(phi1) * std::sin(delta) * std::cos(bearing));
    double lam2 = lam1 + std::atan2(std::sin(bearing) * std::sin(delta) * std::cos(phi1),
                                    std::cos(delta) - std::sin(phi1) * std::sin(phi2));
    out_lat = phi2 / d2r;
    out_lon = lam2 / d2r;
}

std::vector<Quake> catalogue(const std::vector<Station>& stations, std::int64_t first_day, std::int64_t last_day,
                             std::uint64_t seed, std::size_t count) {
    std::vector<Quake> out;
    if (last_day < first_day) return out;
    std::uint64_t key = synth::derive(synth::mix64(seed), "catalogue");
    std::uint64_t n = 0;
    auto u = [&]() { return synth::uniform(key, n++); };
    const double span = static_cast<double>((last_day - first_day + 1) * 86400);
    const std::int64_t t0 = first_day * 86400;
    auto make = [&](double lat, double lon, double mag, std::int64_t t) {
        Quake q;
        q.time = t;
        q.latitude = std::round(lat * 100.0) / 100.0;
        q.longitude = std::round(lon * 100.0) / 100.0;
        q.magnitude = std::round(mag * 10.0) / 10.0;
        q.depth_km = 3 + static_cast<int>(25.0 * u());
        q.name = nearest_place(q.latitude, q.longitude);
        out.push_back(std::move(q));
    };
    auto near = [&](const Station& s, double dmin, double dmax, double& lat, double& lon) {
        destination(s.latitude, s.longitude, 2.0 * std::numbers::pi * u(), dmin + (dmax - dmin) * u(), lat, lon);
    };
    // Gutenberg-Richter magnitudes (b = 1) from 2.0, at most 7.8.
    auto gr = [&]() { return std::min(7.8, 2.0 - std::log10(1.0 - u())); };
    double lat, lon;
    // Guaranteed events per station: a moderate one close by, a small one
    // within the usual 300 km search radius, and one in the last month.
    const std::int64_t recent0 = std::max(first_day, last_day - 29) * 86400;
    const double recent_span = static_cast<double>(last_day * 86400 + 86400 - recent0);
    for (const auto& s : stations) {
        near(s, 40, 150, lat, lon);
        make(lat, lon, 4.6 + 0.8 * u(), t0 + static_cast<std::int64_t>(span * u()));
        near(s, 100, 250, lat, lon);
        make(lat, lon, 3.0 + 0.8 * u(), t0 + static_cast<std::int64_t>(span * u()));
        near(s, 20, 200, lat, lon);
        make(lat, lon, 3.2 + 1.3 * u(), recent0 + static_cast<std::int64_t>(recent_span * u()));
    }
    std::size_t remaining = count > out.size() ? count - out.size() : 0;
    std::size_t nearby = stations.empty() ? 0 : remaining * 3 / 5;
    for (std::size_t i = 0; i < nearby; ++i) {
        near(stations[i % stations.size()], 1, 400, lat, lon);
        make(lat, lon, gr(), t0 + static_cast<std::int64_t>(span * u()));
    }
    for (std::size_t i = nearby; i < remaining; ++i) {
        // Anywhere from the Tibetan plateau to the Taiwan strait.
        lat = 22.0 + 22.0 * u();
        lon = 76.0 + 46.0 * u();
        make(lat, lon, gr() + 0.5, t0 + static_cast<std::int64_t>(span * u()));
    }
    std::stable_sort(out.begin(), out.end(), [](const Quake& a, const Quake& b) { return a.time < b.time; });
    return out;
}

std::string catalogue_line(const Quake& q) {
    int y, m, d;
    std::int64_t day = q.time >= 0 ? q.time / 86400 : (q.time - 86399) / 86400;
    synth::civil_from_days(day, y, m, d);
    std::int64_t sod = q.time - day * 86400;
    char head[64];
    std::snprintf(head, sizeof head, "%04d%02d%02d%02d%02d%02d %6.2f%6.2f %4.1f %3d   ", y, m, d,
                  static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60),
                  q.latitude, q.longitude, q.magnitude, q.depth_km % 1000);
    return std::string(head) + q.name;
}

}  // namespace kelvane::core::sample
