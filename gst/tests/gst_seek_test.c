/* tarndec in whole pipelines, checked against the PCM of tarn-decode (the WAV it writes).
 *
 *   gst_seek_test seek STREAM.tarn REFERENCE.wav [SEEKS]
 *       the duration queries, then SEEKS (default 20) random exact flushing seeks, alternately in
 *       time and in frames, among them the first and the last frame; after each the first
 *       buffer must start at the frame asked for and hold the reference's samples from there.
 *   gst_seek_test parallel STREAM.tarn REFERENCE.wav [PIPELINES]
 *       PIPELINES (default 8) decodes at once in this process, each of the whole reference.
 *   gst_seek_test damaged STREAM.tarn REFERENCE.wav TEXT
 *       a damaged stream: every frame of the reference (what tarn-decode keeps; "none" for no
 *       frame at all), then an error on the bus whose message holds TEXT.
 *
 * The plugin is found through GST_PLUGIN_PATH. Exit status 0 when every check holds. */
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define RATE 44100
#define FRAME_BYTES 4
#define WAV_HEADER_BYTES 44

static int failures = 0;
#define CHECK(cond, ...)                                               \
  do {                                                                 \
    if (!(cond)) {                                                     \
      g_atomic_int_inc(&failures);                                     \
      fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #cond);       \
      fprintf(stderr, __VA_ARGS__);                                    \
      fputc('\n', stderr);                                             \
    }                                                                  \
  } while (0)

typedef struct {
  const char *stream;
  guint8 *pcm; /* the reference's samples, after its 44-byte header */
  gsize frames;
} Reference;

static guint64 frame_time(guint64 frame) {
  return gst_util_uint64_scale_int(frame, GST_SECOND, RATE);
}

static GstElement *make_pipeline(const Reference *ref, GstAppSink **sink) {
  gchar *description = g_strdup_printf(
      "filesrc location=\"%s\" ! tarndec ! appsink name=sink sync=false max-buffers=4",
      ref->stream);
  GError *error = NULL;
  GstElement *pipeline = gst_parse_launch(description, &error);
  g_free(description);
  if (pipeline == NULL || error != NULL) { /* a missing element gives a pipeline and an error */
    fprintf(stderr, "cannot build the pipeline: %s\n", error ? error->message : "?");
    exit(2);
  }
  GstElement *element = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  *sink = GST_APP_SINK(element);
  return pipeline;
}

static gboolean settle(GstElement *pipeline) {
  return gst_element_get_state(pipeline, NULL, NULL, 30 * GST_SECOND) == GST_STATE_CHANGE_SUCCESS;
}

/* Compares a sample's buffer with the reference from `frame` on; returns its frame count. */
static gsize check_sample(const Reference *ref, GstSample *sample, guint64 frame, const char *what) {
  GstBuffer *buffer = gst_sample_get_buffer(sample);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  gsize frames = map.size / FRAME_BYTES;
  CHECK(frames > 0 && frame + frames <= ref->frames, "%s: %zu frames at frame %" G_GUINT64_FORMAT,
        what, frames, frame);
  if (frames > 0 && frame + frames <= ref->frames) {
    CHECK(memcmp(map.data, ref->pcm + frame * FRAME_BYTES, frames * FRAME_BYTES) == 0,
          "%s: the samples from frame %" G_GUINT64_FORMAT " differ from the whole decode's", what,
          frame);
  }
  gst_buffer_unmap(buffer, &map);
  return frames;
}

