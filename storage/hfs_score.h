// Plausibility scores for the first sector of an HFS-family volume: the HFS+
// (or HFSX) volume header and the HFS master directory block, both found
// 1024 bytes into the volume.
//
// Each check adds its weight when it passes and subtracts it when it fails.
// A score is packed into 32 bits: the signed score in the low 16 bits and the
// sum of the weights of the checks made (the largest score possible) in the
// high 16 bits. The packed value is positive whenever any check was made, so
// callers must look at the signed half: hfs_score_value(s) > 0.
#pragma once

#include <cstdint>

// Scores 512 bytes as an HFS+/HFSX volume header; the maximum is 56.
uint32_t hfsplus_header_score(const uint8_t *bytes);

// Scores 512 bytes as an HFS master directory block; the maximum is 41, or
// the whole result is 0 (score 0 of 0) when the signature "BD" is missing.
uint32_t hfs_mdb_score(const uint8_t *bytes);

// The signed score of a packed result.
inline int hfs_score_value(uint32_t packed) { return int16_t(uint16_t(packed & 0xFFFFu)); }

// The largest score the checks made could have given.
inline int hfs_score_max(uint32_t packed) { return int(packed >> 16); }
