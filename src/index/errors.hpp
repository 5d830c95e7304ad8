// Exceptions the engine throws; the binding maps each kind to one Python
// exception (see src/binding/runtime/exceptions.cpp).
#pragma once

#include <stdexcept>
#include <string>

namespace plovik {

// A violated internal precondition (a length or an index out of range).
// Reported to Python as PanicException; the index stays usable.
struct Panic : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Input the engine refuses before changing anything. Reported as ValueError.
struct InvalidArgument : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

}  // namespace plovik
