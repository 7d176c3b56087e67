// placeholder until the pool lands
#include "faidx/pool.hpp"
