// Library and sample-rate catalogues: user words to table-name codes.
#pragma once
#include "kelvane_bind.hpp"

namespace kelvane::fetching {

struct DatabaseType {};
struct SampleRateType {};

inline py::object database_type_get_id(py::object db_type) {
    py::dict codes;
    codes["原始库"] = "DYS";
    codes["预处理库"] = "DYU";
    codes["产品库"] = "CP";
    return codes.attr("get")(db_type);
}

inline py::object sample_rate_get_config(py::object rate_type) {
    auto record = [](const char* id, long rate, long null_count) {
        py::dict r;
        r["id"] = id;
        r["rate"] = rate;
        r["null_count"] = null_count;
        return r;
    };
    py::dict configs;
    configs["秒钟值"] = record("02", 1, 86400);
    configs["分钟值"] = record("01", 60, 1440);
    configs["小时值"] = record("60", 3600, 24);
    configs["日均值"] = record("90", 86400, 1);
    py::dict aliases;
    aliases["秒值"] = "秒钟值";
    aliases["分值"] = "分钟值";
    aliases["整点值"] = "小时值";
    aliases["日值"] = "日均值";
    if (aliases.contains(rate_type)) rate_type = aliases[rate_type];
    return configs.attr("get")(rate_type);
}

inline py::object sample_rate_get_rate_by_id(py::object rate_id) {
    py::dict rates;
    rates["02"] = 1;
    rates["01"] = 60;
    rates["60"] = 3600;
    rates["90"] = 86400;
    return rates.attr("get")(py::str(rate_id));
}

inline void bind_catalogues(py::module_& m) {
    py::class_<DatabaseType>(m, "DatabaseType")
        .def_static("get_id", &database_type_get_id, "db_type"_a);
    auto dt = m.attr("DatabaseType");
    dt.attr("RAW") = "原始库";
    dt.attr("PREPROCESSED") = "预处理库";
    dt.attr("PRODUCT") = "产品库";

    py::class_<SampleRateType>(m, "SampleRateType")
        .def_static("get_config", &sample_rate_get_config, "rate_type"_a)
        .def_static("get_rate_by_id", &sample_rate_get_rate_by_id, "rate_id"_a);
    auto st = m.attr("SampleRateType");
    st.attr("SECOND") = "秒钟值";
    st.attr("MINUTE") = "分钟值";
    st.attr("HOUR") = "小时值";
    st.attr("DAY") = "日均值";
}

}  // namespace kelvane::fetching
