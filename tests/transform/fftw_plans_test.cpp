// The FFT plans tarn makes, against those of the whole FFTW library. The pinned FFTW is built
// with only the codelets these plans use; a plan that changes (a codelet left out that the
// planner would have chosen, a new transform length) shows here first. A plan fixes the
// codelets and the order of every operation, so the same plans give the same bits.
#include <gtest/gtest.h>
#include <fftw3.h>

#include <cstdint>
#include <string>

namespace tarn {
namespace {

// FNV-1a, 64 bits.
uint64_t fnv1a(const std::string& text, uint64_t h = 14695981039346656037ull) {
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// The plan as FFTW prints it, without the suffix of the AVX copy of the vector codelets (the
// same code compiled for AVX), so that every x86-64 CPU and aarch64 print the same.
std::string plan_text(fftw_plan plan) {
  char* printed = fftw_sprint_plan(plan);
  std::string text = printed ? printed : "<none>";
  fftw_free(printed);
  const std::string avx = "_avx\"";
  for (size_t at; (at = text.find(avx)) != std::string::npos;) text.replace(at, avx.size(), "\"");
  return text;
}

struct PlanFamily {
  const char* kind;  // "dft": forward complex FFT as the MDCT plans it; "r2c": the spectrum's
  int first, last, step;
  uint64_t digest;  // of every "KIND N PLAN\n" line, as the whole library prints them
};

TEST(FftwPlansTest, SameAsTheWholeLibrary) {
  // The MDCT's complex FFT has H / 2 points for every even H a stream header may give (2 to
  // 526); the spectrum's real FFT 2H points (512 in the encoder, every even length to 1052 here).
  const PlanFamily families[] = {
      {"dft", 1, 263, 1, 0x5f05d60dfbd83b93ull},
      {"r2c", 2, 1052, 2, 0x5c0fd75d433dc59cull},
  };
  bool pinned = false;
  for (const PlanFamily& f : families) {
    uint64_t digest = 14695981039346656037ull;
    for (int n = f.first; n <= f.last; n += f.step) {
      const bool dft = std::string(f.kind) == "dft";
      void* in = dft ? static_cast<void*>(fftw_alloc_complex(n)) : fftw_alloc_real(n);
      fftw_complex* out = fftw_alloc_complex(dft ? n : n / 2 + 1);
      ASSERT_TRUE(in && out);
      fftw_plan plan = dft ? fftw_plan_dft_1d(n, static_cast<fftw_complex*>(in), out,
                                              FFTW_FORWARD, FFTW_ESTIMATE)
                           : fftw_plan_dft_r2c_1d(n, static_cast<double*>(in), out,
                                                  FFTW_ESTIMATE);
      ASSERT_NE(plan, nullptr) << f.kind << " " << n;
      const std::string text = plan_text(plan);
      pinned = pinned || text.find("generic_simd256") != std::string::npos;
      digest = fnv1a(std::string(f.kind) + " " + std::to_string(n) + " " + text + "\n", digest);
      fftw_destroy_plan(plan);
      fftw_free(in);
      fftw_free(out);
    }
    // The system's FFTW (TARN_SYSTEM_FFTW=ON) plans with its own codelets.
    if (!pinned) GTEST_SKIP() << "not the pinned FFTW";
    EXPECT_EQ(digest, f.digest) << f.kind << " plans differ from the whole library's";
  }
}

}  // namespace
}  // namespace tarn
