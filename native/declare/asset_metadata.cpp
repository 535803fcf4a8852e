#include "declare/asset_metadata.hpp"

#include "frame/call.hpp"
#include "frame/text.hpp"

namespace quarl {
namespace {

Name kind_key{"kind"};
Name name_key{"name"};
Name serializer_key{"serializer"};
Name inputs_key{"inputs"};
Name partitions_key{"partitions"};
Name values_json_key{"values_json"};
Name asset_text{"asset"};
Name inline_text{"inline"};

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    check(PyDict_SetItem(dict, key, value));
}

Ref optional_text(const std::optional<std::string>& text) {
    return text ? make_text(*text) : Ref::borrow(Py_None);
}

Ref inputs_to_python(const std::vector<std::pair<std::string, std::string>>& inputs) {
    Ref dict = own(PyDict_New());
    for (const auto& [parameter, reference] : inputs) {
        Ref key = make_text(parameter);
        set_item(dict.get(), key.get(), make_text(reference).get());
    }
    return dict;
}

Ref partitions_to_python(const std::vector<PartitionDimension>& dimensions) {
    Ref dict = own(PyDict_New());
    for (const PartitionDimension& dimension : dimensions) {
        Ref entry = own(PyDict_New());
        set_item(entry.get(), kind_key.get(), inline_text.get());
        set_item(entry.get(), values_json_key.get(), make_text(dimension.values_json).get());
        set_item(dict.get(), make_text(dimension.name).get(), entry.get());
    }
    return dict;
}

}  // namespace

Ref metadata_to_python(const AssetMetadata& metadata) {
    Ref dict = own(PyDict_New());
    set_item(dict.get(), kind_key.get(), asset_text.get());
    set_item(dict.get(), name_key.get(), optional_text(metadata.name).get());
    set_item(dict.get(), serializer_key.get(), optional_text(metadata.serializer).get());
    set_item(dict.get(), inputs_key.get(),
             (metadata.inputs ? inputs_to_python(*metadata.inputs) : Ref::borrow(Py_None)).get());
    set_item(
        dict.get(), partitions_key.get(),
        (metadata.partitions ? partitions_to_python(*metadata.partitions) : Ref::borrow(Py_None))
            .get());
    return dict;
}

}  // namespace quarl
