/* tarnenc: 16-bit stereo PCM in, audio/x-tarn out.
 *
 * The library's encoder writes the stream through a callback: every write becomes one buffer,
 * pushed downstream at once, with its byte offset in the stream. The length of the audio is
 * not known in advance, so the encoder is the seekable one: its header states an unknown length
 * until the end of the stream, when the library seeks back to offset 0 and writes the 12-byte
 * header again. Here that seek is a segment event in bytes starting at 0, which filesink obeys
 * by seeking in its file before the header buffer that follows. The file then holds exactly the
 * bytes tarn-encode writes for the same audio.
 *
 * Where the next element cannot seek (a pipe, a network sink) and the length of the audio is
 * known upstream, the encoder is made with that length instead, and no rewrite is needed. */
#include "gsttarn.h"

#include <string.h>

#include <tarn/tarn.h>

GST_DEBUG_CATEGORY_STATIC(tarn_enc_debug);
#define GST_CAT_DEFAULT tarn_enc_debug

struct _GstTarnEnc {
  GstElement parent;
  GstPad *sinkpad, *srcpad;

  /* Used by the streaming thread only. */
  tarn_encoder *encoder;
  gboolean failed;             /* the encoder reported an error: drop the rest */
  gboolean downstream_seekable;
  guint64 out_offset;          /* the byte position of the next buffer in the stream */
  GstFlowReturn push_result;   /* why the last push failed */
  guint8 partial[TARN_GST_FRAME_BYTES]; /* a frame split between two input buffers */
  gsize partial_bytes;
  gboolean warned_too_long;
};

G_DEFINE_TYPE(GstTarnEnc, gst_tarn_enc, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(TARN_GST_RAW_CAPS));
static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(TARN_GST_STREAM_CAPS));

/* ---- the library's callbacks: the stream goes downstream ---- */

static int write_stream(void *user, const unsigned char *bytes, size_t length) {
  GstTarnEnc *self = user;
  GstBuffer *buffer = gst_buffer_new_memdup(bytes, length);
  GST_BUFFER_OFFSET(buffer) = self->out_offset;
  GST_BUFFER_OFFSET_END(buffer) = self->out_offset + length;
  self->out_offset += length;
  self->push_result = gst_pad_push(self->srcpad, buffer);
  return self->push_result == GST_FLOW_OK ? 0 : -1;
}

static void push_byte_segment(GstTarnEnc *self, guint64 start) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  segment.start = start;
  segment.position = start;
  segment.time = 0;
  gst_pad_push_event(self->srcpad, gst_event_new_segment(&segment));
}

static int seek_stream(void *user, uint64_t offset) {
  GstTarnEnc *self = user;
  if (!self->downstream_seekable) return -1;
  push_byte_segment(self, offset);
  self->out_offset = offset;
  return 0;
}

/* ---- the encoder ---- */

static gboolean downstream_can_seek(GstTarnEnc *self) {
  GstQuery *query = gst_query_new_seeking(GST_FORMAT_BYTES);
  gboolean seekable = FALSE;
  if (gst_pad_peer_query(self->srcpad, query))
    gst_query_parse_seeking(query, NULL, &seekable, NULL, NULL);
  gst_query_unref(query);
  return seekable;
}

/* The frames upstream announces, or -1. A duration in time is rounded to the nearest frame:
 * elements give it rounded either way, never a frame (22676 ns) off. */
static gint64 upstream_frames(GstTarnEnc *self) {
  gint64 value = -1;
  if (gst_pad_peer_query_duration(self->sinkpad, GST_FORMAT_DEFAULT, &value) && value >= 0)
    return value;
  if (gst_pad_peer_query_duration(self->sinkpad, GST_FORMAT_TIME, &value) && value >= 0)
    return (gint64)gst_util_uint64_scale_int_round((guint64)value, TARN_GST_RATE, GST_SECOND);
  return -1;
}

