#include "update.hpp"

#include "errors.hpp"

namespace plovik {

void update(RustLshIndex&, Array<double>) {
  throw Panic("update is not available yet");
}

}  // namespace plovik
