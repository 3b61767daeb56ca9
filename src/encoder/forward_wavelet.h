// Forward wavelet analysis: the inverse of the decoder's synthesis.
//
// In one dimension the synthesis is
//   x[2k]   = a[k] - (d[k-1] + d[k]) / 2      (d[-1] taken as d[0])
//   x[2k+1] = d[k] + (a[k] + a[k+1]) / 2      (a[n] taken as a[n-1])
// Its inverse is not a short filter: eliminating d leaves a tridiagonal
// system in a, solved exactly here in real arithmetic, rows then columns,
// finest level first. The decoder's integer shifts round every contribution
// down, so analyse_refined corrects the real analysis against the integer
// synthesis itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/raw_vector.h"

namespace qzr::enc {

// Splits a width x height plane (row-major; width and height positive
// multiples of 2^levels, levels >= 1) into the band layout: band 0 first, then
// the three detail bands of each level, coarsest first; quarter 2 of every
// level column by column. `coefficients` holds width x height values.
void analyse(std::span<const float> samples, std::span<float> coefficients, int width, int height, int levels);

// Working storage of an analysis, kept by a caller that analyses often.
struct AnalysisScratch {
  RawVector<float> rows, cols, approximation;
};

// The same, adding the coefficients to those already in `coefficients`.
void analyse_adding(std::span<const float> samples, std::span<float> coefficients, int width, int height, int levels,
                    AnalysisScratch& scratch);

// The coefficients, rounded to integers, that inverse_wavelet turns into
// `target` most closely: the real analysis, then `iterations` rounds of
// analysing what the integer synthesis still misses and adding it.
RawVector<float> analyse_refined(std::span<const float> target, int width, int height, int levels, int iterations);

// Energy (sum of squared synthesis weights) of one coefficient of each band
// away from the borders, indexed by band index: how much a unit error in that
// band adds to the squared error of the plane.
std::vector<double> band_energies(int levels);

// In one dimension, the overlap (inner product) of the synthesis weights of
// a coefficient of the j-th level from the finest (j = 1) with those of its
// neighbour in the band, over their own energy: 1/6 at the finest level. A
// neighbour's weights lie 2^j samples on, and no further one's reach. In
// two dimensions a band's neighbours overlap by these and their products
// (the diagonal ones): how the error of one coefficient adds to another's in
// the synthesised plane. The finest level's detail bands overlap no other
// band (its high-pass weights are orthogonal to every low-pass one); the
// coarser bands overlap each other's a little too.
double neighbour_overlap(int j, bool high);

}  // namespace qzr::enc
