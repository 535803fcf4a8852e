#include "materialize/materialize_asset.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "frame/binder.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
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
Name write_text_name{"write_text"};
Name exit_name{"exit"};
Name original_name{"__quarl_original__"};
Name type_name_attribute{"__name__"};
Name parents_name{"parents"};
Name exist_ok_name{"exist_ok"};

// Constant argument texts; interned once like the names above.
Name result_file{"result.json"};
Name value_file{"value.json"};
Name utf8_encoding{"utf-8"};

constexpr const char str_failed[] = "<exception str() failed>";

// What a run needs from the preparation: the modules, as they stood when the call began, and the
// two paths of the output directory.
struct Workspace {
    Ref importlib;
    Ref inspect;
    Ref json;
    Ref out;
    Ref result_path;
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

// path.write_text(text, "utf-8") with the record's compact JSON text; the return value is unused.
void write_record(PyObject* path, JsonObject record) {
    Ref text = json_to_python_text(JsonValue(std::move(record)));
    call_method(path, write_text_name, text.get(), utf8_encoding.get());
}

// Steps of a run that may fail into the failure record: everything from importing the user's
// module to building the success record.
JsonObject run_asset(const Workspace& work, PyObject* module_name, PyObject* function_name,
                     PyObject* input_kwargs_json) {
    Ref module = call_method(work.importlib.get(), import_module_name, module_name);
    Ref asset = own(PyObject_GetAttr(module.get(), function_name));
    // A decorated asset runs undecorated; anything without the attribute is run as it is, so
    // every failure of this lookup is discarded on purpose.
    Ref function = get_attr_or_null(asset.get(), original_name);
    if (!function) function = Ref::borrow(asset.get());

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
    // Encoded before anything is written: a value json cannot encode leaves no value.json.
    Ref text = call_method(work.json.get(), dumps_name, value.get());
    call_method(value_path.get(), write_text_name, text.get(), utf8_encoding.get());

    Ref value_path_text = own(PyObject_Str(value_path.get()));
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

// UTF-8 of a str with every character UTF-8 cannot hold (lone surrogates) replaced by '?', so the
// failure record can always be written; nothing when even that fails.
std::optional<std::string> replaced_utf8(PyObject* str) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// A name of the exception's type (from PyType_GetQualName or PyType_GetName). The record is the
// only trace the failure leaves, so a name that cannot be read is written as a placeholder rather
// than turning into a different error here.
std::string type_text(Ref name) {
    if (!name) {
        PyErr_Clear();
        return "<unknown>";
    }
    return replaced_utf8(name.get()).value_or("<unknown>");
}

// "{type qualname}: {str(e)}", never failing: str(e) runs the exception's own code.
std::string exception_text(PyObject* exception) {
    std::string text = type_text(Ref::steal(PyType_GetQualName(Py_TYPE(exception))));
    text += ": ";
    Ref message = Ref::steal(PyObject_Str(exception));
    std::optional<std::string> utf8;
    if (message) {
        utf8 = replaced_utf8(message.get());
    } else {
        PyErr_Clear();
    }
    text += utf8 ? *utf8 : str_failed;
    return text;
}

// Makes `context` the __context__ of `raised`, as Python does for an exception raised while
// another is handled; an exception that has a context of its own keeps it.
void set_context(PyObject* raised, PyObject* context) {
    Ref own_context = Ref::steal(PyException_GetContext(raised));
    if (!own_context && raised != context) {
        PyException_SetContext(raised, Ref::borrow(context).release());
    }
}

// Records the caught exception in result.json and ends the worker with sys.exit(1), whose
// SystemExit carries the caught exception as its __context__ (what `except Exception:
// sys.exit(1)` gives in Python), so that the worker can show the asset's traceback. Should the
// record itself not be written, that write's exception goes to the caller instead (sys.exit is
// not called), with the asset's own exception as its __context__ so that it is not lost.
Ref fail_run(PyObject* result_path, const PyError& caught) {
    JsonObject record;
    record.set("ok", false);
    record.set("error", exception_text(caught.value()));
    record.set("error_type", type_text(Ref::steal(PyType_GetName(Py_TYPE(caught.value())))));
    try {
        write_record(result_path, std::move(record));
    } catch (PyError& write_error) {
        set_context(write_error.value(), caught.value());
        throw;
    }
    Ref sys = import_module(sys_name);
    Ref one = own(PyLong_FromLong(1));
    try {
        call_method(sys.get(), exit_name, one.get());
    } catch (PyError& stop) {
        set_context(stop.value(), caught.value());
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
    work.result_path = call_method(work.out.get(), truediv_name, result_file.get());

    // The failure is recorded outside the handler: recording runs Python code of its own.
    std::optional<PyError> failure;
    try {
        JsonObject record = run_asset(work, args[0], args[1], input_kwargs_json);
        write_record(work.result_path.get(), std::move(record));
    } catch (PyError& error) {
        failure.emplace(std::move(error));
    }
    if (failure) return fail_run(work.result_path.get(), *failure);
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef materialize_asset_method =
    fastcall_method<materialize_asset_function>("materialize_asset", materialize_asset_doc);

}  // namespace quarl
