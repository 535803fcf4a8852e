// AssetMetadata: what asset(...) was told, as each AssetWrapper keeps it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frame/ref.hpp"
#include "json/json_value.hpp"

namespace quarl {

struct PartitionDimension {
    std::string name;
    JsonArray values;
    std::string values_json;  // the compact JSON text of `values`, written once
};

// Maps keep the order of the dict the user passed, so the metadata reads back the same way.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    std::optional<std::vector<std::pair<std::string, std::string>>> inputs;  // parameter -> ref
    std::optional<std::vector<PartitionDimension>> partitions;
};

// The Python view: a new dict {"kind", "name", "serializer", "inputs", "partitions"}.
Ref metadata_to_python(const AssetMetadata& metadata);

}  // namespace quarl
