/* tarndec: audio/x-tarn in, 16-bit stereo PCM out.
 *
 * The library's decoder pulls its stream through a read callback and moves through it with a
 * seek callback, so the element runs its sink pad in pull mode (as a demuxer does): a task on
 * the sink pad pulls byte ranges at the decoder's read position and pushes PCM buffers of at
 * most FRAMES_PER_BUFFER frames. Seeks (in time or in frames) are exact: the decoder is moved to
 * the first frame whose timestamp is at or after the requested time, and the first buffer after
 * the seek starts with it.
 *
 * When the element before it can only push (a pipe through fdsrc, a network source), the stream
 * is queued in an adapter of at most PUSH_QUEUE_BYTES by the chain function, and a task on the
 * source pad runs the same decoding with a read callback that waits for the queued bytes. Such
 * a stream plays from its start to its end and cannot seek.
 *
 * Positions are kept in frames; a frame's timestamp is frame * GST_SECOND / 44100 rounded down,
 * and a time maps back to the first frame at or after it (rounded up), so that a seek in frames
 * and a seek to that frame's timestamp land on the same frame. */
#include "gsttarn.h"

#include <gst/base/gstadapter.h>
#include <tarn/tarn.h>

GST_DEBUG_CATEGORY_STATIC(tarn_dec_debug);
#define GST_CAT_DEFAULT tarn_dec_debug

#define FRAMES_PER_BUFFER 4096
/* In pull mode, the bytes pulled at once. */
#define PULL_BYTES (64 * 1024)
/* In push mode, the chain function waits while this much of the stream is queued. */
#define PUSH_QUEUE_BYTES (64 * 1024)
/* The header's sample_count while a seekable encoder has not finished: the length is unknown. */
#define UNKNOWN_SAMPLE_COUNT G_MAXUINT32

struct _GstTarnDec {
  GstElement parent;
  GstPad *sinkpad, *srcpad;

  /* Everything below is used by the streaming thread, or by a seek holding the sink pad's
   * stream lock while the task is paused. */
  tarn_decoder *decoder;     /* NULL until the header is read, and again after a failed pull */
  tarn_stream_info info;
  gboolean have_info;        /* info holds a usable header */
  guint64 read_offset;       /* the decoder's byte position in the stream */
  GstBuffer *pulled;         /* pull mode: the last range pulled, at pulled_offset */
  guint64 pulled_offset;
  GstFlowReturn pull_result; /* why the last pull failed */
  guint64 next_frame;        /* the frame the next buffer starts with */
  guint64 stop_frame;        /* the segment ends before this frame (G_MAXUINT64: at the end) */
  GstSegment segment;        /* in time */
  gboolean started;          /* stream-start and caps pushed */
  gboolean need_segment;
  gboolean discont;
  gboolean past_end;         /* a seek beyond the end of a stream of unknown length */
  gboolean halted;           /* a seek failed with its error posted: nothing to play until the next */
  guint32 seek_seqnum;       /* of the seek that made the segment; 0 for none */

  /* Push mode: the chain function queues, the source pad's task decodes. */
  gboolean push_mode;
  GMutex queue_lock;
  GCond queue_changed;       /* bytes queued or taken, end of stream, flushing, task stopped */
  GstAdapter *queue;         /* under queue_lock, as are the three below */
  gboolean queue_eos;        /* upstream's end of stream is queued */
  gboolean queue_flushing;
  GstFlowReturn task_result; /* GST_FLOW_OK while the task runs; else why it stopped */
};

G_DEFINE_TYPE(GstTarnDec, gst_tarn_dec, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(TARN_GST_STREAM_CAPS));
static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(TARN_GST_RAW_CAPS));

static guint64 frame_to_time(guint64 frame) {
  return gst_util_uint64_scale_int(frame, GST_SECOND, TARN_GST_RATE);
}

static guint64 time_to_frame(guint64 time) {
  return gst_util_uint64_scale_int_ceil(time, TARN_GST_RATE, GST_SECOND);
}

static gboolean length_known(const GstTarnDec *self) {
  return self->have_info && self->info.sample_count != UNKNOWN_SAMPLE_COUNT;
}

/* ---- the library's callbacks: the stream is the sink pad's peer, read in pull mode ---- */

