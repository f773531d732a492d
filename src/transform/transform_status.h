#pragma once
// Results of the transforms (MDCT, inverse MDCT, spectrum).

namespace tarn {

constexpr int TRANSFORM_OK = 0;
constexpr int TRANSFORM_ERR_SIZE = -1;       // length the transform cannot take
constexpr int TRANSFORM_ERR_NO_MEMORY = -2;  // scratch or FFT plan could not be allocated
constexpr int TRANSFORM_ERR_NOT_READY = -3;  // scratch not set up for this length by its init

}  // namespace tarn
