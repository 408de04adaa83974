// kelvane.drawkit: the process-wide figure style (set at import), the font
// dictionaries and the small table helpers of the time-series plotter.
#include "kelvane_bind.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace {

using kelvane::is_ordinary;
using kelvane::self_module;
using kelvane::to_text;
using kelvane::truthy;

// CJK faces the style falls back to after the Windows fonts, best first: the
// Song (serif) face of Debian's fonts-noto-cjk (scripts/setup-system.sh
// installs it), then the Hei (sans) face, which the optional extra
// kelvane[fonts] also brings from PyPI.
constexpr const char* kCjkSerif = "Noto Serif CJK SC";
constexpr const char* kCjkSans = "Noto Sans CJK SC";

constexpr const char* kNoCjkFont =
    "未找到可显示汉字的字体，图中的中文将显示为方框。安装开源字体: "
    "pip install \"kelvane[fonts]\"，或在 Debian/Ubuntu 上: apt-get install fonts-noto-cjk";

py::module_ drawkit() { return self_module("kelvane.drawkit"); }

py::object font_list(py::handle font_manager) {
    return font_manager.attr("fontManager").attr("ttflist");
}

// Family names matplotlib's font manager knows.
bool font_known(py::handle font_manager, const char* family) {
    for (py::handle entry : font_list(font_manager)) {
        if (to_text(entry.attr("name")) == family) return true;
    }
    return false;
}

bool ends_with_any(std::string text, std::initializer_list<const char*> endings) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* e : endings) {
        const std::string end(e);
        if (text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0)
            return true;
    }
    return false;
}

bool is_collection(const std::string& path) { return ends_with_any(path, {".ttc", ".otc"}); }

bool names_cjk(const std::string& path) {
    std::string lower = path;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("cjk") != std::string::npos;
}

// Files of the CJK fonts that the kelvane[fonts] extra (the noto-cjk packages)
// installed; none when it is not installed.
std::vector<std::string> extra_font_files() {
    std::vector<std::string> out;
    py::object noto;
    try {
        noto = py::module_::import("noto_cjk");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return out;
    }
    py::list fonts = noto.attr("list_otc")();
    for (py::handle f : noto.attr("list_fonts")()) fonts.append(f);
    for (py::handle f : fonts) {
        if (!truthy(f.attr("installed"))) continue;
        try {
            out.push_back(to_text(f.attr("path")));
        } catch (py::error_already_set& e) {
            if (!is_ordinary(e)) throw;  // a package without its file
        }
    }
    return out;
}

// Font files that may hold the CJK faces: the extra's files, then the
// collections matplotlib has read (of which an older matplotlib knows only the
// first face), then, when `system` is set, the machine's other CJK font files
// (matplotlib's font list may have been cached before they were installed).
std::vector<std::string> candidate_files(py::handle font_manager, bool system) {
    std::vector<std::string> out = extra_font_files();
    auto add = [&](const std::string& path) {
        if (std::find(out.begin(), out.end(), path) == out.end()) out.push_back(path);
    };
    for (py::handle entry : font_list(font_manager)) {
        std::string path = to_text(entry.attr("fname"));
        if (is_collection(path) && names_cjk(path)) add(path);
    }
    if (system) {
        for (py::handle file : font_manager.attr("findSystemFonts")()) {
            std::string path = to_text(file);
            if (names_cjk(path)) add(path);
        }
    }
    return out;
}

// The faces of a font file (one, or several in a collection), read lazily
// with fontTools.
py::list faces_of(const std::string& path) {
    py::module_ ttlib = py::module_::import("fontTools.ttLib");
    if (is_collection(path)) return ttlib.attr("TTCollection")(path, "lazy"_a = true).attr("fonts");
    py::list one;
    one.append(ttlib.attr("TTFont")(path, "lazy"_a = true));
    return one;
}

std::string face_name(py::handle face, int typographic, int plain) {
    py::object table = face.attr("__getitem__")("name");
    py::object name = table.attr("getDebugName")(typographic);
    if (name.is_none()) name = table.attr("getDebugName")(plain);
    return name.is_none() ? std::string() : to_text(name);
}

// Index of the regular face of `family` in the font file, if it holds one.
std::optional<std::size_t> regular_face(const py::list& faces, const char* family) {
    for (std::size_t i = 0; i < py::len(faces); ++i) {
        py::handle face = faces[i];
        if (face_name(face, 16, 1) == family && face_name(face, 17, 2) == "Regular") return i;
    }
    return std::nullopt;
}

