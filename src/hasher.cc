#include "hasher.h"

namespace quenlordb {

std::shared_ptr<const Hasher> build_hasher() { return std::make_shared<FnvMixHasher>(); }

}  // namespace quenlordb
