// The damage codes of the library interface against the record statuses they stand for.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "coding/channel_record.h"
#include "codec/decoder.h"
#include "tarn/tarn.h"

namespace tarn {
namespace {

// Every status a record of an accepted header can end in maps to its own damage code and back,
// and the code's text is the record's console text.
TEST(DamageCode, EveryRecordFaultHasItsOwnCodeAndText) {
  const int32_t faults[] = {RECORD_ERR_MISSING,     RECORD_ERR_LENGTH,    RECORD_ERR_CUT_SHORT,
                            RECORD_ERR_UNDECODABLE, RECORD_ERR_NO_HEADER, RECORD_ERR_FIELDS};
  std::set<int> codes;
  for (int32_t fault : faults) {
    const int code = damage_code(fault);
    EXPECT_TRUE(TARN_IS_DAMAGED(code)) << "status " << fault;
    EXPECT_EQ(record_status_of(code), fault);
    EXPECT_EQ(std::string(tarn_strerror(code)), record_message(fault));
    codes.insert(code);
  }
  EXPECT_EQ(codes.size(), std::size(faults));
  EXPECT_EQ(damage_code(RECORD_OK), TARN_OK);
  for (int code = TARN_ERR_BIT_STREAM; code <= TARN_ERR_RIGHT_MISSING; ++code) {
    EXPECT_EQ(codes.count(code), 1u) << "code " << code;
  }
}

}  // namespace
}  // namespace tarn