/* Push mode: takes queued bytes, waiting for them. */
static long read_queued(GstTarnDec *self, unsigned char *bytes, size_t capacity) {
  g_mutex_lock(&self->queue_lock);
  gsize available;
  while ((available = gst_adapter_available(self->queue)) == 0 && !self->queue_eos &&
         !self->queue_flushing)
    g_cond_wait(&self->queue_changed, &self->queue_lock);
  long result;
  if (self->queue_flushing) {
    self->pull_result = GST_FLOW_FLUSHING;
    result = -1;
  } else {
    gsize take = MIN(available, capacity);
    if (take > 0) { /* else the end of the stream */
      gst_adapter_copy(self->queue, bytes, 0, take);
      gst_adapter_flush(self->queue, take);
      g_cond_broadcast(&self->queue_changed);
    }
    result = (long)take;
  }
  g_mutex_unlock(&self->queue_lock);
  return result;
}

static long read_stream(void *user, unsigned char *bytes, size_t capacity) {
  GstTarnDec *self = user;
  if (self->push_mode) return read_queued(self, bytes, capacity);
  gsize cached = self->pulled != NULL ? gst_buffer_get_size(self->pulled) : 0;
  if (self->read_offset < self->pulled_offset || self->read_offset >= self->pulled_offset + cached) {
    /* The library reads a length word, then a record: one pull serves many of those. */
    gst_clear_buffer(&self->pulled);
    guint size = (guint)MIN(MAX(capacity, (size_t)PULL_BYTES), (size_t)G_MAXUINT);
    GstFlowReturn result = gst_pad_pull_range(self->sinkpad, self->read_offset, size, &self->pulled);
    if (result == GST_FLOW_EOS) return 0;
    if (result != GST_FLOW_OK) {
      self->pulled = NULL;
      self->pull_result = result;
      return -1;
    }
    self->pulled_offset = self->read_offset;
  }
  gsize got = gst_buffer_extract(self->pulled, (gsize)(self->read_offset - self->pulled_offset),
                                 bytes, capacity);
  self->read_offset += got;
  return (long)got;
}

static int seek_stream(void *user, uint64_t offset) {
  GstTarnDec *self = user;
  self->read_offset = offset;
  return 0;
}

/* ---- opening and positioning the decoder ---- */

static void post_library_error(GstTarnDec *self, const char *what, const char *message, int code) {
  GST_ELEMENT_ERROR(self, STREAM, DECODE, ("%s%s", what, message),
                    ("tarn library error %d", code));
}

/* Turns a failed library call into a flow result: the pull's own result when the pull failed
 * (flushing, shutting down), else an error message carrying the library's text. */
static GstFlowReturn library_failure(GstTarnDec *self, int code, const char *what,
                                     const char *message) {
  if (code == TARN_ERR_READ && self->pull_result != GST_FLOW_OK) return self->pull_result;
  post_library_error(self, what, message, code);
  return GST_FLOW_ERROR;
}

static void close_decoder(GstTarnDec *self) {
  if (self->decoder != NULL) tarn_decoder_destroy(self->decoder);
  self->decoder = NULL;
}

/* Moves an open decoder so that its next read returns next_frame. */
static GstFlowReturn position_decoder(GstTarnDec *self) {
  self->pull_result = GST_FLOW_OK;
  self->past_end = FALSE;
  int code = tarn_decoder_seek(self->decoder, self->next_frame);
  if (code == TARN_OK) return GST_FLOW_OK;
  if (code == TARN_ERR_STREAM_SHORT && !length_known(self)) {
    /* The stream states no length and ends before the frame: nothing is left to play. */
    self->past_end = TRUE;
    return GST_FLOW_OK;
  }
  GstFlowReturn result = library_failure(self, code, "", tarn_decoder_message(self->decoder));
  close_decoder(self);
  return result;
}

/* Opens the decoder when it is not open (at the start, or after a pull was interrupted, which
 * leaves the library's handle unusable) and puts it at next_frame. */
