#pragma once
// One channel's block as it travels in the stream file: a BlockRecord.
//
//   bytes     content
//   0-1       length: payload bytes, unsigned 16-bit little-endian
//   2..       payload: arith_compress of the packed block's bytes 2 .. L+1 (channel_frame.h),
//             that is the 14-byte band header followed by the bit stream
//
// encode_channel_record and decode_channel_record are the mirrored pair that own the whole
// record: the packed block's own length word (bytes 0-1 of ChannelFrame, never transmitted)
// stays inside the encoder, and the decoder reads the bit stream where it lies behind the band
// header. Both work only on the buffers they are given, so any number of them may run at once.

#include <cstdint>

#include "codec/status.h"

#include "format/channel_frame.h"
#include "format/stream_format.h"

namespace tarn {

struct KernelTable;  // kernels/kernel_table.h

// Results of the record functions: STATUS_OK or a negative Status (codec/status.h), whose text
// (status_text) the decoder prints after "Error, PATH is damaged at block K: ". Only a right
// record can be missing: a stream that ends where a left record would start has simply ended.

// Codes one channel's block (bin_count coefficients and their masking thresholds in dB) into a
// record at record, MAX_RECORD_BYTES long. packed is the caller's packed-block buffer, cleared
// and filled here. Returns the record's size (RECORD_LENGTH_BYTES + payload bytes) or
// STATUS_SIZE or STATUS_TOO_LONG.
int32_t encode_channel_record(const BandTable& bands, const double* coefficients,
                              const double* thresholds, int bin_count, ChannelFrame& packed,
                              uint8_t* record);
// The same with the given kernels (the form above takes the host's: a handle passes the table it
// chose at create). Every table gives the same bytes.
int32_t encode_channel_record(const KernelTable& kernels, const BandTable& bands,
                              const double* coefficients, const double* thresholds, int bin_count,
                              ChannelFrame& packed, uint8_t* record);

// The payload length a record's length word announces, or STATUS_RECORD_LENGTH when it exceeds the
// 4 bin_count bytes a decoder of bin_count bins takes.
int32_t record_payload_bytes(const uint8_t length_word[RECORD_LENGTH_BYTES], int bin_count);

// Decodes the record at record, record_bytes long (RECORD_LENGTH_BYTES + its payload), into
// bin_count dequantised coefficients. Returns STATUS_OK or the first fault found, in the order
// STATUS_RIGHT_MISSING, STATUS_RECORD_LENGTH, STATUS_RECORD_CUT, STATUS_UNDECODABLE,
// STATUS_NO_BAND_HEADER, STATUS_FIELDS (STATUS_SIZE for a bin_count above
// MAX_CODED_BINS). Never reads past record_bytes; a damaged record ends in bounded time.
int32_t decode_channel_record(const BandTable& bands, const uint8_t* record, int32_t record_bytes,
                              int bin_count, double* coefficients);

// Decodes a block's two records (left, right) as two calls of decode_channel_record would,
// statuses[i] being record i's result, with their payloads decompressed together
// (arith_decompress_pair).
void decode_channel_records(const BandTable& bands, const uint8_t* const records[2],
                            const int32_t record_bytes[2], int bin_count,
                            double* const coefficients[2], int32_t statuses[2]);
// The same with the given kernels (the form above takes the host's).
void decode_channel_records(const KernelTable& kernels, const BandTable& bands,
                            const uint8_t* const records[2], const int32_t record_bytes[2],
                            int bin_count, double* const coefficients[2], int32_t statuses[2]);

}  // namespace tarn
