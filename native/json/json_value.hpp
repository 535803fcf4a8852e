// JsonValue: the module's JSON document model. Objects keep their members sorted by key bytes,
// each key once, so every object writes out in key order whatever order it was built in.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quarl {

class JsonValue;
using JsonArray = std::vector<JsonValue>;

class JsonObject {
public:
    using Member = std::pair<std::string, JsonValue>;

    // Inserts the member, or replaces the value of an existing key.
    void set(std::string key, JsonValue value);
    const JsonValue* find(std::string_view key) const;
    const std::vector<Member>& members() const { return members_; }
    std::size_t size() const;
    bool operator==(const JsonObject&) const;

    // Builds an object from members in any order; of a repeated key the last one stays.
    static JsonObject from_unsorted(std::vector<Member> members);

private:
    std::vector<Member> members_;  // sorted by key bytes, unique keys
};

// An integer outside both 64-bit ranges, kept as its exact decimal text (with "-" if negative).
struct BigInteger {
    std::string digits;
    bool operator==(const BigInteger&) const = default;
};

// A JSON string held once however many values repeat it. A document that carries the same long
// text in many places (the inspector's report holds a module's whole source in every record of
// the module) would otherwise hold one copy per place; the text is written out each time all the
// same. It compares by its characters, and equals a plain string value with the same ones.
class SharedText {
public:
    explicit SharedText(std::string text)
        : text_(std::make_shared<const std::string>(std::move(text))) {}
    // Copied, never moved: a moved-from SharedText would hold no text at all.
    SharedText(const SharedText&) noexcept = default;
    SharedText& operator=(const SharedText&) noexcept = default;

    const std::string& text() const noexcept { return *text_; }
    bool operator==(const SharedText& other) const { return text() == other.text(); }

private:
    std::shared_ptr<const std::string> text_;
};

class JsonValue {
public:
    using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, BigInteger,
                                 double, std::string, SharedText, JsonArray, JsonObject>;

    JsonValue() noexcept : storage_(nullptr) {}
    JsonValue(std::nullptr_t) noexcept : storage_(nullptr) {}
    JsonValue(bool value) noexcept : storage_(value) {}
    JsonValue(std::string value) noexcept : storage_(std::move(value)) {}
    JsonValue(std::string_view value) : storage_(std::string(value)) {}
    JsonValue(const char* value) : storage_(std::string(value)) {}
    JsonValue(JsonArray value) noexcept : storage_(std::move(value)) {}
    JsonValue(JsonObject value) noexcept : storage_(std::move(value)) {}
    JsonValue(BigInteger value) noexcept : storage_(std::move(value)) {}
    JsonValue(const SharedText& value) noexcept : storage_(value) {}

    static JsonValue from_unsigned(std::uint64_t value) { return JsonValue(Storage(value)); }
    // Non-negative values are kept as unsigned, so each integer has one representation.
    static JsonValue from_signed(std::int64_t value) {
        return value < 0 ? JsonValue(Storage(value))
                         : JsonValue(Storage(static_cast<std::uint64_t>(value)));
    }
    static JsonValue from_double(double value) { return JsonValue(Storage(value)); }

    const Storage& storage() const { return storage_; }
    template <class T>
    const T* get_if() const {
        return std::get_if<T>(&storage_);
    }
    // The characters of a string value, whether plain or shared; nothing for other values.
    std::optional<std::string_view> text() const noexcept;
    // Structural equality; a string equals another with the same characters however each is held.
    bool operator==(const JsonValue&) const;

private:
    explicit JsonValue(Storage storage) noexcept : storage_(std::move(storage)) {}
    Storage storage_;
};

// Defined once JsonValue is complete: clang instantiates std::pair<std::string, JsonValue> at the
// point of use, which inside JsonObject's class body is too early.
inline std::size_t JsonObject::size() const { return members_.size(); }

}  // namespace quarl
