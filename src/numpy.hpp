// The one way this module includes NumPy's C API. decode.cpp owns the API table (it defines
// ENGINE_NUMPY_API_OWNER before including this); every other file sees the same table as extern.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL engine_ARRAY_API
#ifndef ENGINE_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace engine {

// Imports NumPy's C API on first call; later calls are free. Needs the interpreter lock. On failure
// returns false with the import's own exception set, and the next call tries again.
bool numpy_ready();

}  // namespace engine
