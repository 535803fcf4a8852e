// The argument binder: one constant Signature per module function, and bind(), which fills one
// borrowed slot per parameter from a fast call or throws the exact TypeError. Converting a bound
// slot goes through Arguments::convert, the one place where a conversion TypeError is re-raised
// as "argument '{}': {}".
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "frame/guard.hpp"

namespace quarl {

struct SignatureView {
    const char* function;                       // as the messages name it: "{function}()"
    std::span<const char* const> positional;    // may be given by position or keyword
    std::size_t required;                       // leading positional parameters without default
    std::span<const char* const> keyword_only;  // none of this module's are required
};

template <std::size_t P, std::size_t K = 0>
struct Signature {
    static constexpr std::size_t size = P + K;
    const char* function;
    std::array<const char*, P> positional;
    std::size_t required;
    std::array<const char*, K> keyword_only{};

    SignatureView view() const { return {function, positional, required, keyword_only}; }
};

// Binds the call into `slots` (positional parameters first, then keyword-only ones); a slot that
// stays NULL was not given.
void bind_into(const SignatureView& signature, const FastArgs& call, PyObject** slots);

// Re-raises a conversion failure of the argument `name`: a TypeError becomes a new TypeError
// "argument '{name}': {message}" that keeps the first error's cause; other errors pass unchanged.
[[noreturn]] void reraise_for_argument(const char* name, PyError&& error);

template <std::size_t N>
class Arguments {
public:
    Arguments(std::array<const char*, N> names, std::array<PyObject*, N> slots)
        : names_(names), slots_(slots) {}

    // The bound object (borrowed), or NULL when the argument was not given.
    PyObject* operator[](std::size_t i) const { return slots_[i]; }

    // Runs `converter` on slot i; a failure is reported against the parameter's name.
    template <class Converter>
    auto convert(std::size_t i, Converter&& converter) const {
        try {
            return std::forward<Converter>(converter)(slots_[i]);
        } catch (PyError& error) {
            reraise_for_argument(names_[i], std::move(error));
        }
    }

private:
    std::array<const char*, N> names_;
    std::array<PyObject*, N> slots_;
};

template <std::size_t P, std::size_t K>
Arguments<P + K> bind(const Signature<P, K>& signature, const FastArgs& call) {
    std::array<const char*, P + K> names{};
    for (std::size_t i = 0; i < P; ++i) names[i] = signature.positional[i];
    for (std::size_t i = 0; i < K; ++i) names[P + i] = signature.keyword_only[i];
    std::array<PyObject*, P + K> slots{};
    bind_into(signature.view(), call, slots.data());
    return Arguments<P + K>(names, slots);
}

}  // namespace quarl
