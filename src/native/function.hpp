// The function-like native callable every module function is made of:
// `inspect` reads its signature, annotations and defaults as it reads a
// Python function's, and it binds arguments with the same errors.
#pragma once
#include "state.hpp"

#include <span>

namespace qt {

enum class ParamKind { PositionalOrKeyword, KeywordOnly };
enum class Default { Required, None, True, Float6 };

struct Param {
    const char* name;
    const char* annotation;  // source text, or nullptr for none
    ParamKind kind;
    Default default_;
};

// The implementation receives exactly one borrowed object per parameter,
// defaults already applied, and returns a new reference, Ref::error() or
// throws.
using Impl = Ref (*)(const Call& c, PyObject* const* args);

struct FunctionDef {
    const char* name;
    const char* qualname;           // usually the name; "Class.prop" for accessors
    std::span<const Param> params;  // a Param array: its size is the count
    const char* return_annotation;  // source text, or nullptr
    const char* doc;                // nullptr gives __doc__ None
    Impl impl;
};

// Create the native function type for a module (in the exec slot).
PyObject* make_function_type(PyObject* module);
// Create one function object bound to the module.
Ref make_function(PyObject* module, const FunctionDef& fdef);

}  // namespace qt