static GstFlowReturn ensure_decoder(GstTarnDec *self) {
  if (self->decoder != NULL) return GST_FLOW_OK;
  int code = TARN_OK;
  tarn_stream_info info;
  self->read_offset = 0;
  self->pull_result = GST_FLOW_OK;
  if (self->push_mode) {
    self->decoder = tarn_decoder_create(read_stream, self, &info, &code);
  } else {
    self->decoder = tarn_decoder_create_seekable(read_stream, seek_stream, self, &info, &code);
  }
  if (self->decoder == NULL)
    return library_failure(self, code, "cannot read the stream header: ", tarn_strerror(code));
  if (info.sample_rate != TARN_GST_RATE || info.channel_count != 2) {
    close_decoder(self);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, (NULL),
                      ("the stream is %u Hz with %u channels; tarndec gives 44100 Hz stereo",
                       info.sample_rate, info.channel_count));
    return GST_FLOW_ERROR;
  }
  gboolean first = !self->have_info;
  self->info = info;
  self->have_info = TRUE;
  if (first) gst_element_post_message(GST_ELEMENT(self), gst_message_new_duration_changed(GST_OBJECT(self)));
  if (self->next_frame == 0) return GST_FLOW_OK;
  return position_decoder(self);
}

/* ---- the streaming task ---- */

static void push_stream_start(GstTarnDec *self) {
  gchar *stream_id = gst_pad_create_stream_id(self->srcpad, GST_ELEMENT(self), NULL);
  GstEvent *event = gst_event_new_stream_start(stream_id);
  gst_event_set_group_id(event, gst_util_group_id_next());
  g_free(stream_id);
  gst_pad_push_event(self->srcpad, event);
  GstCaps *caps = gst_caps_from_string(TARN_GST_RAW_CAPS);
  gst_pad_push_event(self->srcpad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  GstTagList *tags = gst_tag_list_new(GST_TAG_AUDIO_CODEC, "tarn", NULL);
  /* The mean bitrate, from the stream's size and the header's length. */
  gint64 bytes = -1;
  if (length_known(self) && self->info.sample_count > 0 &&
      gst_pad_peer_query_duration(self->sinkpad, GST_FORMAT_BYTES, &bytes) && bytes > 0) {
    guint64 bitrate = gst_util_uint64_scale((guint64)bytes * 8, TARN_GST_RATE, self->info.sample_count);
    if (bitrate > 0 && bitrate <= G_MAXUINT)
      gst_tag_list_add(tags, GST_TAG_MERGE_REPLACE, GST_TAG_BITRATE, (guint)bitrate, NULL);
  }
  gst_pad_push_event(self->srcpad, gst_event_new_tag(tags));
}

static void push_segment(GstTarnDec *self) {
  GstEvent *event = gst_event_new_segment(&self->segment);
  if (self->seek_seqnum != 0) gst_event_set_seqnum(event, self->seek_seqnum);
  gst_pad_push_event(self->srcpad, event);
}

static void end_segment(GstTarnDec *self) {
  if (self->segment.flags & GST_SEGMENT_FLAG_SEGMENT) {
    gint64 stop = GST_CLOCK_TIME_IS_VALID(self->segment.stop) ? (gint64)self->segment.stop
                                                              : (gint64)frame_to_time(self->next_frame);
    GstMessage *message = gst_message_new_segment_done(GST_OBJECT(self), GST_FORMAT_TIME, stop);
    GstEvent *event = gst_event_new_segment_done(GST_FORMAT_TIME, stop);
    if (self->seek_seqnum != 0) {
      gst_message_set_seqnum(message, self->seek_seqnum);
      gst_event_set_seqnum(event, self->seek_seqnum);
    }
    gst_element_post_message(GST_ELEMENT(self), message);
    gst_pad_push_event(self->srcpad, event);
  } else {
    GstEvent *event = gst_event_new_eos();
    if (self->seek_seqnum != 0) gst_event_set_seqnum(event, self->seek_seqnum);
    gst_pad_push_event(self->srcpad, event);
  }
}

/* Decodes the next buffer and pushes it. */
static GstFlowReturn decode_next(GstTarnDec *self) {
  if (self->halted) return GST_FLOW_ERROR;
  GstFlowReturn result = ensure_decoder(self);
  if (result != GST_FLOW_OK) return result;
  if (!self->started) {
    push_stream_start(self);
    self->started = TRUE;
  }
  if (self->need_segment) {
    push_segment(self);
    self->need_segment = FALSE;
  }
  if (self->past_end || self->next_frame >= self->stop_frame) return GST_FLOW_EOS;
  guint64 wanted = MIN((guint64)FRAMES_PER_BUFFER, self->stop_frame - self->next_frame);

  GstBuffer *buffer = gst_buffer_new_allocate(NULL, wanted * TARN_GST_FRAME_BYTES, NULL);
  GstMapInfo map;
  if (buffer == NULL || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    if (buffer != NULL) gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("out of memory"), (NULL));
    return GST_FLOW_ERROR;
  }
  self->pull_result = GST_FLOW_OK;
  long got = tarn_decoder_read(self->decoder, (int16_t *)map.data, (size_t)wanted);
  gst_buffer_unmap(buffer, &map);
  if (got <= 0) {
    gst_buffer_unref(buffer);
    if (got == 0) return GST_FLOW_EOS;
    /* A stream whose encoder never finished states no length: its clean end is the end. */
    if (got == TARN_ERR_STREAM_SHORT && !length_known(self)) return GST_FLOW_EOS;
    result = library_failure(self, (int)got, "", tarn_decoder_message(self->decoder));
    close_decoder(self);
    return result;
  }

  gst_buffer_set_size(buffer, (gsize)got * TARN_GST_FRAME_BYTES);
  guint64 start = frame_to_time(self->next_frame);
  guint64 end = frame_to_time(self->next_frame + (guint64)got);
  GST_BUFFER_PTS(buffer) = start;
  GST_BUFFER_DURATION(buffer) = end - start;
  GST_BUFFER_OFFSET(buffer) = self->next_frame;
  GST_BUFFER_OFFSET_END(buffer) = self->next_frame + (guint64)got;
  if (self->discont) {
    GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    self->discont = FALSE;
  }
  GST_OBJECT_LOCK(self);
  self->next_frame += (guint64)got;
  GST_OBJECT_UNLOCK(self);
  self->segment.position = end;
  return gst_pad_push(self->srcpad, buffer);
}

