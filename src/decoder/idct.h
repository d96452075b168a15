// The 8 x 8 integer inverse DCT and the storing of its results into a plane.
#pragma once

#include <cstdint>

namespace quorin::decoder {

// In place: 64 dequantised coefficients (natural order, -2048..2047) become 64 sample
// differences in -256..255.
void InverseDct(int16_t* block);

// Fills the block with the transform of a block whose only non-zero coefficient is the DC.
void InverseDctDcOnly(int16_t* block);

// Intra: dst = clip(value + 128); non-intra: dst = clip(dst + value).
void StoreIntraBlock(const int16_t* block, uint8_t* dst, int stride);
void AddBlock(const int16_t* block, uint8_t* dst, int stride);

} // namespace quorin::decoder
