#pragma once
// Allocation failure injection for the psycho tests. psycho_tables_test.cpp replaces the
// program's nothrow array new: while fail_nothrow_array_new_at is positive it counts down on
// every such allocation, and the one that brings it to zero returns null (1 = the next one).

namespace tarn::test {
extern int fail_nothrow_array_new_at;
}  // namespace tarn::test