// The face as a font file of its own, written once into matplotlib's cache
// folder (the name carries the collection's size and time, so an updated
// collection is read again).
std::string face_file(const std::string& path, const py::list& faces, std::size_t index) {
    py::module_ os = py::module_::import("os");
    py::object os_path = os.attr("path");
    py::object folder = os_path.attr("join")(
        py::module_::import("matplotlib").attr("get_cachedir")(), "kelvane-fonts");
    os.attr("makedirs")(folder, "exist_ok"_a = true);
    py::object info = os.attr("stat")(path);
    py::object stem = os_path.attr("splitext")(os_path.attr("basename")(path))[py::int_(0)];
    py::object face = faces[index];
    const bool cff = to_text(face.attr("sfntVersion")) == "OTTO";
    std::string name = to_text(stem) + "-" + std::to_string(index) + "-" +
                       to_text(info.attr("st_size")) + "-" + to_text(info.attr("st_mtime_ns")) +
                       (cff ? ".otf" : ".ttf");
    py::object target = os_path.attr("join")(folder, name);
    if (!truthy(os_path.attr("isfile")(target)))
        kelvane::write_atomically(target, [&](py::object where) { face.attr("save")(where); });
    return to_text(target);
}

// Makes `family` known to matplotlib if a CJK font file on the machine (or
// of the fonts extra) holds it: a file matplotlib has not read is added
// (matplotlib 3.11 and later read every face of a collection); a face that
// matplotlib still does not see, because it reads only the first face of a
// collection, is added from a file of its own.
bool make_known(py::handle font_manager, const char* family) {
    if (font_known(font_manager, family)) return true;
    py::object manager = font_manager.attr("fontManager");
    for (const bool system : {false, true}) {
        std::vector<std::string> read;
        for (py::handle entry : font_list(font_manager)) read.push_back(to_text(entry.attr("fname")));
        for (const std::string& path : candidate_files(font_manager, system)) {
            try {
                py::list faces = faces_of(path);
                std::optional<std::size_t> index = regular_face(faces, family);
                if (!index) continue;
                if (std::find(read.begin(), read.end(), path) == read.end()) {
                    manager.attr("addfont")(path);
                    read.push_back(path);
                    if (font_known(font_manager, family)) return true;
                }
                manager.attr("addfont")(face_file(path, faces, *index));
                if (font_known(font_manager, family)) return true;
            } catch (py::error_already_set& e) {
                if (!is_ordinary(e)) throw;  // an unreadable file, a cache that cannot be written
                drawkit().attr("logger").attr("debug")("CJK font " + path + ": " + kelvane::error_text(e));
            }
        }
    }
    return false;
}

// The preferred family when matplotlib knows it, else the fallback when there
// is one, else the preferred name unchanged.
std::string family_or_fallback(py::handle font_manager, const char* preferred,
                               const std::optional<std::string>& fallback) {
    if (font_known(font_manager, preferred)) return preferred;
    if (fallback) return *fallback;
    return preferred;
}

py::dict font_dict(const std::string& family, const char* color, const char* weight, int size) {
    py::dict d;
    d["family"] = family;
    if (color) d["color"] = color;
    if (weight) d["weight"] = weight;
    d["size"] = size;
    return d;
}

// ---------------------------------------------------------------------------
// The helpers as the analyst calls them.

void create_figures_folder() {
    auto os = py::module_::import("os");
    py::object logger = drawkit().attr("logger");
    logger.attr("info")("Current working directory: " + to_text(os.attr("getcwd")()));
    if (!truthy(os.attr("path").attr("exists")("figures"))) {
        os.attr("mkdir")("figures");
        logger.attr("info")("Created figures folder");
    }
}

py::dict calculate_stats(py::object df, py::object column, py::object multiplier) {
    py::object series = df[column];
    py::object mean = series.attr("mean")();
    py::object median = series.attr("median")();
    py::object std = series.attr("std")();
    py::object min = series.attr("min")();
    py::object max = series.attr("max")();
    py::dict stats;
    stats["mean"] = mean;
    stats["median"] = median;
    stats["std"] = std;
    stats["min"] = min;
    stats["max"] = max;
    stats["lower_limit"] = mean - multiplier * std;
    stats["upper_limit"] = mean + multiplier * std;
    return stats;
}

// The whole part of a float, as int() gives it (OverflowError for infinity,
// ValueError for NaN).
std::string whole_part(double value) { return to_text(py::int_(py::float_(value))); }

std::string get_freq_str(py::object timedelta) {
    double s = py::float_(timedelta.attr("total_seconds")()).cast<double>();
    if (s < 60) return whole_part(s) + "s";
    if (s < 3600) return whole_part(std::floor(s / 60)) + "min";
    if (s < 86400) return whole_part(std::floor(s / 3600)) + "h";
    return "1D";
}

// Rate code of a SAMPLERATE value: its text, trimmed, cut at the first ".",
// left-padded with zeros to two characters.
std::string rate_code(py::handle value) {
    std::string text = to_text(py::str(value).attr("strip")());
    auto dot = text.find('.');
    if (dot != std::string::npos) text.resize(dot);
    return to_text(py::str(text).attr("zfill")(2));
}

py::object frequency_of_rate_code(const std::string& code) {
    if (code == "02") return py::str("s");
    if (code == "01") return py::str("min");
    if (code == "60") return py::str("h");
    if (code == "90") return py::str("D");
    return py::none();
}

