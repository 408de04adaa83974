// The database boundary: every statement the fetches run goes through here.
//
// pandas.read_sql first asks the database whether the statement text is the
// name of a table (two statements on SQLite, a round trip to the server on
// Oracle) before it runs the statement. The reads here skip that question:
// tables come from pandas.read_sql_query, which reads a statement exactly as
// read_sql does once it has decided the text is a query, and the data rows
// from the connection's own driver-level execution, the call pandas makes.
#pragma once
#include "connect.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace kelvane::fetching {

inline py::object pandas() { return self().attr("pd"); }

// True for a SQLAlchemy Connection, whose statements run_statement runs
// itself; anything else (an Engine, a DBAPI connection, None) is left to pandas.
inline bool is_sqlalchemy_connection(const py::object& conn) {
    return py::isinstance(conn, py::module_::import("sqlalchemy.engine").attr("Connection"));
}

// Whether the installed pandas reports a failed statement as its own
// DatabaseError (pandas 3 does; pandas 2 lets SQLAlchemy's error through).
inline bool pandas_wraps_statement_errors() {
    py::object version = pandas().attr("__version__");
    return std::stoi(py::str(version).attr("split")(".")[py::int_(0)].cast<std::string>()) >= 3;
}

// The column names and the rows of one statement run on a SQLAlchemy
// Connection, as pandas' read_sql runs it (Connection.exec_driver_sql, the
// bind values passed as they are); a failure is raised as read_sql raises it.
struct StatementRows {
    py::list names;
    py::list rows;
};

inline StatementRows run_statement(const py::object& conn, const py::object& sql,
                                   const py::object& params = py::none()) {
    py::object result;
    try {
        result = params.is_none() ? conn.attr("exec_driver_sql")(sql)
                                  : conn.attr("exec_driver_sql")(sql, params);
    } catch (py::error_already_set& e) {
        py::object sqlalchemy_error = py::module_::import("sqlalchemy.exc").attr("SQLAlchemyError");
        if (!e.matches(sqlalchemy_error) || !pandas_wraps_statement_errors()) throw;
        std::string message = "Execution failed on sql '" + to_text(sql) + "': " + error_text(e);
        py::object database_error = pandas().attr("errors").attr("DatabaseError");
        py::raise_from(e, database_error.ptr(), message.c_str());
        throw py::error_already_set();
    }
    StatementRows out;
    out.names = py::list(result.attr("keys")());
    out.rows = result.attr("fetchall")();
    return out;
}

// The table pandas' read_sql makes of such rows: each column converted on
// its own (floats coerced from decimals), default row labels.
inline py::object frame_from_rows(const py::list& rows, const py::list& names) {
    return pandas().attr("DataFrame").attr("from_records")(rows, "columns"_a = names,
                                                           "coerce_float"_a = true);
}

// The table of a statement's result, as pandas.read_sql gives it (dtypes,
// row labels, errors), without the table-name question.
inline py::object read_sql(const py::object& sql, const py::object& conn,
                           const py::object& params = py::none()) {
    if (!is_sqlalchemy_connection(conn))
        return pandas().attr("read_sql_query")(sql, "con"_a = conn, "params"_a = params);
    StatementRows got = run_statement(conn, sql, params);
    return frame_from_rows(got.rows, got.names);
}

// The cells of a one-column result when every one is a str with a UTF-8
// form, as views into them (the rows keep them alive); false otherwise.
inline bool text_cells(const py::list& rows, std::vector<std::string_view>& out) {
    out.clear();
    for (py::handle row : rows) {
        if (py::len(row) != 1) return false;
        py::object cell = row[py::int_(0)];
        if (!PyUnicode_CheckExact(cell.ptr())) return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(cell.ptr(), &size);
        if (!data) {
            PyErr_Clear();
            return false;
        }
        out.emplace_back(data, static_cast<std::size_t>(size));  // the str lives in its row
    }
    return true;
}

}  // namespace kelvane::fetching