static void run_seeks(const Reference *ref, int seeks) {
  GstAppSink *sink;
  GstElement *pipeline = make_pipeline(ref, &sink);
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  CHECK(settle(pipeline), "the pipeline does not preroll");

  gint64 duration = -1;
  CHECK(gst_element_query_duration(pipeline, GST_FORMAT_DEFAULT, &duration) &&
            duration == (gint64)ref->frames,
        "duration %" G_GINT64_FORMAT " frames, the reference has %zu", duration, ref->frames);
  CHECK(gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration) &&
            duration == (gint64)frame_time(ref->frames),
        "duration %" G_GINT64_FORMAT " ns", duration);

  guint64 state = 20261209;
  for (int i = 0; i < seeks; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    guint64 frame = (state >> 33) % ref->frames;
    if (i == 1) frame = ref->frames - 1;
    if (i == 2) frame = 0;
    gboolean in_frames = i % 2 == 0;
    GstFormat format = in_frames ? GST_FORMAT_DEFAULT : GST_FORMAT_TIME;
    gint64 position = in_frames ? (gint64)frame : (gint64)frame_time(frame);
    gboolean sent = gst_element_seek(pipeline, 1.0, format,
                                     GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE,
                                     GST_SEEK_TYPE_SET, position, GST_SEEK_TYPE_NONE, -1);
    CHECK(sent, "seek %d to frame %" G_GUINT64_FORMAT " refused", i, frame);
    if (!sent) continue;
    CHECK(settle(pipeline), "no preroll after seek %d", i);
    GstSample *sample = gst_app_sink_try_pull_preroll(sink, 10 * GST_SECOND);
    CHECK(sample != NULL, "no buffer after seek %d to frame %" G_GUINT64_FORMAT, i, frame);
    if (sample == NULL) continue;
    GstBuffer *buffer = gst_sample_get_buffer(sample);
    CHECK(GST_BUFFER_PTS(buffer) == frame_time(frame) && GST_BUFFER_OFFSET(buffer) == frame,
          "seek %d to frame %" G_GUINT64_FORMAT ": the first buffer starts at %" GST_TIME_FORMAT
          ", offset %" G_GUINT64_FORMAT, i, frame, GST_TIME_ARGS(GST_BUFFER_PTS(buffer)),
          GST_BUFFER_OFFSET(buffer));
    char what[64];
    g_snprintf(what, sizeof what, "seek %d (%s)", i, in_frames ? "frames" : "time");
    check_sample(ref, sample, frame, what);
    gst_sample_unref(sample);
    gint64 position_now = -1;
    CHECK(gst_element_query_position(pipeline, GST_FORMAT_DEFAULT, &position_now) &&
              position_now > (gint64)frame,
          "seek %d: position %" G_GINT64_FORMAT " after frame %" G_GUINT64_FORMAT, i,
          position_now, frame);
  }

  /* A segment with a stop, in frames and then in time: played to its end it holds exactly the
   * frames from start to stop. */
  for (int i = 0; i < 2; ++i) {
    guint64 first = ref->frames / 3 + 777 * (guint64)i, stop = first + 10007;
    if (stop > ref->frames) stop = ref->frames;
    GstFormat format = i == 0 ? GST_FORMAT_DEFAULT : GST_FORMAT_TIME;
    gint64 start_at = i == 0 ? (gint64)first : (gint64)frame_time(first);
    gint64 stop_at = i == 0 ? (gint64)stop : (gint64)frame_time(stop);
    CHECK(gst_element_seek(pipeline, 1.0, format, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE,
                           GST_SEEK_TYPE_SET, start_at, GST_SEEK_TYPE_SET, stop_at),
          "a seek with a stop is refused");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    guint64 frame = first;
    GstSample *sample;
    while ((sample = gst_app_sink_try_pull_sample(sink, 10 * GST_SECOND)) != NULL) {
      frame += check_sample(ref, sample, frame, "segment with a stop");
      gst_sample_unref(sample);
    }
    CHECK(gst_app_sink_is_eos(sink) && frame == stop,
          "the segment from %" G_GUINT64_FORMAT " to %" G_GUINT64_FORMAT " ends at %" G_GUINT64_FORMAT,
          first, stop, frame);
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    settle(pipeline);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  printf("seek test: %d exact flushing seeks in %zu frames and two segments with a stop checked\n",
         seeks, ref->frames);
}

