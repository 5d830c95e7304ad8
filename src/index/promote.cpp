#include "promote.hpp"

#include "errors.hpp"

namespace plovik {

void promote(RustLshIndex&, Array<double>, std::size_t, std::size_t) {
  throw Panic("promote is not available yet");
}

}  // namespace plovik