static void post_library_error(GstTarnEnc *self, int code) {
  GST_ELEMENT_ERROR(self, STREAM, ENCODE, ("%s", tarn_strerror(code)),
                    ("tarn library error %d", code));
}

/* A failed library call as a flow result: downstream's own result when a push failed. */
static GstFlowReturn library_failure(GstTarnEnc *self, int code) {
  self->failed = TRUE;
  if (code == TARN_ERR_WRITE && self->push_result != GST_FLOW_OK) return self->push_result;
  post_library_error(self, code);
  return GST_FLOW_ERROR;
}

static GstFlowReturn open_encoder(GstTarnEnc *self) {
  if (self->encoder != NULL || self->failed) return GST_FLOW_OK;
  if (!gst_pad_has_current_caps(self->srcpad)) { /* an end of stream before any caps */
    GstCaps *caps = gst_caps_from_string(TARN_GST_STREAM_CAPS);
    gst_pad_set_caps(self->srcpad, caps);
    gst_caps_unref(caps);
  }
  self->downstream_seekable = downstream_can_seek(self);
  push_byte_segment(self, 0);
  self->out_offset = 0;
  self->push_result = GST_FLOW_OK;
  int code = TARN_OK;
  gint64 frames = upstream_frames(self);
  if (!self->downstream_seekable && frames >= 0 &&
      frames < G_MAXUINT32) {
    GST_INFO_OBJECT(self, "downstream cannot seek: the header states the %" G_GINT64_FORMAT
                    " frames upstream announces", frames);
    self->encoder = tarn_encoder_create((uint32_t)frames, TARN_GST_RATE, write_stream, self, &code);
  } else {
    self->encoder =
        tarn_encoder_create_seekable(TARN_GST_RATE, write_stream, seek_stream, self, &code);
  }
  if (self->encoder == NULL) return library_failure(self, code);
  return GST_FLOW_OK;
}

static GstFlowReturn push_frames(GstTarnEnc *self, const guint8 *bytes, gsize frame_count) {
  if (frame_count == 0) return GST_FLOW_OK;
  /* The library takes native int16_t: the bytes are S16LE, so copy through an aligned,
   * little-endian-decoded scratch buffer on big-endian hosts or when misaligned. */
  int16_t scratch[2 * 1024];
  while (frame_count > 0) {
    gsize n = MIN(frame_count, G_N_ELEMENTS(scratch) / 2);
    for (gsize i = 0; i < 2 * n; ++i) scratch[i] = (int16_t)GST_READ_UINT16_LE(bytes + 2 * i);
    int code = tarn_encoder_push(self->encoder, scratch, n);
    if (code == TARN_ERR_TOO_MANY_FRAMES) {
      /* More frames than upstream announced, or than a header can count (0xFFFFFFFE): the
       * stream holds those it can. */
      if (!self->warned_too_long)
        GST_ELEMENT_WARNING(self, STREAM, ENCODE, (NULL),
                            ("more audio than upstream announced or a stream can hold; the rest "
                             "is dropped"));
      self->warned_too_long = TRUE;
      return GST_FLOW_OK;
    }
    if (code != TARN_OK) return library_failure(self, code);
    bytes += n * TARN_GST_FRAME_BYTES;
    frame_count -= n;
  }
  return GST_FLOW_OK;
}