py::object reindex_df_by_interval(py::object df) {
    auto pd = drawkit().attr("pd");
    py::object freq = py::none();
    if (truthy(df.attr("columns").attr("__contains__")("SAMPLERATE"))) {
        py::object first = df["SAMPLERATE"].attr("iloc")[py::int_(0)];
        if (!truthy(pd.attr("isna")(first))) freq = frequency_of_rate_code(rate_code(first));
    }
    py::object index = df.attr("index");
    if (freq.is_none()) {
        drawkit().attr("logger").attr("debug")(
            "SAMPLERATE 列缺失或 ID 未识别，回退到动态计算频率");
        py::object diffs = index.attr("to_series")().attr("diff")().attr("dropna")();
        if (py::len(diffs) == 0) {
            freq = py::str("min");
        } else {
            py::object most = diffs.attr("value_counts")().attr("idxmax")();
            freq = py::str(get_freq_str(most));
        }
    }
    py::object grid = pd.attr("date_range")("start"_a = index.attr("min")(),
                                            "end"_a = index.attr("max")(), "freq"_a = freq);
    return df.attr("reindex")(grid);
}

}  // namespace

KELVANE_MODULE(drawkit, m) {
    m.doc() = "Figure style and plotting helpers of the kelvane plotter.";

    m.attr("os") = py::module_::import("os");
    py::module_ matplotlib = py::module_::import("matplotlib");
    m.attr("matplotlib") = matplotlib;
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = py::module_::import("kelvane.logsetup").attr("plotting_logger");

    // The CJK faces the machine offers, best first.
    py::module_ font_manager = py::module_::import("matplotlib.font_manager");
    std::vector<std::string> cjk;
    for (const char* family : {kCjkSerif, kCjkSans}) {
        if (make_known(font_manager, family)) cjk.push_back(family);
    }
    if (cjk.empty()) py::object(m.attr("logger")).attr("warning")(kNoCjkFont);

    // The publication style, for every later figure of the process.
    py::object rc = matplotlib.attr("rcParams");
    rc["axes.unicode_minus"] = false;
    rc["axes.spines.top"] = false;
    rc["svg.fonttype"] = "none";
    rc["axes.spines.right"] = false;
    rc["xtick.direction"] = "out";
    rc["ytick.direction"] = "out";
    rc["font.family"] = "serif";
    // The Windows faces first, then the best CJK face found here.
    py::list serif;
    for (const char* name : {"STSong", "SimSun", "DengXian", "Times New Roman", "serif"})
        serif.append(name);
    if (!cjk.empty()) serif.append(cjk.front());
    rc["font.serif"] = serif;
    rc["font.size"] = 12;
    rc["mathtext.fontset"] = "stix";
    rc["pdf.fonttype"] = 42;
    rc["axes.xmargin"] = 0.01;

    // Song faces for titles and labels, a Hei face for figure titles.
    std::optional<std::string> song, hei;
    if (!cjk.empty()) song = hei = cjk.front();
    if (std::find(cjk.begin(), cjk.end(), kCjkSans) != cjk.end()) hei = kCjkSans;
    const std::string title_family = family_or_fallback(font_manager, "STSong", song);
    const std::string hei_family = family_or_fallback(font_manager, "SimHei", hei);
    m.attr("font_title") = font_dict(title_family, "black", "normal", 11);
    m.attr("font_xlabel") = font_dict(title_family, nullptr, "normal", 11);
    m.attr("font_unit") = font_dict(title_family, nullptr, "normal", 11);
    m.attr("font_suptitle") = font_dict(hei_family, "black", "normal", 16);
    m.attr("legend_font") = font_dict(title_family, nullptr, nullptr, 9);
    // The CJK faces in use (None when the machine has none).
    m.attr("cjk_serif_family") = song ? py::object(py::str(*song)) : py::none();
    m.attr("cjk_sans_family") = hei ? py::object(py::str(*hei)) : py::none();

    m.def("create_figures_folder", &create_figures_folder, "创建保存图像的文件夹");
    m.def("calculate_stats", &calculate_stats, "df"_a, "column"_a = "OBSVALUE",
          "multiplier"_a = 2.0,
          "计算统计信息，包括均值、标准差和上下限\n\n"
          "参数:\n"
          "    df: 包含观测值的 DataFrame\n"
          "    column: 要分析的列名\n"
          "    multiplier: 用于计算上下限的倍数\n\n"
          "返回:\n"
          "    dict: 包含统计信息的字典");
    m.def("get_freq_str", &get_freq_str, "timedelta"_a,
          "根据时间差异的大小返回合适的频率字符串。\n"
          "(保留此函数以备不时之需, 但主要重索引逻辑已改为 ID 驱动)");
    m.def("reindex_df_by_interval", &reindex_df_by_interval, "df"_a,
          "根据 DataFrame 中的 SAMPLERATE 列(ID)进行重新索引。\n"
          "如果 SAMPLERATE 不存在，则回退到基于时间戳间隔计算。\n\n"
          "参数:\n"
          "    df (pd.DataFrame): 具有时间戳索引的 DataFrame\n\n"
          "返回:\n"
          "    pd.DataFrame: 重新索引后的 DataFrame");
}
