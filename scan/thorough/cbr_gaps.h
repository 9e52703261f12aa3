// The most frequent start gaps of a thorough scan: the list the gap analysis
// (cbr_gaps.cpp) keeps in the store and logs.
#pragma once

#include <cstdint>
#include <vector>

#include "scan/thorough/cbr_store.h"

constexpr size_t CBR_GAP_LIST_MAX = 32;

// Adds a gap value seen `count` times to a list ordered by count, largest
// first, of at most CBR_GAP_LIST_MAX entries:
// - a value not in the list goes before the first entry with a smaller count
//   (after those with the same count); a full list drops its last entry for
//   it, and a value that would come after the last place is not added;
// - a value already in the list has its count raised by 1 (not by `count`)
//   and moves ahead of the entries whose count is now smaller.
void cbr_gap_list_add(std::vector<cbr_gap_count> *list, uint64_t value, uint64_t count);
