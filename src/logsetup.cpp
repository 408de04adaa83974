// kelvane.logsetup: configures the process's logging once, at first import,
// and provides the three package loggers.
#include "kelvane_bind.hpp"

namespace {

// The log directory for an operating-system family: LOCALAPPDATA (or
// ~/AppData/Local when it is absent) on Windows, ~/.local/share elsewhere.
py::object choose_log_dir(const std::string& os_name, py::object environ, py::object home) {
    auto Path = py::module_::import("pathlib").attr("Path");
    py::object base;
    if (os_name == "nt") {
        py::object value = environ.attr("get")("LOCALAPPDATA");
        if (value.is_none()) {
            base = Path(home).attr("joinpath")("AppData", "Local");
        } else {
            base = Path(value);  // an empty value is used as it stands
        }
    } else {
        base = Path(home).attr("joinpath")(".local", "share");
    }
    return base.attr("joinpath")("kelvane", "logs");
}

}  // namespace

KELVANE_MODULE(logsetup, m) {
    m.doc() = "Logging configuration of the kelvane package.";
    auto os = py::module_::import("os");
    auto logging = py::module_::import("logging");
    auto Path = py::module_::import("pathlib").attr("Path");

    m.def("_choose_log_dir", &choose_log_dir, "os_name"_a, "environ"_a, "home"_a,
          "Log directory for an operating-system family (used at import).");

    py::object log_dir = choose_log_dir(os.attr("name").cast<std::string>(), os.attr("environ"),
                                        Path.attr("home")());
    log_dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    py::object log_file = log_dir.attr("joinpath")("app.log");
    m.attr("log_dir") = log_dir;
    m.attr("log_file") = log_file;

    // basicConfig leaves an already configured root logger alone; checking
    // first also keeps the file handler from creating app.log in that case.
    py::object root = logging.attr("getLogger")();
    if (py::len(root.attr("handlers")) == 0) {
        // The log names hosts and users: a new app.log is readable by its
        // owner only. The file handler then opens it for appending.
        py::object fd = os.attr("open")(
            log_file, os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_APPEND"), 0600);
        os.attr("close")(fd);
        py::list handlers;
        handlers.append(logging.attr("FileHandler")(log_file));
        handlers.append(logging.attr("StreamHandler")());
        logging.attr("basicConfig")(
            "level"_a = logging.attr("INFO"),
            "format"_a = "%(asctime)s - %(name)s - %(levelname)s - %(message)s",
            "datefmt"_a = "%Y-%m-%d %H:%M:%S", "handlers"_a = handlers);
    }

    const char* names[][2] = {{"plotting", "plotting_logger"},
                              {"fetching", "fetching_logger"},
                              {"cleaning", "cleaning_logger"}};
    for (auto& pair : names) {
        py::object lg = logging.attr("getLogger")(pair[0]);
        lg.attr("setLevel")(logging.attr("INFO"));
        m.attr(pair[1]) = lg;
    }
}
