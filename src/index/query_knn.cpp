#include "knn.hpp"

#include "errors.hpp"

namespace plovik {

KnnResult query_knn(const RustLshIndex&, const QueryBatch&, std::size_t) {
  throw Panic("query_knn is not available yet");
}

}  // namespace plovik
