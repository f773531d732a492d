/* The plugin's three parts, registered by plugin.c. */
#ifndef TARN_GST_TARN_H
#define TARN_GST_TARN_H

#include <gst/gst.h>

G_BEGIN_DECLS

/* The raw side of both elements: what the codec takes and gives. */
#define TARN_GST_RAW_CAPS \
  "audio/x-raw, format=(string)S16LE, layout=(string)interleaved, rate=(int)44100, channels=(int)2"
#define TARN_GST_STREAM_CAPS "audio/x-tarn"
#define TARN_GST_RATE 44100
#define TARN_GST_FRAME_BYTES 4 /* two 16-bit samples */

#define GST_TYPE_TARN_DEC (gst_tarn_dec_get_type())
G_DECLARE_FINAL_TYPE(GstTarnDec, gst_tarn_dec, GST, TARN_DEC, GstElement)

#define GST_TYPE_TARN_ENC (gst_tarn_enc_get_type())
G_DECLARE_FINAL_TYPE(GstTarnEnc, gst_tarn_enc, GST, TARN_ENC, GstElement)

gboolean tarn_gst_register_type_finder(GstPlugin *plugin);

G_END_DECLS

#endif
