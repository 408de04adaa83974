// kelvane.drawkit: the process-wide figure style (set at import), the font
// dictionaries and the small table helpers of the time-series plotter.
#include "kelvane_bind.hpp"

#include <cmath>
#include <string>
#include <vector>

namespace {

using kelvane::self_module;
using kelvane::to_text;
using kelvane::truthy;

// Song (serif) and Hei (sans) faces that carry the Chinese glyphs on machines
// without the Windows fonts; scripts/setup-system.sh installs them.
constexpr const char* kCjkSerif = "Noto Serif CJK SC";
constexpr const char* kCjkSans = "Noto Sans CJK SC";

py::module_ drawkit() { return self_module("kelvane.drawkit"); }

// Family names matplotlib's font manager knows.
bool font_known(py::handle font_manager, const char* family) {
    py::object entries = font_manager.attr("fontManager").attr("ttflist");
    for (py::handle entry : entries) {
        if (to_text(entry.attr("name")) == family) return true;
    }
    return false;
}

// matplotlib keeps a cache of the machine's fonts; a cache written before the
// CJK fonts were installed does not list them. Register the installed files
// in that case so the fallback faces are found without a cache rebuild.
void register_cjk_fonts(py::handle font_manager) {
    if (font_known(font_manager, kCjkSerif) && font_known(font_manager, kCjkSans)) return;
    auto os_path = py::module_::import("os.path");
    py::object files = font_manager.attr("findSystemFonts")();
    for (py::handle file : files) {
        std::string base = to_text(os_path.attr("basename")(file));
        if (base.rfind("NotoSerifCJK", 0) == 0 || base.rfind("NotoSansCJK", 0) == 0) {
            try {
                font_manager.attr("fontManager").attr("addfont")(file);
            } catch (py::error_already_set& e) {
                if (!kelvane::is_ordinary(e)) throw;  // an unreadable file is skipped
            }
        }
    }
}

// The preferred family when matplotlib knows it, else the CJK fallback when
// that is known, else the preferred name unchanged.
std::string family_or_fallback(py::handle font_manager, const char* preferred,
                               const char* fallback) {
    if (font_known(font_manager, preferred)) return preferred;
    if (font_known(font_manager, fallback)) return fallback;
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
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Figure style and plotting helpers of the kelvane plotter.";

    m.attr("os") = py::module_::import("os");
    py::module_ matplotlib = py::module_::import("matplotlib");
    m.attr("matplotlib") = matplotlib;
    m.attr("pd") = py::module_::import("pandas");
    m.attr("logger") = py::module_::import("kelvane.logsetup").attr("plotting_logger");

    py::module_ font_manager = py::module_::import("matplotlib.font_manager");
    register_cjk_fonts(font_manager);

    // The publication style, for every later figure of the process.
    py::object rc = matplotlib.attr("rcParams");
    rc["axes.unicode_minus"] = false;
    rc["axes.spines.top"] = false;
    rc["svg.fonttype"] = "none";
    rc["axes.spines.right"] = false;
    rc["xtick.direction"] = "out";
    rc["ytick.direction"] = "out";
    rc["font.family"] = "serif";
    py::list serif;
    for (const char* name : {"STSong", "SimSun", "DengXian", "Times New Roman", "serif", kCjkSerif})
        serif.append(name);
    rc["font.serif"] = serif;
    rc["font.size"] = 12;
    rc["mathtext.fontset"] = "stix";
    rc["pdf.fonttype"] = 42;
    rc["axes.xmargin"] = 0.01;

    const std::string song = family_or_fallback(font_manager, "STSong", kCjkSerif);
    const std::string hei = family_or_fallback(font_manager, "SimHei", kCjkSans);
    m.attr("font_title") = font_dict(song, "black", "normal", 11);
    m.attr("font_xlabel") = font_dict(song, nullptr, "normal", 11);
    m.attr("font_unit") = font_dict(song, nullptr, "normal", 11);
    m.attr("font_suptitle") = font_dict(hei, "black", "normal", 16);
    m.attr("legend_font") = font_dict(song, nullptr, nullptr, 9);
    m.attr("cjk_serif_family") = kCjkSerif;
    m.attr("cjk_sans_family") = kCjkSans;

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