static GstFlowReturn chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  (void)pad;
  GstTarnEnc *self = GST_TARN_ENC(parent);
  GstFlowReturn result = open_encoder(self);
  if (result != GST_FLOW_OK || self->failed) {
    gst_buffer_unref(buffer);
    return self->failed && result == GST_FLOW_OK ? GST_FLOW_ERROR : result;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, RESOURCE, READ, (NULL), ("cannot map an input buffer"));
    return GST_FLOW_ERROR;
  }
  const guint8 *bytes = map.data;
  gsize size = map.size;
  /* Complete a frame begun in the previous buffer. */
  if (self->partial_bytes > 0) {
    gsize take = MIN(size, TARN_GST_FRAME_BYTES - self->partial_bytes);
    memcpy(self->partial + self->partial_bytes, bytes, take);
    self->partial_bytes += take;
    bytes += take;
    size -= take;
    if (self->partial_bytes == TARN_GST_FRAME_BYTES) {
      result = push_frames(self, self->partial, 1);
      self->partial_bytes = 0;
    }
  }
  if (result == GST_FLOW_OK) result = push_frames(self, bytes, size / TARN_GST_FRAME_BYTES);
  if (result == GST_FLOW_OK && size % TARN_GST_FRAME_BYTES != 0) {
    self->partial_bytes = size % TARN_GST_FRAME_BYTES;
    memcpy(self->partial, bytes + size - self->partial_bytes, self->partial_bytes);
  }
  gst_buffer_unmap(buffer, &map);
  gst_buffer_unref(buffer);
  return result;
}

/* At the end of the stream: the last blocks, then the header with the frame count. */
static void finish(GstTarnEnc *self) {
  if (open_encoder(self) != GST_FLOW_OK || self->failed) return;
  if (self->partial_bytes > 0)
    GST_WARNING_OBJECT(self, "dropping %" G_GSIZE_FORMAT " bytes of an incomplete frame",
                       self->partial_bytes);
  self->partial_bytes = 0;
  int code = tarn_encoder_finish(self->encoder);
  if (code == TARN_ERR_SEEK) {
    GST_ELEMENT_WARNING(self, STREAM, ENCODE, (NULL),
                        ("the element after tarnenc cannot seek and the length of the audio was "
                         "not known: the header keeps its unknown length"));
  } else if (code != TARN_OK) {
    library_failure(self, code);
  }
}

static gboolean sink_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  GstTarnEnc *self = GST_TARN_ENC(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
      /* The template fixes the format; the stream's caps replace the raw ones. */
      gst_event_unref(event);
      GstCaps *caps = gst_caps_from_string(TARN_GST_STREAM_CAPS);
      gboolean done = gst_pad_set_caps(self->srcpad, caps);
      gst_caps_unref(caps);
      return done;
    }
    case GST_EVENT_SEGMENT:
      /* Downstream gets a segment in bytes when the encoder opens. */
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_EOS:
      finish(self);
      return gst_pad_event_default(pad, parent, event);
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

/* ---- element ---- */

static void reset(GstTarnEnc *self) {
  if (self->encoder != NULL) tarn_encoder_destroy(self->encoder);
  self->encoder = NULL;
  self->failed = FALSE;
  self->downstream_seekable = FALSE;
  self->out_offset = 0;
  self->push_result = GST_FLOW_OK;
  self->partial_bytes = 0;
  self->warned_too_long = FALSE;
}

static GstStateChangeReturn change_state(GstElement *element, GstStateChange transition) {
  GstTarnEnc *self = GST_TARN_ENC(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) reset(self);
  GstStateChangeReturn result =
      GST_ELEMENT_CLASS(gst_tarn_enc_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) reset(self);
  return result;
}

static void finalize(GObject *object) {
  reset(GST_TARN_ENC(object));
  G_OBJECT_CLASS(gst_tarn_enc_parent_class)->finalize(object);
}

static void gst_tarn_enc_class_init(GstTarnEncClass *klass) {
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  G_OBJECT_CLASS(klass)->finalize = finalize;
  element_class->change_state = change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "tarn audio encoder", "Codec/Encoder/Audio",
      "Encodes 44100 Hz 16-bit stereo into a tarn stream; the header is rewritten at the end",
      "tarn");
  GST_DEBUG_CATEGORY_INIT(tarn_enc_debug, "tarnenc", 0, "tarn encoder");
}

static void gst_tarn_enc_init(GstTarnEnc *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, chain);
  gst_pad_set_event_function(self->sinkpad, sink_event);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
  self->encoder = NULL;
  reset(self);
}