/* The task: on the sink pad in pull mode, on the source pad in push mode. */
static void decode_loop(GstPad *task_pad) {
  GstTarnDec *self = GST_TARN_DEC(GST_PAD_PARENT(task_pad));
  GstFlowReturn result = decode_next(self);
  if (result == GST_FLOW_OK) return;

  GST_DEBUG_OBJECT(self, "pausing: %s", gst_flow_get_name(result));
  gst_pad_pause_task(task_pad);
  if (self->push_mode) {
    /* The chain function stops waiting for room and returns this. */
    g_mutex_lock(&self->queue_lock);
    self->task_result = result;
    g_cond_broadcast(&self->queue_changed);
    g_mutex_unlock(&self->queue_lock);
  }
  if (result == GST_FLOW_EOS) {
    end_segment(self);
  } else if (result == GST_FLOW_NOT_LINKED || result < GST_FLOW_EOS) {
    /* GST_FLOW_ERROR has posted its message already; the others are downstream's. The end of
     * stream lets downstream finish the frames it has. */
    if (result != GST_FLOW_ERROR) GST_ELEMENT_FLOW_ERROR(self, result);
    gst_pad_push_event(self->srcpad, gst_event_new_eos());
  }
}

/* ---- seeking ---- */

static gboolean to_time(GstFormat format, GstSeekType type, gint64 *value) {
  if (type == GST_SEEK_TYPE_NONE || *value < 0) return TRUE;
  if (format == GST_FORMAT_TIME) return TRUE;
  if (format != GST_FORMAT_DEFAULT) return FALSE;
  *value = (gint64)frame_to_time((guint64)*value);
  return TRUE;
}

