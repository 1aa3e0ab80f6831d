// PLACEHOLDER: replaced by the real reader and writer.
#include "support/json.hpp"
