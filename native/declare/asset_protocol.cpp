#include "declare/asset_protocol.hpp"

#include "frame/call.hpp"
#include "frame/convert.hpp"
#include "frame/text.hpp"

namespace quarl {
namespace {

Name kind_name{kind_attribute};
Name metadata_name{metadata_attribute};
Name original_name{original_attribute};
Name name_name{"__name__"};
Name inspect_name{"inspect"};
Name pathlib_name{"pathlib"};
Name getsourcefile_name{"getsourcefile"};
Name path_name{"Path"};
Name resolve_name{"resolve"};

}  // namespace

bool is_asset(PyObject* object) {
    Ref kind = get_attr_or_null(object, kind_name);
    return kind && PyUnicode_Check(kind.get()) &&
           PyUnicode_CompareWithASCIIString(kind.get(), asset_kind) == 0;
}

Ref original_function(PyObject* object) {
    Ref function = get_attr_or_null(object, original_name);
    if (!function) function = Ref::borrow(object);
    return function;
}

Ref asset_metadata(PyObject* asset) { return get_attr(asset, metadata_name); }

std::string source_file(PyObject* inspect, PyObject* pathlib, PyObject* function,
                        UnknownFile unknown) {
    Ref file;
    try {
        file = call_method(inspect, getsourcefile_name, function);
    } catch (PyError& error) {
        if (unknown == UnknownFile::raise || !may_discard(error)) throw;
        return {};
    }
    Ref path = call_method(pathlib, path_name, file.get());
    Ref resolved = call_method(path.get(), resolve_name);
    Ref text = own(PyObject_Str(resolved.get()));
    return std::string(to_text(text.get()));
}

std::string function_name(PyObject* function) {
    Ref name = get_attr(function, name_name);
    return std::string(to_text(name.get()));
}

std::string asset_reference(PyObject* asset) {
    Ref function = original_function(asset);
    Ref inspect = import_module(inspect_name);
    Ref pathlib = import_module(pathlib_name);
    std::string reference =
        source_file(inspect.get(), pathlib.get(), function.get(), UnknownFile::raise);
    reference.push_back(':');
    reference += function_name(function.get());
    return reference;
}

}  // namespace quarl