static gboolean handle_seek(GstTarnDec *self, GstEvent *event) {
  gdouble rate;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType start_type, stop_type;
  gint64 start, stop;
  gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
  if (self->push_mode) {
    GST_DEBUG_OBJECT(self, "refusing a seek: the stream is pushed, not pulled");
    return FALSE;
  }
  if (rate <= 0.0) {
    GST_DEBUG_OBJECT(self, "refusing a seek at rate %g: tarndec plays forwards only", rate);
    return FALSE;
  }
  if (!to_time(format, start_type, &start) || !to_time(format, stop_type, &stop)) {
    GST_DEBUG_OBJECT(self, "refusing a seek in %s", gst_format_get_name(format));
    return FALSE;
  }
  guint32 seqnum = gst_event_get_seqnum(event);
  gboolean flush = (flags & GST_SEEK_FLAG_FLUSH) != 0;
  if (flush) {
    GstEvent *flush_start = gst_event_new_flush_start();
    gst_event_set_seqnum(flush_start, seqnum);
    gst_pad_push_event(self->srcpad, flush_start);
  } else {
    gst_pad_pause_task(self->sinkpad);
  }
  GST_PAD_STREAM_LOCK(self->sinkpad);

  GstSegment segment = self->segment;
  gboolean update;
  gst_segment_do_seek(&segment, rate, GST_FORMAT_TIME, flags, start_type, (guint64)start,
                      stop_type, (guint64)stop, &update);
  guint64 first = time_to_frame(segment.position);
  guint64 stop_frame = GST_CLOCK_TIME_IS_VALID(segment.stop) ? time_to_frame(segment.stop)
                                                             : G_MAXUINT64;
  GstFlowReturn result = ensure_decoder(self);
  if (result == GST_FLOW_OK) {
    if (length_known(self) && first > self->info.sample_count) first = self->info.sample_count;
    if (first != self->next_frame) {
      GST_OBJECT_LOCK(self);
      self->next_frame = first;
      GST_OBJECT_UNLOCK(self);
      result = position_decoder(self);
    }
  }
  if (flush) {
    GstEvent *flush_stop = gst_event_new_flush_stop(TRUE);
    gst_event_set_seqnum(flush_stop, seqnum);
    gst_pad_push_event(self->srcpad, flush_stop);
  }
  if (result == GST_FLOW_OK) {
    segment.position = frame_to_time(first);
    segment.start = segment.position;
    segment.time = segment.position;
    self->segment = segment;
    self->stop_frame = stop_frame;
    self->need_segment = TRUE;
    self->discont = TRUE;
    self->seek_seqnum = seqnum;
    self->halted = FALSE;
    if (segment.flags & GST_SEGMENT_FLAG_SEGMENT) {
      GstMessage *message =
          gst_message_new_segment_start(GST_OBJECT(self), GST_FORMAT_TIME, (gint64)segment.start);
      gst_message_set_seqnum(message, seqnum);
      gst_element_post_message(GST_ELEMENT(self), message);
    }
  }
  /* After a failure (its error posted) the task runs once more to end the stream. */
  if (result == GST_FLOW_ERROR) self->halted = TRUE;
  gst_pad_start_task(self->sinkpad, (GstTaskFunction)decode_loop, self->sinkpad, NULL);
  GST_PAD_STREAM_UNLOCK(self->sinkpad);
  return result == GST_FLOW_OK;
}

/* ---- pads ---- */

static gboolean src_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  GstTarnDec *self = GST_TARN_DEC(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
    gboolean done = handle_seek(self, event);
    gst_event_unref(event);
    return done;
  }
  return gst_pad_event_default(pad, parent, event);
}

static gboolean src_query(GstPad *pad, GstObject *parent, GstQuery *query) {
  GstTarnDec *self = GST_TARN_DEC(parent);
  GstFormat format;
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION:
      gst_query_parse_duration(query, &format, NULL);
      if (!length_known(self)) return FALSE;
      if (format == GST_FORMAT_TIME) {
        gst_query_set_duration(query, format, (gint64)frame_to_time(self->info.sample_count));
        return TRUE;
      }
      if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_duration(query, format, (gint64)self->info.sample_count);
        return TRUE;
      }
      return FALSE;
    case GST_QUERY_POSITION: {
      gst_query_parse_position(query, &format, NULL);
      GST_OBJECT_LOCK(self);
      guint64 frame = self->next_frame;
      GST_OBJECT_UNLOCK(self);
      if (format == GST_FORMAT_TIME) {
        gst_query_set_position(query, format, (gint64)frame_to_time(frame));
        return TRUE;
      }
      if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_position(query, format, (gint64)frame);
        return TRUE;
      }
      return FALSE;
    }
    case GST_QUERY_SEEKING:
      gst_query_parse_seeking(query, &format, NULL, NULL, NULL);
      if (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) return FALSE;
      if (self->push_mode) {
        gst_query_set_seeking(query, format, FALSE, -1, -1);
      } else if (!length_known(self)) {
        gst_query_set_seeking(query, format, self->have_info, 0, -1);
      } else {
        guint64 end = format == GST_FORMAT_TIME ? frame_to_time(self->info.sample_count)
                                                : self->info.sample_count;
        gst_query_set_seeking(query, format, TRUE, 0, (gint64)end);
      }
      return TRUE;
    default:
      return gst_pad_query_default(pad, parent, query);
  }
}

