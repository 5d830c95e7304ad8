#include "radius.hpp"

#include "errors.hpp"

namespace plovik {

RadiusResult query_radius(const RustLshIndex&, const QueryBatch&, double) {
  throw Panic("query_radius is not available yet");
}

}  // namespace plovik
