// The RustEngineAsync class: construction, lifecycle methods and the commands.
#pragma once

#include <Python.h>

namespace engine {

// The class's type object, built on first call and kept for the life of the process.
// Returns a borrowed reference, or null with an exception set.
PyObject* engine_type();

}  // namespace engine
