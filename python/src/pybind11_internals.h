// The module's casters, fast calls and array results use pybind11's internal namespace (type
// records, value-and-holder, caster bases, the NumPy API table), which carries no promise between
// releases. They were written and tested against pybind11 2.13.6, which requirements.txt,
// pyproject.toml and CMakeLists.txt pin; another release stops the build here, so that what they
// rely on is checked again (the fast-call and hostile-argument tests) before the pin moves.
#pragma once

#include <pybind11/pybind11.h>

static_assert(
    PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 13 && PYBIND11_VERSION_PATCH == 6,
    "the module's use of pybind11's internals was written for pybind11 2.13.6: check "
    "fast_call.h, construction.h, float_array.h and the argument casters, then move the pin");
