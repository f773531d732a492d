#pragma once
// The pull decoder: a DecoderState reads a stream through a read callback and hands out 16-bit
// stereo frames. decoder_open reads and checks the header and sizes the work storage from it;
// each decoder_read then decodes block after block as frames are asked for: per block, both
// records are read, then (decode_block, the one place that calls into the codec core) both
// decompressed together, and per channel unpack, dequantise, windowed inverse MDCT; overlap-add of the frame's
// first half onto the previous frame's second half gives the block's half_frame output frames.
//
// The decoder meets damaged and hostile streams. It never reads or writes out of bounds and
// never reports success for a failure: an unusable header decodes nothing; a block that is cut
// short or does not decode ends decoding there, after every frame decoded before it has been
// handed out. The output is always 16-bit stereo: the header's channel byte changes neither the
// number of records read per block nor the frame layout.
//
// Every outcome is a code of tarn/tarn.h (TARN_OK, the end, or one TARN_ERR_*), and its text
// comes from one table (tarn_strerror).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "coding/channel_record.h"
#include "format/stream_format.h"
#include "programs/wav_file.h"
#include "psycho/psycho_tables.h"
#include "tarn/tarn.h"
#include "transform/mdct.h"

namespace tarn {

// The stream read through a buffer of its own: a block's four small reads (two length words,
// two payloads) become copies, and the callback is asked for STREAM_CHUNK_BYTES at a time.
constexpr size_t STREAM_CHUNK_BYTES = 1 << 16;

struct DecoderState {
  tarn_read_fn read = nullptr;
  void* user = nullptr;
  StreamHeader header;
  int half_frame = 0;            // H: frames per block; decoded frames are N = 2H samples
  int status = TARN_OK;          // the first error; sticky
  bool ended = false;            // the stream ended cleanly after a whole block
  long blocks_done = 0;          // blocks decoded; on damage, the block that failed
  int fault = TARN_OK;           // a block's fault, reported once the frames before it are out
  size_t pending_pos = 0;        // next frame of pending to hand out
  size_t pending_count = 0;      // frames in pending

  // Stream buffer.
  std::unique_ptr<uint8_t[]> chunk;  // STREAM_CHUNK_BYTES
  size_t chunk_pos = 0;              // next unread byte
  size_t chunk_size = 0;             // bytes in chunk

  // Work storage, sized from H.
  std::unique_ptr<double[]> time_block[2];    // N windowed inverse-MDCT samples per channel
  std::unique_ptr<double[]> coefficients[2];  // H dequantised coefficients per channel
  std::unique_ptr<double[]> window;           // N synthesis window samples
  std::unique_ptr<uint8_t[]> record[2];       // 2 + 4H bytes per channel: a record, length word
                                              // and payload
  // Overlap-add: output, its sample_count the header's, hands finished frames to pending.
  WavFile output;
  ChannelBuffer out[2];
  std::unique_ptr<int16_t[]> pending;  // CHANNEL_BUFFER_SAMPLES frames, interleaved
  char message[96] = "";                      // tarn_decoder_message
  MdctScratch mdct;                           // the inverse MDCT's working arrays
  BandTable bands;                            // the header's band partition
};

// The damage codes and the record statuses (channel_record.h) they stand for; a record status
// not listed (RECORD_ERR_BIN_COUNT, RECORD_ERR_TOO_LONG) cannot come from a decoder whose header
// was accepted.
struct DamageCode {
  int32_t record_status;
  int code;
};
constexpr DamageCode DAMAGE_CODES[] = {
    {RECORD_ERR_MISSING, TARN_ERR_RIGHT_MISSING}, {RECORD_ERR_LENGTH, TARN_ERR_RECORD_LENGTH},
    {RECORD_ERR_CUT_SHORT, TARN_ERR_RECORD_CUT},  {RECORD_ERR_UNDECODABLE, TARN_ERR_PAYLOAD},
    {RECORD_ERR_NO_HEADER, TARN_ERR_BAND_HEADER}, {RECORD_ERR_FIELDS, TARN_ERR_BIT_STREAM},
};
// The damage code of a record status (TARN_OK for RECORD_OK, TARN_ERR_BIT_STREAM for one not
// listed), and the record status of a damage code.
int damage_code(int32_t record_status);
int32_t record_status_of(int damage_code);

// Reads and checks the header and allocates the work storage. Returns TARN_OK or an error
// (TARN_ERR_ARGUMENT, TARN_ERR_READ, TARN_ERR_HEADER_SHORT, TARN_ERR_HALF_FRAME,
// TARN_ERR_BANDS, TARN_ERR_NO_MEMORY); s.header holds the header once it was read whole.
int decoder_open(DecoderState& s, tarn_read_fn read, void* user);
// Up to max_frames interleaved frames, 0 at the end, or the error (sticky).
long decoder_read(DecoderState& s, int16_t* frames, size_t max_frames);

// Path-level decoding for the programs (cli.cpp): decodes the stream at stream_path into a WAV
// created at wav_path, printing "File info", the window name, "End of Synthesis" and one
// "Error, ..." line for a failure on standard output. Returns DECODE_OK or one of:
constexpr int DECODE_OK = 0;
constexpr int DECODE_ERR_OPEN = -1;       // stream cannot be opened or output cannot be created
constexpr int DECODE_ERR_HEADER = -2;     // stream shorter than its header, or header unusable
constexpr int DECODE_ERR_DAMAGED = -3;    // a block is cut short or does not decode
constexpr int DECODE_ERR_NO_MEMORY = -4;  // "Error, out of memory"
constexpr int DECODE_ERR_WRITE = -5;      // the output WAV did not take every byte
int run_synthesis(const char* stream_path, const char* wav_path);

}  // namespace tarn