static gboolean sink_activate(GstPad *pad, GstObject *parent) {
  GstQuery *query = gst_query_new_scheduling();
  gboolean pull = gst_pad_peer_query(pad, query) &&
                  gst_query_has_scheduling_mode_with_flags(query, GST_PAD_MODE_PULL,
                                                           GST_SCHEDULING_FLAG_SEEKABLE);
  gst_query_unref(query);
  GST_DEBUG_OBJECT(parent, "activating in %s mode", pull ? "pull" : "push");
  return gst_pad_activate_mode(pad, pull ? GST_PAD_MODE_PULL : GST_PAD_MODE_PUSH, TRUE);
}

/* Push mode: wakes every wait and stops the decoding task. */
static void stop_push_task(GstTarnDec *self) {
  g_mutex_lock(&self->queue_lock);
  self->queue_flushing = TRUE;
  g_cond_broadcast(&self->queue_changed);
  g_mutex_unlock(&self->queue_lock);
  gst_pad_stop_task(self->srcpad);
}

static gboolean sink_activate_mode(GstPad *pad, GstObject *parent, GstPadMode mode,
                                   gboolean active) {
  GstTarnDec *self = GST_TARN_DEC(parent);
  if (mode == GST_PAD_MODE_PULL) {
    self->push_mode = FALSE;
    if (active) return gst_pad_start_task(pad, (GstTaskFunction)decode_loop, pad, NULL);
    return gst_pad_stop_task(pad);
  }
  if (mode != GST_PAD_MODE_PUSH) return FALSE;
  if (active) {
    self->push_mode = TRUE;
    g_mutex_lock(&self->queue_lock);
    gst_adapter_clear(self->queue);
    self->queue_eos = FALSE;
    self->queue_flushing = FALSE;
    self->task_result = GST_FLOW_OK;
    g_mutex_unlock(&self->queue_lock);
    return gst_pad_start_task(self->srcpad, (GstTaskFunction)decode_loop, self->srcpad, NULL);
  }
  stop_push_task(self);
  return TRUE;
}

static gboolean src_activate_mode(GstPad *pad, GstObject *parent, GstPadMode mode,
                                  gboolean active) {
  (void)pad;
  GstTarnDec *self = GST_TARN_DEC(parent);
  if (mode != GST_PAD_MODE_PUSH) return FALSE;
  if (!active && self->push_mode) stop_push_task(self);
  return TRUE;
}

/* Push mode: queues the stream for the task, waiting while the queue is full. */
static GstFlowReturn sink_chain(GstPad *pad, GstObject *parent, GstBuffer *buffer) {
  (void)pad;
  GstTarnDec *self = GST_TARN_DEC(parent);
  g_mutex_lock(&self->queue_lock);
  while (gst_adapter_available(self->queue) >= PUSH_QUEUE_BYTES && !self->queue_flushing &&
         self->task_result == GST_FLOW_OK)
    g_cond_wait(&self->queue_changed, &self->queue_lock);
  GstFlowReturn result = self->queue_flushing ? GST_FLOW_FLUSHING : self->task_result;
  if (result == GST_FLOW_OK) {
    gst_adapter_push(self->queue, buffer);
    g_cond_broadcast(&self->queue_changed);
  } else {
    gst_buffer_unref(buffer);
  }
  g_mutex_unlock(&self->queue_lock);
  return result;
}

