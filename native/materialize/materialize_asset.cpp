#include "materialize/materialize_asset.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "declare/asset_protocol.hpp"
#include "frame/binder.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "frame/exception_text.hpp"
#include "frame/text.hpp"
#include "json/json_value.hpp"
#include "json/python_json.hpp"

namespace quarl {
namespace {

constexpr const char materialize_asset_doc[] =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m quarl.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

constexpr Signature<4> materialize_asset_signature{
    "materialize_asset", {"module_name", "function_name", "output_dir", "input_kwargs_json"}, 3};

Name importlib_name{"importlib"};
Name inspect_name{"inspect"};
Name json_name{"json"};
Name pathlib_name{"pathlib"};
Name sys_name{"sys"};

Name import_module_name{"import_module"};
Name signature_name{"signature"};
Name loads_name{"loads"};
Name dumps_name{"dumps"};
Name path_name{"Path"};
Name mkdir_name{"mkdir"};
Name truediv_name{"__truediv__"};
Name absolute_name{"absolute"};
Name write_text_name{"write_text"};
Name exit_name{"exit"};
Name type_name_attribute{"__name__"};
Name parents_name{"parents"};
Name exist_ok_name{"exist_ok"};
Name filename_name{"filename"};

// Constant argument texts; interned once like the names above.
Name result_file{"result.json"};
Name value_file{"value.json"};
Name utf8_encoding{"utf-8"};

// What a run needs from the preparation: the modules, as they stood when the call began, and
// the output directory.
struct Workspace {
    Ref importlib;
    Ref inspect;
    Ref json;
    // pathlib.Path(output_dir), as the caller spelled it: the record's value_path and the paths
    // in messages are spelled from it.
    Ref out;
    // out.absolute(), where the files are written: fixed before the user's code runs, which may
    // change the working directory. Also as bytes for the system calls, to which the files' names
    // are joined here rather than through pathlib, whose paths cost more than the writes.
    Ref folder;
    std::string folder_bytes;
};

// out.mkdir(**{"parents": True, "exist_ok": True}): the keyword dict is built and passed as a
// dict, so a replaced mkdir receives exactly that.
void make_directory(PyObject* out) {
    Ref options = own(PyDict_New());
    check(PyDict_SetItem(options.get(), parents_name.get(), Py_True));
    check(PyDict_SetItem(options.get(), exist_ok_name.get(), Py_True));
    Ref mkdir = get_attr(out, mkdir_name);
    Ref no_args = own(PyTuple_New(0));
    own(PyObject_Call(mkdir.get(), no_args.get(), options.get()));
}

// The bytes of a path for the system calls: os.fspath(), then the file system encoding.
std::string system_path(PyObject* path) {
    Ref text = own(PyOS_FSPath(path));
    Ref bytes = own(PyUnicode_EncodeFSDefault(text.get()));
    char* data = nullptr;
    // Without a length, a path with a NUL byte in it is refused rather than cut short.
    check(PyBytes_AsStringAndSize(bytes.get(), &data, nullptr));
    return data;
}

// Raises the OSError that `code` stands for (FileNotFoundError, IsADirectoryError, ...), naming
// the file `shown`, as os functions do.
[[noreturn]] void raise_os_error(int code, PyObject* shown) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown);
    throw_fetched();
}

// A name beside `name` that no other writer picks at the same time: the process and thread IDs
// set apart the writers of one machine, and random bits drawn once per process those of other PID
// namespaces that share the folder. One thread writes one file at a time, so its name comes back
// call after call: Python 3.12's pathlib interns every part of a path for good, and a new name
// per call would grow the process by one string a call.
std::string temporary_name(std::string_view name) {
    static const std::uint64_t process_bits = [] {
        std::uint64_t bits = 0;
        if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) bits = 0;
        return bits;
    }();
    char hex[16];
    const char* end = std::to_chars(hex, hex + sizeof hex, process_bits, 16).ptr;
    return str_cat(".", name, ".", ::getpid(), "-", ::gettid(), "-",
                   std::string_view(hex, end - hex), ".tmp");
}

