// `mattivo info`: what the plug-in describes, as a host sees it.
#pragma once

#include "options.h"

namespace mattivo {
int run_info(const InfoOptions& options);
}
