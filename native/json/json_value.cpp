#include "json/json_value.hpp"

#include <algorithm>

namespace quarl {
namespace {

bool key_less(const JsonObject::Member& a, const JsonObject::Member& b) {
    return a.first < b.first;
}

}  // namespace

void JsonObject::set(std::string key, JsonValue value) {
    auto at = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const Member& m, const std::string& k) { return m.first < k; });
    if (at != members_.end() && at->first == key) {
        at->second = std::move(value);
    } else {
        members_.emplace(at, std::move(key), std::move(value));
    }
}

const JsonValue* JsonObject::find(std::string_view key) const {
    auto at = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const Member& m, std::string_view k) { return m.first < k; });
    return at != members_.end() && at->first == key ? &at->second : nullptr;
}

std::optional<std::string_view> JsonValue::text() const noexcept {
    if (const auto* plain = std::get_if<std::string>(&storage_)) return *plain;
    if (const auto* shared = std::get_if<SharedText>(&storage_)) return shared->text();
    return std::nullopt;
}

bool JsonValue::operator==(const JsonValue& other) const {
    const auto mine = text();
    const auto theirs = other.text();
    if (mine || theirs) return mine == theirs;
    return storage_ == other.storage_;
}

bool JsonObject::operator==(const JsonObject& other) const { return members_ == other.members_; }

JsonObject JsonObject::from_unsorted(std::vector<Member> members) {
    std::stable_sort(members.begin(), members.end(), key_less);
    // Of each run of equal keys keep the last, as a later member overrides an earlier one.
    auto out = members.begin();
    for (auto it = members.begin(); it != members.end(); ++it) {
        auto next = std::next(it);
        if (next != members.end() && next->first == it->first) continue;
        if (out != it) *out = std::move(*it);
        ++out;
    }
    members.erase(out, members.end());
    JsonObject object;
    object.members_ = std::move(members);
    return object;
}

}  // namespace quarl