// A file that is removed again unless it was renamed into place.
class Temporary {
public:
    explicit Temporary(std::string path) : path_(std::move(path)) {}
    ~Temporary() {
        if (!kept_) ::unlink(path_.c_str());
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;

    const char* path() const { return path_.c_str(); }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

// The file `name` of the output directory as messages name it: `shown` when the caller of
// write_whole() has it, otherwise as the caller of materialize_asset spelled the directory.
Ref shown_path(const Workspace& work, Name& name, PyObject* shown) {
    if (shown != nullptr) return Ref::borrow(shown);
    Ref path = call_method(work.out.get(), truediv_name, name.get());
    return own(PyObject_Str(path.get()));
}

// Writes `text` as the file `name` of the output directory, whole: path.write_text(text, "utf-8")
// writes a temporary file beside it, which is then renamed over the final name. A process that
// dies at any point leaves the old file or the new one, never a part of either, and two writers
// of one folder never mix their bytes; a failed write leaves the old file and removes the
// temporary. There is no fsync: the files must be whole when the process dies, not survive a
// power cut, and a flush to the disk would cost each run more than the rest of its writing.
// An error names the final file (see shown_path), never the temporary one.
void write_whole(const Workspace& work, Name& name, PyObject* text, PyObject* shown = nullptr) {
    const std::string final_path = str_cat(work.folder_bytes, "/", name.text());
    Ref temporary_leaf = make_text(temporary_name(name.text()));
    Ref temporary_path = call_method(work.folder.get(), truediv_name, temporary_leaf.get());
    Ref temporary_text = own(PyOS_FSPath(temporary_path.get()));
    Temporary temporary(system_path(temporary_text.get()));
    try {
        call_method(temporary_path.get(), write_text_name, text, utf8_encoding.get());
    } catch (PyError& error) {
        PyObject* raised = error.value();
        if (PyErr_GivenExceptionMatches(raised, PyExc_OSError)) {
            Ref filename = get_attr_or_null(raised, filename_name);
            if (filename && PyUnicode_CheckExact(filename.get()) &&
                PyUnicode_Compare(filename.get(), temporary_text.get()) == 0) {
                Ref final_name = shown_path(work, name, shown);
                check(PyObject_SetAttr(raised, filename_name.get(), final_name.get()));
            }
        }
        throw;
    }
    if (std::rename(temporary.path(), final_path.c_str()) != 0) {
        const int code = errno;
        raise_os_error(code, shown_path(work, name, shown).get());
    }
    temporary.keep();
}

// result.json with the record's compact JSON text.
void write_record(const Workspace& work, JsonObject record) {
    Ref text = json_to_python_text(JsonValue(std::move(record)));
    write_whole(work, result_file, text.get());
}

// The record of an earlier run goes before the user's code runs: should this run die, it must
// not leave a record of success beside whatever it left of its own.
void remove_earlier_record(const Workspace& work) {
    const std::string path = str_cat(work.folder_bytes, "/", result_file.text());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int code = errno;
        raise_os_error(code, shown_path(work, result_file, nullptr).get());
    }
}

// Steps of a run that may fail into the failure record: everything from importing the user's
// module to building the success record.
JsonObject run_asset(const Workspace& work, PyObject* module_name, PyObject* function_name,
                     PyObject* input_kwargs_json) {
    Ref module = call_method(work.importlib.get(), import_module_name, module_name);
    Ref asset = own(PyObject_GetAttr(module.get(), function_name));
    Ref function = original_function(asset.get());

    Ref value;
    if (input_kwargs_json == nullptr) {
        value = call(function.get());
    } else {
        Ref kwargs = call_method(work.json.get(), loads_name, input_kwargs_json);
        to_dict(kwargs.get());
        Ref no_args = own(PyTuple_New(0));
        value = own(PyObject_Call(function.get(), no_args.get(), kwargs.get()));
    }

    Ref value_path = call_method(work.out.get(), truediv_name, value_file.get());
    Ref value_path_text = own(PyObject_Str(value_path.get()));
    // Encoded before anything is written: a value json cannot encode leaves no value.json.
    Ref text = call_method(work.json.get(), dumps_name, value.get());
    write_whole(work, value_file, text.get(), value_path_text.get());

    Ref signature = call_method(work.inspect.get(), signature_name, function.get());
    Ref signature_text = own(PyObject_Str(signature.get()));
    Ref result_type =
        get_attr(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), type_name_attribute);

