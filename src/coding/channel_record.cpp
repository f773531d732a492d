#include "coding/channel_record.h"

#include <cstdint>

#include "coding/arith_coder.h"
#include "coding/block_coder.h"
#include "format/byte_order.h"
#include "kernels/kernel_table.h"

namespace tarn {

namespace {

bool bin_count_in_range(int bin_count) { return bin_count > 0 && bin_count <= MAX_CODED_BINS; }

}  // namespace

int32_t encode_channel_record(const KernelTable& kernels, const BandTable& bands,
                              const double* coefficients, const double* thresholds, int bin_count,
                              ChannelFrame& packed, uint8_t* record) {
  packed.bytes.fill(0);  // the packing only ORs bits in
  const int length = encode_channel_block(kernels, bands, coefficients, thresholds, bin_count,
                                          packed.bytes.data());
  if (length < 0) return STATUS_SIZE;
  // The payload is the packed block behind its own length word.
  const int32_t coded = arith_compress(packed.bytes.data() + 2, record + RECORD_LENGTH_BYTES,
                                       length, CHANNEL_FRAME_BYTES);
  if (coded < 0 || coded > 0xFFFF) return STATUS_TOO_LONG;
  store_le16(record, static_cast<uint16_t>(coded));
  return RECORD_LENGTH_BYTES + coded;
}

int32_t encode_channel_record(const BandTable& bands, const double* coefficients,
                              const double* thresholds, int bin_count, ChannelFrame& packed,
                              uint8_t* record) {
  return encode_channel_record(host_kernel_table(), bands, coefficients, thresholds, bin_count,
                               packed, record);
}

int32_t record_payload_bytes(const uint8_t length_word[RECORD_LENGTH_BYTES], int bin_count) {
  const int32_t length = load_le16(length_word);
  if (length > RECORD_PAYLOAD_BYTES_PER_BIN * bin_count) return STATUS_RECORD_LENGTH;
  return length;
}

namespace {

// The payload length of a whole record, or its fault.
int32_t checked_payload_bytes(const uint8_t* record, int32_t record_bytes, int bin_count) {
  if (!bin_count_in_range(bin_count)) return STATUS_SIZE;
  if (record_bytes < RECORD_LENGTH_BYTES) return STATUS_RIGHT_MISSING;
  const int32_t length = record_payload_bytes(record, bin_count);
  if (length < 0) return length;
  if (record_bytes - RECORD_LENGTH_BYTES < length) return STATUS_RECORD_CUT;
  return length;
}

// The decoded payload (decoded: arith_decompress's result) into the coefficients: band header,
// then the bit stream, read where it lies.
int32_t unpack_payload(const KernelTable& kernels, const BandTable& bands,
                       const uint8_t* payload, int32_t decoded, int bin_count,
                       double* coefficients) {
  if (decoded < 0) return STATUS_UNDECODABLE;
  if (decoded < BAND_HEADER_BYTES) return STATUS_NO_BAND_HEADER;
  uint8_t band_bits[NUM_BANDS];
  unpack_band_bits(payload, band_bits);
  if (decode_channel_block(kernels, bands, band_bits, payload + BAND_HEADER_BYTES,
                           decoded - BAND_HEADER_BYTES, coefficients, bin_count) != STATUS_OK) {
    return STATUS_FIELDS;
  }
  return STATUS_OK;
}

}  // namespace

namespace {

int32_t decode_one_record(const KernelTable& kernels, const BandTable& bands, const uint8_t* record,
                          int32_t record_bytes, int bin_count, double* coefficients) {
  const int32_t length = checked_payload_bytes(record, record_bytes, bin_count);
  if (length < 0) return length;
  uint8_t payload[RECORD_PAYLOAD_BYTES_PER_BIN * MAX_CODED_BINS];
  const int32_t decoded = kernels.decompress(record + RECORD_LENGTH_BYTES, payload, length,
                                             RECORD_PAYLOAD_BYTES_PER_BIN * bin_count);
  return unpack_payload(kernels, bands, payload, decoded, bin_count, coefficients);
}

}  // namespace

int32_t decode_channel_record(const BandTable& bands, const uint8_t* record, int32_t record_bytes,
                              int bin_count, double* coefficients) {
  return decode_one_record(host_kernel_table(), bands, record, record_bytes, bin_count,
                           coefficients);
}

void decode_channel_records(const BandTable& bands, const uint8_t* const records[2],
                            const int32_t record_bytes[2], int bin_count,
                            double* const coefficients[2], int32_t statuses[2]) {
  decode_channel_records(host_kernel_table(), bands, records, record_bytes, bin_count, coefficients,
                         statuses);
}

void decode_channel_records(const KernelTable& kernels, const BandTable& bands,
                            const uint8_t* const records[2], const int32_t record_bytes[2],
                            int bin_count, double* const coefficients[2], int32_t statuses[2]) {
  int32_t lengths[2];
  for (int i = 0; i < 2; ++i) lengths[i] = checked_payload_bytes(records[i], record_bytes[i], bin_count);
  if (lengths[0] < 0 || lengths[1] < 0) {
    for (int i = 0; i < 2; ++i) {
      statuses[i] = decode_one_record(kernels, bands, records[i], record_bytes[i], bin_count,
                                      coefficients[i]);
    }
    return;
  }
  uint8_t payloads[2][RECORD_PAYLOAD_BYTES_PER_BIN * MAX_CODED_BINS];
  ArithBuffer buffers[2];
  for (int i = 0; i < 2; ++i) {
    buffers[i] = {records[i] + RECORD_LENGTH_BYTES, lengths[i], payloads[i],
                  RECORD_PAYLOAD_BYTES_PER_BIN * bin_count};
  }
  int32_t decoded[2];
  kernels.decompress_pair(buffers, decoded);
  for (int i = 0; i < 2; ++i) {
    statuses[i] =
        unpack_payload(kernels, bands, payloads[i], decoded[i], bin_count, coefficients[i]);
  }
}

}  // namespace tarn
