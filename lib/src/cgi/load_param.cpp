#include "cgi/lpr_cgi.h"

// Kept in the interface for hosts that call it; the settings now come from the cache.
void load_lpr_param(char* /*sBuffer*/, int /*buffSize*/) {}
