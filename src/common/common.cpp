// The process-wide program name.
#include "common/common.hpp"

namespace serterm {

const char* progname = "serterm";

} // namespace serterm
