// The one table between the codec's statuses and the C interface: every status a handle can
// return has its own code and text, and the codes lead back to it.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "codec/status.h"
#include "tarn/tarn.h"

namespace tarn {
namespace {

TEST(StatusTable, EveryInterfaceStatusHasItsOwnCodeAndText) {
  std::set<int> codes;
  std::set<std::string> texts;
  for (int32_t status = STATUS_SEEK; status <= STATUS_OK; ++status) {
    SCOPED_TRACE(status);
    const int code = status_code(status);
    EXPECT_EQ(status_of_code(code), status);
    EXPECT_EQ(std::string(tarn_strerror(code)), status_text(status));
    EXPECT_EQ(is_damage(status), TARN_IS_DAMAGED(code));
    codes.insert(code);
    texts.insert(status_text(status));
  }
  EXPECT_EQ(codes.size(), 19u);
  EXPECT_EQ(texts.size(), 19u);
  EXPECT_EQ(std::string(tarn_strerror(TARN_ERR_RECORD_CUT)), "record cut short");
  EXPECT_EQ(std::string(tarn_strerror(-99)), "unknown error code");
  // The inner faults reach no handle, yet each still has a text and a code a client can act on.
  for (const int32_t inner : {STATUS_SIZE, STATUS_NOT_READY, STATUS_PARTITION, STATUS_OUTPUT_FULL,
                              STATUS_BAND_BITS, STATUS_TOO_LONG}) {
    EXPECT_NE(status_of_code(status_code(inner)), inner) << inner;
    EXPECT_NE(std::string(status_text(inner)), "unknown error code") << inner;
  }
}

}  // namespace
}  // namespace tarn
