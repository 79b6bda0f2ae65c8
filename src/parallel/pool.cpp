#include "parallel/parallel_ordered_map.hpp"

namespace marlinox::parallel {

std::size_t current_num_threads() { return 1; }

}  // namespace marlinox::parallel
