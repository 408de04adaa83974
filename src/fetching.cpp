// kelvane.fetching: configuration and connection, catalogues, SQL building,
// metadata lookups and the fetches. Each concern lives in a header of
// src/fetching/; this file loads the module's dependencies and binds them.
#include "kelvane_bind.hpp"

#include "fetching/catalogues.hpp"
#include "fetching/classes.hpp"
#include "fetching/connect.hpp"
#include "fetching/convenience.hpp"
#include "fetching/data.hpp"
#include "fetching/dataset.hpp"
#include "fetching/dialog.hpp"
#include "fetching/metadata.hpp"
#include "fetching/query.hpp"

KELVANE_MODULE(fetching, m) {
    m.doc() = "Fetching observation data from the precursor database.";
    using namespace kelvane::fetching;

    // Siblings and outside libraries, in load order.
    py::module_ logsetup = py::module_::import("kelvane.logsetup");
    m.attr("logger") = logsetup.attr("fetching_logger");
    m.attr("MetaStash") = py::module_::import("kelvane.metastash").attr("MetaStash");
    m.attr("tsc") = py::module_::import("kelvane.cleaning");
    m.attr("tse") = py::module_::import("kelvane.export");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("create_engine") = py::module_::import("sqlalchemy").attr("create_engine");
    m.attr("text") = py::module_::import("sqlalchemy").attr("text");
    try {
        m.attr("oracledb") = py::module_::import("oracledb");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("oracledb") = py::none();
    }
    m.attr("_ORACLE_THICK_MODE_READY") = false;

    bind_connector(m);
    bind_catalogues(m);
    bind_query_builder(m);
    bind_metadata_fetcher(m);
    bind_data_fetcher(m);
    bind_dialog(m);
    bind_dataset(m);
    bind_convenience(m);
}
