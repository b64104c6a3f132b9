#pragma once
#include "tamsel.h"

namespace tamsel {

// The code object for the source text `source` (whose UTF-8 is `text`),
// compiled as exec() compiles a string, from the cache when it was compiled
// before.
PyObject* compiled_code(PyObject* source, const char* text, PyCompilerFlags* flags);

}  // namespace tamsel
