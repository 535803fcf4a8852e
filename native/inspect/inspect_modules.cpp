#include "inspect/inspect_modules.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "declare/asset_protocol.hpp"
#include "frame/binder.hpp"
#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "frame/exception_text.hpp"
#include "frame/text.hpp"
#include "json/json_value.hpp"
#include "json/json_writer.hpp"
#include "json/python_json.hpp"

namespace quarl {
namespace {

constexpr const char inspect_modules_doc[] =
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for quarl assets. Called by the `python -m quarl.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__quarl_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

constexpr const char inspect_modules_compact_doc[] =
    "_inspect_modules_compact(modules)\n"
    "--\n"
    "\n"
    "The report of inspect_modules(modules) as the orchestrator reads it: the records\n"
    "leave out `module_source` (the module's source is not read) and carry\n"
    "`function_module`, the `__module__` of the asset's function (null when it cannot\n"
    "be read or is not a str).";

constexpr Signature<1> inspect_modules_signature{"inspect_modules", {"modules"}, 1};
constexpr Signature<1> inspect_modules_compact_signature{
    "_inspect_modules_compact", {"modules"}, 1};

Name importlib_name{"importlib"};
Name inspect_name{"inspect"};
Name textwrap_name{"textwrap"};
Name sys_name{"sys"};
Name pathlib_name{"pathlib"};
Name builtins_name{"builtins"};
Name json_name{"json"};

Name import_module_name{"import_module"};
Name getsource_name{"getsource"};
Name dedent_name{"dedent"};
Name strip_name{"strip"};
Name getmembers_name{"getmembers"};
Name signature_name{"signature"};
Name return_annotation_name{"return_annotation"};
Name signature_class_name{"Signature"};
Name empty_name{"empty"};
Name isinstance_name{"isinstance"};
Name version_info_name{"version_info"};
Name major_name{"major"};
Name minor_name{"minor"};
Name micro_name{"micro"};
Name dunder_name_name{"__name__"};
Name dunder_module_name{"__module__"};

// The standard modules one call works with. json and builtins are needed only once an asset has
// been found, so they are imported then, once per call.
class Context {
public:
    Context()
        : importlib_(import_module(importlib_name)),
          inspect_(import_module(inspect_name)),
          textwrap_(import_module(textwrap_name)),
          sys_(import_module(sys_name)),
          pathlib_(import_module(pathlib_name)) {}

    PyObject* importlib() const { return importlib_.get(); }
    PyObject* inspect() const { return inspect_.get(); }
    PyObject* textwrap() const { return textwrap_.get(); }
    PyObject* sys() const { return sys_.get(); }
    PyObject* pathlib() const { return pathlib_.get(); }
    PyObject* builtins() {
        if (!builtins_) builtins_ = import_module(builtins_name);
        return builtins_.get();
    }
    PyObject* json() {
        if (!json_) json_ = import_module(json_name);
        return json_.get();
    }

private:
    Ref importlib_, inspect_, textwrap_, sys_, pathlib_, builtins_, json_;
};

// "{major}.{minor}.{micro}" of sys.version_info.
std::string python_version(PyObject* sys) {
    Ref info = get_attr(sys, version_info_name);
    std::string version;
    for (Name* part : {&major_name, &minor_name, &micro_name}) {
        Ref number = get_attr(info.get(), *part);
        const long long value = PyLong_AsLongLong(number.get());
        if (value == -1 && PyErr_Occurred()) throw_fetched();
        if (!version.empty()) version.push_back('.');
        version += str_cat(value);
    }
    return version;
}

// The line goes to file descriptor 2 itself, not through sys.stderr, so that it reaches the
// stream the framework reads however the user's code has rebound sys.stderr.
void write_to_stderr(std::string_view text) {
    if (const int code = write_to_fd2(text)) {
        throw Fault(str_cat("writing to standard error failed: ", std::strerror(code)));
    }
}

void report_skipped(const std::string& module, PyObject* exception) {
    write_to_stderr(str_cat("quarl: skipping module '", module,
                            "': ", exception_text(exception, ExceptionTextFor::stream), "\n"));
}

// textwrap.dedent(inspect.getsource(object)).strip() and one newline, copied out of the str once.
std::string source_text(const Context& context, PyObject* object) {
    Ref source = call_method(context.inspect(), getsource_name, object);
    Ref dedented = call_method(context.textwrap(), dedent_name, source.get());
    Ref stripped = call_method(dedented.get(), strip_name);
    const std::string_view text = to_text(stripped.get());
    std::string out;
    out.reserve(text.size() + 1);
    out.append(text);
    out.push_back('\n');
    return out;
}

// null without an annotation, a class's __name__, or str() of anything else.
JsonValue return_type_of(Context& context, PyObject* function) {
    Ref signature = call_method(context.inspect(), signature_name, function);
    Ref annotation = get_attr(signature.get(), return_annotation_name);
    Ref signature_class = get_attr(context.inspect(), signature_class_name);
    Ref empty = get_attr(signature_class.get(), empty_name);
    if (annotation.get() == empty.get()) return nullptr;
    Ref is_class = call_method(context.builtins(), isinstance_name, annotation.get(),
                               reinterpret_cast<PyObject*>(&PyType_Type));
    if (check(PyObject_IsTrue(is_class.get()))) {
        Ref name = get_attr(annotation.get(), dunder_name_name);
        return to_text(name.get());
    }
    Ref text = own(PyObject_Str(annotation.get()));
    return to_text(text.get());
}

// __module__ of the function, which tells the module that defines an asset from the modules that
// import it; null when it cannot be read or is not a str.
JsonValue function_module_of(PyObject* function) {
    Ref module = get_attr_or_null(function, dunder_module_name);
    if (!module || !PyUnicode_Check(module.get())) return nullptr;
    return to_text(module.get());
}

// A record with `module_source`, or, in the compact form (no module source), with
// `function_module` in its place.
JsonObject asset_record(Context& context, PyObject* member, std::string_view module_path,
                        const std::optional<SharedText>& module_source,
                        const std::string& python_version) {
    JsonValue metadata;
    {
        Ref metadata_object = asset_metadata(member);
        metadata = python_to_json_with(context.json(), metadata_object.get(), PyExc_RuntimeError,
                                       "JSON parse error: ");
    }
    Ref original = original_function(member);
    std::string function_source = source_text(context, original.get());
    // file_path and function_name are the parts of the asset's reference, as inputs= spells it.
    std::string name = function_name(original.get());
    JsonValue function_module;
    if (!module_source) function_module = function_module_of(original.get());
    std::string file_path =
        source_file(context.inspect(), context.pathlib(), original.get(), UnknownFile::empty);
    JsonValue return_type = return_type_of(context, original.get());

    JsonObject record;
    record.set("decorator_metadata", std::move(metadata));
    record.set("file_path", std::move(file_path));
    record.set("function_name", std::move(name));
    record.set("function_source", std::move(function_source));
    record.set("kind", "asset");
    record.set("module_path", module_path);
    if (module_source) {
        record.set("module_source", *module_source);
    } else {
        record.set("function_module", std::move(function_module));
    }
    record.set("python_version", python_version);
    record.set("return_type", std::move(return_type));
    return record;
}

// The asset records found so far, and about how long their text will be: the writer's buffer is
// reserved once from it, since growing a buffer of many megabytes step by step costs as much as
// writing it.
struct Records {
    JsonArray assets;
    std::size_t text_size = 0;

    void add(JsonObject record) {
        for (const auto& [key, value] : record.members()) {
            text_size += key.size() + 8;
            if (const auto text = value.text()) text_size += text->size();
        }
        text_size += 256;  // the metadata object
        assets.push_back(std::move(record));
    }
};

// Appends a record for every asset among the module's members; a module that cannot be imported
// is reported on standard error and contributes nothing.
void inspect_module(Context& context, const std::string& name, bool compact,
                    const std::string& python_version, Records& records) {
    Ref name_object = make_text(name);
    Ref module;
    try {
        module = call_method(context.importlib(), import_module_name, name_object.get());
    } catch (PyError& error) {
        // A module that ends its import by sys.exit() (a script, argparse at import) fails to
        // import like any other; only an interrupt ends the inspection.
        if (error.is_instance_of(PyExc_KeyboardInterrupt)) throw;
        report_skipped(name, error.value());
        return;
    }
    // Every record of the module carries its whole source: held once, written out per record. The
    // compact form never reads it.
    std::optional<SharedText> module_source;
    if (!compact) module_source.emplace(source_text(context, module.get()));
    Ref module_name = get_attr(module.get(), dunder_name_name);
    const std::string_view module_path = to_text(module_name.get());

    Ref members = call_method(context.inspect(), getmembers_name, module.get());
    Ref iterator = own(PyObject_GetIter(members.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(item.get())) raise_cannot_convert(item.get(), "PyTuple");
        // Borrowed from the tuple, which `item` keeps alive and nothing can change.
        PyObject* member = check(PyTuple_GetItem(item.get(), 1));
        if (!is_asset(member)) continue;
        records.add(asset_record(context, member, module_path, module_source, python_version));
    }
    if (PyErr_Occurred()) throw_fetched();
}

// The report on `modules`, in full or in the compact form.
Ref report(const std::vector<std::string>& modules, bool compact) {
    Context context;
    const std::string version = python_version(context.sys());

    // A large project's report runs to many megabytes: the tree (small, as the module sources in
    // it are shared) is gone before the str is made from the text, so at most two copies of the
    // report are alive at any time.
    std::string text;
    {
        Records records;
        for (const std::string& name : modules) {
            inspect_module(context, name, compact, version, records);
        }
        // Escapes lengthen the text a little: newlines and quotes in the sources.
        text.reserve(records.text_size + records.text_size / 8 + 64);
        JsonObject report;
        report.set("assets", std::move(records.assets));
        write_json(JsonValue(std::move(report)), text);
    }
    return make_text(text);
}

Ref inspect_modules_function(PyObject*, const FastArgs& call) {
    auto args = bind(inspect_modules_signature, call);
    return report(args.convert(0, to_text_list), false);
}

// The orchestrator's form of the report, a function of its own so that inspect_modules keeps its
// one parameter.
Ref inspect_modules_compact_function(PyObject*, const FastArgs& call) {
    auto args = bind(inspect_modules_compact_signature, call);
    return report(args.convert(0, to_text_list), true);
}

}  // namespace

PyMethodDef inspect_modules_method =
    fastcall_method<inspect_modules_function>("inspect_modules", inspect_modules_doc);
PyMethodDef inspect_modules_compact_method = fastcall_method<inspect_modules_compact_function>(
    "_inspect_modules_compact", inspect_modules_compact_doc);

}  // namespace quarl