/* One whole decode, every buffer against the reference. With error_text, the bus must carry
 * an error naming it, and the buffers before it every frame of the reference (the frames
 * tarn-decode keeps before the damage); else the bus carries no error. */
static void decode_whole_checked(const Reference *ref, const char *error_text) {
  GstAppSink *sink;
  GstElement *pipeline = make_pipeline(ref, &sink);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  guint64 frame = 0;
  GstSample *sample;
  while ((sample = gst_app_sink_try_pull_sample(sink, 30 * GST_SECOND)) != NULL) {
    frame += check_sample(ref, sample, frame, "whole decode");
    gst_sample_unref(sample);
  }
  CHECK(gst_app_sink_is_eos(sink), "a whole decode stops without end of stream");
  CHECK(frame == ref->frames, "a whole decode gives %" G_GUINT64_FORMAT " of %zu frames", frame,
        ref->frames);
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
  if (error_text == NULL) {
    CHECK(message == NULL, "an intact stream gives an error on the bus");
  } else {
    GError *error = NULL;
    if (message != NULL) gst_message_parse_error(message, &error, NULL);
    CHECK(error != NULL && strstr(error->message, error_text) != NULL,
          "the bus carries no error naming '%s' (%s)", error_text,
          error != NULL ? error->message : "no error at all");
    if (error != NULL) g_error_free(error);
  }
  if (message != NULL) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
}

static gpointer decode_whole(gpointer data) {
  decode_whole_checked(data, NULL);
  return NULL;
}

static void run_parallel(const Reference *ref, int count) {
  GThread **threads = g_new(GThread *, count);
  for (int i = 0; i < count; ++i) threads[i] = g_thread_new("decode", decode_whole, (gpointer)ref);
  for (int i = 0; i < count; ++i) g_thread_join(threads[i]);
  g_free(threads);
  printf("parallel test: %d pipelines at once, each %zu frames checked\n", count, ref->frames);
}

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  const char *mode = argc > 1 ? argv[1] : "";
  gboolean damaged = strcmp(mode, "damaged") == 0;
  if (argc < 4 || (strcmp(mode, "seek") != 0 && strcmp(mode, "parallel") != 0 && !damaged) ||
      (damaged && argc != 5)) {
    fprintf(stderr, "usage: %s seek|parallel STREAM.tarn REFERENCE.wav [COUNT]\n"
                    "       %s damaged STREAM.tarn REFERENCE.wav TEXT\n", argv[0], argv[0]);
    return 2;
  }
  Reference ref = {argv[2], NULL, 0};
  gchar *wav = NULL;
  gsize wav_size = WAV_HEADER_BYTES;
  if (damaged && strcmp(argv[3], "none") == 0) {
    wav = g_malloc0(WAV_HEADER_BYTES);
  } else if (!g_file_get_contents(argv[3], &wav, &wav_size, NULL) || wav_size < WAV_HEADER_BYTES) {
    fprintf(stderr, "cannot read %s\n", argv[3]);
    return 2;
  }
  ref.pcm = (guint8 *)wav + WAV_HEADER_BYTES;
  ref.frames = (wav_size - WAV_HEADER_BYTES) / FRAME_BYTES;
  if (ref.frames == 0 && !damaged) {
    fprintf(stderr, "%s holds no frames\n", argv[3]);
    return 2;
  }
  if (damaged) {
    decode_whole_checked(&ref, argv[4]);
    printf("damaged stream: %zu good frames, then an error naming '%s'\n", ref.frames, argv[4]);
  } else if (strcmp(mode, "seek") == 0) {
    run_seeks(&ref, argc > 4 ? atoi(argv[4]) : 20);
  } else {
    run_parallel(&ref, argc > 4 ? atoi(argv[4]) : 8);
  }
  g_free(wav);
  if (failures > 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
