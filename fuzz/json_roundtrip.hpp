// What must hold for any input of the JSON parser, shared by the fuzz target and the suite check:
// the text either parses, or fails with one of the parser's descriptions; and a tree that parsed
// writes out to a text that parses back to the same tree and writes out the same again.
#pragma once

#include <array>
#include <exception>
#include <string>
#include <string_view>

#include "json/json_parser.hpp"
#include "json/json_writer.hpp"

namespace quarl::fuzz {

// The messages that a description may begin with.
inline constexpr std::array<std::string_view, 21> parse_messages = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "expected `\"`",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

// Whether `text` is a non-empty run of decimal digits without a superfluous leading zero.
inline bool is_decimal(std::string_view text) {
    if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Whether `description` is "{message} at line {L} column {C}" with a known message and L >= 1.
inline bool is_known_description(std::string_view description) {
    for (const std::string_view message : parse_messages) {
        if (!description.starts_with(message)) continue;
        std::string_view rest = description.substr(message.size());
        constexpr std::string_view at_line = " at line ";
        constexpr std::string_view column = " column ";
        if (!rest.starts_with(at_line)) continue;
        rest.remove_prefix(at_line.size());
        const std::size_t split = rest.find(column);
        if (split == std::string_view::npos) continue;
        const std::string_view line = rest.substr(0, split);
        if (is_decimal(line) && line != "0" && is_decimal(rest.substr(split + column.size()))) {
            return true;
        }
    }
    return false;
}

struct Outcome {
    bool parsed = false;
    std::string description;  // of the parse failure, when the text did not parse
    std::string problem;      // empty when everything held
};

inline Outcome check_text(std::string_view text) {
    Outcome outcome;
    JsonValue tree;
    try {
        tree = parse_json(text);
    } catch (const JsonParseError& error) {
        outcome.description = error.what();
        if (!is_known_description(outcome.description)) {
            outcome.problem = "unknown description: " + outcome.description;
        }
        return outcome;
    }
    outcome.parsed = true;

    const std::string written = write_json(tree);
    JsonValue reread;
    try {
        reread = parse_json(written);
    } catch (const JsonParseError& error) {
        outcome.problem =
            "the written text does not parse (" + std::string(error.what()) + "): " + written;
        return outcome;
    }
    if (!(reread == tree)) {
        outcome.problem = "the written text parses to another tree: " + written;
    } else if (const std::string rewritten = write_json(reread); rewritten != written) {
        outcome.problem =
            "writing the re-parsed tree gives another text: " + written + " then " + rewritten;
    }
    return outcome;
}

}  // namespace quarl::fuzz