static gboolean sink_event(GstPad *pad, GstObject *parent, GstEvent *event) {
  GstTarnDec *self = GST_TARN_DEC(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_EOS:
      /* The task ends the stream once it has decoded every queued byte. */
      g_mutex_lock(&self->queue_lock);
      self->queue_eos = TRUE;
      g_cond_broadcast(&self->queue_changed);
      g_mutex_unlock(&self->queue_lock);
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_FLUSH_START:
      stop_push_task(self);
      return gst_pad_push_event(self->srcpad, event);
    case GST_EVENT_FLUSH_STOP: {
      /* Upstream has moved in the stream: what follows is read as a stream from its start. */
      g_mutex_lock(&self->queue_lock);
      gst_adapter_clear(self->queue);
      self->queue_eos = FALSE;
      self->queue_flushing = FALSE;
      self->task_result = GST_FLOW_OK;
      g_mutex_unlock(&self->queue_lock);
      close_decoder(self);
      self->next_frame = 0;
      self->stop_frame = G_MAXUINT64;
      gst_segment_init(&self->segment, GST_FORMAT_TIME);
      self->need_segment = TRUE;
      self->discont = TRUE;
      gboolean done = gst_pad_push_event(self->srcpad, event);
      gst_pad_start_task(self->srcpad, (GstTaskFunction)decode_loop, self->srcpad, NULL);
      return done;
    }
    case GST_EVENT_STREAM_START:
    case GST_EVENT_CAPS:
    case GST_EVENT_SEGMENT:
    case GST_EVENT_TAG:
      /* The task sends its own stream start, raw caps, tags and time segment. */
      gst_event_unref(event);
      return TRUE;
    default:
      return gst_pad_event_default(pad, parent, event);
  }
}

/* ---- element ---- */

static void reset(GstTarnDec *self) {
  close_decoder(self);
  gst_clear_buffer(&self->pulled);
  self->pulled_offset = 0;
  self->have_info = FALSE;
  self->read_offset = 0;
  self->pull_result = GST_FLOW_OK;
  self->next_frame = 0;
  self->stop_frame = G_MAXUINT64;
  gst_segment_init(&self->segment, GST_FORMAT_TIME);
  self->started = FALSE;
  self->need_segment = TRUE;
  self->discont = TRUE;
  self->past_end = FALSE;
  self->halted = FALSE;
  self->seek_seqnum = 0;
}

static GstStateChangeReturn change_state(GstElement *element, GstStateChange transition) {
  GstTarnDec *self = GST_TARN_DEC(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) reset(self);
  GstStateChangeReturn result =
      GST_ELEMENT_CLASS(gst_tarn_dec_parent_class)->change_state(element, transition);
  /* The pads are deactivated by now: the task has stopped. */
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) reset(self);
  return result;
}

static void finalize(GObject *object) {
  GstTarnDec *self = GST_TARN_DEC(object);
  close_decoder(self);
  gst_clear_buffer(&self->pulled);
  g_object_unref(self->queue);
  g_mutex_clear(&self->queue_lock);
  g_cond_clear(&self->queue_changed);
  G_OBJECT_CLASS(gst_tarn_dec_parent_class)->finalize(object);
}

static void gst_tarn_dec_class_init(GstTarnDecClass *klass) {
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  G_OBJECT_CLASS(klass)->finalize = finalize;
  element_class->change_state = change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "tarn audio decoder", "Codec/Decoder/Audio",
      "Decodes a tarn stream to 44100 Hz 16-bit stereo, with exact seeking", "tarn");
  GST_DEBUG_CATEGORY_INIT(tarn_dec_debug, "tarndec", 0, "tarn decoder");
}

static void gst_tarn_dec_init(GstTarnDec *self) {
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_activate_function(self->sinkpad, sink_activate);
  gst_pad_set_activatemode_function(self->sinkpad, sink_activate_mode);
  gst_pad_set_chain_function(self->sinkpad, sink_chain);
  gst_pad_set_event_function(self->sinkpad, sink_event);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);

  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_event_function(self->srcpad, src_event);
  gst_pad_set_query_function(self->srcpad, src_query);
  gst_pad_set_activatemode_function(self->srcpad, src_activate_mode);
  gst_pad_use_fixed_caps(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
  self->decoder = NULL;
  self->pulled = NULL;
  self->queue = gst_adapter_new();
  g_mutex_init(&self->queue_lock);
  g_cond_init(&self->queue_changed);
  self->push_mode = FALSE;
  self->task_result = GST_FLOW_OK;
  reset(self);
}
