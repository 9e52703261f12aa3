// Start-gap analysis of a thorough scan.
#include "scan/thorough/cbr_store.h"

int cbr_analyse_gaps(fs_record *) { return 0; }
