// Moving text between Python str objects and UTF-8 in C++.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "frame/ref.hpp"

namespace quarl {

// A new str from UTF-8. Lone surrogates written by surrogate_text() come back unchanged.
Ref make_text(std::string_view utf8);
// The UTF-8 of a str, lone surrogates kept (for messages that quote user text verbatim).
std::string surrogate_text(PyObject* str);
// The UTF-8 of a str with every character UTF-8 cannot hold (lone surrogates) replaced by '?', for
// text that must be valid UTF-8 whatever it quotes; nothing when even that fails (the error is
// dropped, whatever it was).
std::optional<std::string> replaced_utf8(PyObject* str);
// The __name__ of an object's type, for messages.
std::string type_name(PyObject* object);

// Concatenates strings, string views, characters and integers.
template <class... Parts>
std::string str_cat(const Parts&... parts) {
    std::string out;
    auto append = [&out](const auto& part) {
        using T = std::decay_t<decltype(part)>;
        if constexpr (std::is_same_v<T, char>) {
            out.push_back(part);
        } else if constexpr (std::is_integral_v<T>) {
            char buffer[24];
            auto end = std::to_chars(buffer, buffer + sizeof buffer, part).ptr;
            out.append(buffer, end);
        } else {
            out.append(std::string_view(part));
        }
    };
    (append(parts), ...);
    return out;
}

}  // namespace quarl