    JsonObject record;
    record.set("ok", true);
    record.set("artifact_format", "json");
    record.set("value_path", to_text(value_path_text.get()));
    record.set("result_type", to_text(result_type.get()));
    record.set("module_path", to_text(module_name));
    record.set("function_name", to_text(function_name));
    record.set("signature", to_text(signature_text.get()));
    return record;
}

// The name of the exception's type (from PyType_GetName). The record is the only trace the
// failure leaves, so a name that cannot be read is written as a placeholder rather than turning
// into a different error here.
std::string type_text(Ref name) {
    if (!name) {
        PyErr_Clear();
        return "<unknown>";
    }
    return replaced_utf8(name.get()).value_or("<unknown>");
}

// Makes `context` the __context__ of the first exception in the chain of `raised`, as Python does
// when the exceptions of that chain are raised while `context` is handled. The first, because a
// write error often comes with a context of its own: a failed close() chains the failed flush.
// A chain that holds `context` already, or that loops, is left as it is.
void chain_context(PyObject* raised, PyObject* context) {
    constexpr int longest_chain = 100;
    Ref link = Ref::borrow(raised);
    for (int i = 0; i < longest_chain && link.get() != context; ++i) {
        Ref next = Ref::steal(PyException_GetContext(link.get()));
        if (!next) {
            PyException_SetContext(link.get(), Ref::borrow(context).release());
            return;
        }
        link = std::move(next);
    }
}

// Records the caught exception in result.json and ends the worker with sys.exit(1), whose
// SystemExit carries the caught exception as its __context__ (what `except Exception:
// sys.exit(1)` gives in Python), so that the worker can show the asset's traceback. Should the
// record itself not be written, that write's exception goes to the caller instead (sys.exit is
// not called), with the asset's own exception as its __context__ so that it is not lost.
Ref fail_run(const Workspace& work, const PyError& caught) {
    JsonObject record;
    record.set("ok", false);
    record.set("error", exception_text(caught.value(), ExceptionTextFor::record));
    record.set("error_type", type_text(Ref::steal(PyType_GetName(Py_TYPE(caught.value())))));
    try {
        write_record(work, std::move(record));
    } catch (PyError& write_error) {
        chain_context(write_error.value(), caught.value());
        throw;
    }
    Ref sys = import_module(sys_name);
    Ref one = own(PyLong_FromLong(1));
    try {
        call_method(sys.get(), exit_name, one.get());
    } catch (PyError& stop) {
        chain_context(stop.value(), caught.value());
        throw;
    }
    // A sys.exit that returns ends the call normally.
    return Ref::borrow(Py_None);
}

Ref materialize_asset_function(PyObject*, const FastArgs& call) {
    auto args = bind(materialize_asset_signature, call);
    args.convert(0, to_text);
    args.convert(1, to_text);
    args.convert(2, to_text);
    PyObject* input_kwargs_json = args.convert(3, to_optional_text) ? args[3] : nullptr;

    // Failures up to the output directory's existence go straight to the caller: there is no
    // place yet for a record.
    Workspace work;
    work.importlib = import_module(importlib_name);
    work.inspect = import_module(inspect_name);
    work.json = import_module(json_name);
    Ref pathlib = import_module(pathlib_name);
    work.out = call_method(pathlib.get(), path_name, args[2]);
    make_directory(work.out.get());
    work.folder = call_method(work.out.get(), absolute_name);
    work.folder_bytes = system_path(work.folder.get());
    remove_earlier_record(work);

    // Whatever ends the run takes the failure path, a PanicException included (from the asset,
    // or a fault of this module's own). The failure is recorded outside the handler: recording
    // runs Python code of its own.
    std::optional<PyError> failure;
    try {
        JsonObject record = run_asset(work, args[0], args[1], input_kwargs_json);
        write_record(work, std::move(record));
    } catch (...) {
        failure.emplace(current_error());
    }
    if (failure) return fail_run(work, *failure);
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef materialize_asset_method =
    fastcall_method<materialize_asset_function>("materialize_asset", materialize_asset_doc);

}  // namespace quarl
