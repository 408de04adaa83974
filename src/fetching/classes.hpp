// Tag types of the fetching classes and access to their Python class objects,
// so that several headers can add static methods to one class.
#pragma once
#include "kelvane_bind.hpp"

namespace kelvane::fetching {

struct MetadataFetcher {};
struct DataFetcher {};

// The DataFetcher class object of module m, created on first use.
inline py::class_<DataFetcher> data_fetcher_class(py::module_& m) {
    if (py::hasattr(m, "DataFetcher"))
        return py::reinterpret_borrow<py::class_<DataFetcher>>(m.attr("DataFetcher"));
    return py::class_<DataFetcher>(m, "DataFetcher", "数据获取类");
}

}  // namespace kelvane::fetching
