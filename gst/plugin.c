/* libgsttarn.so: the decoder, the encoder and the type finder of audio/x-tarn. */
#include "gsttarn.h"

#include <tarn/tarn.h>

static gboolean plugin_init(GstPlugin *plugin) {
  /* PRIMARY, so that decodebin (and so playbin and gst-discoverer) plugs tarndec by itself. */
  return gst_element_register(plugin, "tarndec", GST_RANK_PRIMARY, GST_TYPE_TARN_DEC) &&
         gst_element_register(plugin, "tarnenc", GST_RANK_PRIMARY, GST_TYPE_TARN_ENC) &&
         tarn_gst_register_type_finder(plugin);
}

#define PACKAGE "tarn"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tarn,
                  "tarn perceptual audio codec: decoder, encoder and type finder",
                  plugin_init, TARN_GST_VERSION, "unknown", "tarn", "tarn")
