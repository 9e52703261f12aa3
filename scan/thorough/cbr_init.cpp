// Engine start of the thorough-scan component.
#include "scan/thorough/cbr_store.h"

int cbr_init()
{
    return cbr_describe() != nullptr ? 0 : -1;
}

const char *cbr_root_name()
{
    return "Reconstructed Files";
}
