/* The type finder of audio/x-tarn. A stream has no magic number: its 12-byte header is
 * sample_count (u32), sample_rate (u32), channel_count (u8), window_type (u8), half_frame (u16),
 * all little-endian, and each block that follows is two records (left, right), each a u16
 * payload length and the payload. A payload never exceeds 4 * half_frame bytes (the decoder's
 * payload buffer). So the check is: the rate and channel count the codec writes, a half_frame the
 * decoder accepts, then the chain of record lengths, walked as far as the data at hand allows. */
#include "gsttarn.h"

#include <tarn/tarn.h>

#define HEADER_BYTES 12
#define RECORD_LENGTH_BYTES 2
/* Blocks walked before the answer is as certain as it gets. */
#define BLOCKS_TO_CERTAINTY 16

static GstStaticCaps tarn_caps = GST_STATIC_CAPS(TARN_GST_STREAM_CAPS);

/* The record length at offset, or -1 when those two bytes are not available. */
static gint peek_record_length(GstTypeFind *tf, guint64 offset) {
  const guint8 *bytes = gst_type_find_peek(tf, (gint64)offset, RECORD_LENGTH_BYTES);
  return bytes ? (gint)GST_READ_UINT16_LE(bytes) : -1;
}

static void tarn_type_find(GstTypeFind *tf, gpointer unused) {
  (void)unused;
  const guint8 *header = gst_type_find_peek(tf, 0, HEADER_BYTES);
  if (header == NULL) return;
  guint32 rate = GST_READ_UINT32_LE(header + 4);
  guint8 channels = header[8];
  guint16 half_frame = GST_READ_UINT16_LE(header + 10);
  if (rate != TARN_GST_RATE || channels != 2) return;
  if (half_frame < 2 || half_frame > TARN_MAX_HALF_FRAME || half_frame % 2 != 0) return;

  gint max_payload = 4 * half_frame;
  guint64 offset = HEADER_BYTES;
  guint blocks = 0;
  while (blocks < BLOCKS_TO_CERTAINTY) {
    gint left = peek_record_length(tf, offset);
    if (left < 0) break; /* the clean end of a stream, or no more data at hand */
    if (left > max_payload) return;
    gint right = peek_record_length(tf, offset + RECORD_LENGTH_BYTES + (guint64)left);
    if (right < 0 || right > max_payload) return; /* a block's right record is missing */
    offset += 2 * RECORD_LENGTH_BYTES + (guint64)left + (guint64)right;
    ++blocks;
  }
  if (blocks == 0) return; /* a header alone is too weak a sign */
  GstTypeFindProbability probability =
      blocks >= BLOCKS_TO_CERTAINTY ? GST_TYPE_FIND_NEARLY_CERTAIN : GST_TYPE_FIND_LIKELY;
  gst_type_find_suggest(tf, probability, gst_static_caps_get(&tarn_caps));
}

gboolean tarn_gst_register_type_finder(GstPlugin *plugin) {
  return gst_type_find_register(plugin, "audio/x-tarn", GST_RANK_PRIMARY, tarn_type_find, "tarn",
                                gst_static_caps_get(&tarn_caps), NULL, NULL);
}
