// WebP through libwebp's demuxer and its incremental decoder. The demuxer
// takes a file that ends early too, so the frame count, the EXIF
// orientation and the ICC profile come from whatever arrived; the first
// frame is decoded straight into its place on the canvas, and the
// incremental decoder leaves every row it finished there when the data
// stops. Outside the first frame the canvas is transparent, as a browser
// shows it before the second frame.

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstdlib>
#include <cstring>

#include "picture/Orientation.h"
#include "picture/formats/WholePicture.h"

namespace {

const char* GetStatusWords(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OK: return "no error";
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
    case VP8_STATUS_SUSPENDED: return "the image data ends early";
    case VP8_STATUS_USER_ABORT: return "decoding aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "the image data ends early";
  }
  return "unknown libwebp error";
}

int FailWithWords(const char* p_words, DecodedImage& image) {
  image.SetMessage(p_words);
  return DECODE_UNREADABLE;
}

// The chunk's data, or null when the file has no such chunk.
const WebPData* FindChunk(const WebPDemuxer* p_demux, const char* p_name, WebPChunkIterator& chunk) {
  return WebPDemuxGetChunk(p_demux, p_name, 1, &chunk) ? &chunk.chunk : nullptr;
}

void TakeOrientation(const WebPDemuxer* p_demux, DecodedImage& image) {
  WebPChunkIterator chunk;
  const WebPData* p_exif = FindChunk(p_demux, "EXIF", chunk);
  if (p_exif != nullptr) image.orientation = ReadExifOrientation(p_exif->bytes, p_exif->size);
  WebPDemuxReleaseChunkIterator(&chunk);
}

// Copies an ICCP profile that describes RGB samples.
void TakeProfile(const WebPDemuxer* p_demux, DecodedImage& image) {
  WebPChunkIterator chunk;
  const WebPData* p_icc = FindChunk(p_demux, "ICCP", chunk);
  if (p_icc != nullptr && p_icc->size >= 128 && std::memcmp(p_icc->bytes + 16, "RGB ", 4) == 0) {
    image.p_icc = static_cast<unsigned char*>(std::malloc(p_icc->size));
    if (image.p_icc != nullptr) {
      std::memcpy(image.p_icc, p_icc->bytes, p_icc->size);
      image.icc_size = p_icc->size;
    }
  }
  WebPDemuxReleaseChunkIterator(&chunk);
}

// Whether the canvas shows anything transparent: the frame has alpha or
// leaves part of the canvas uncovered.
bool ShowsTransparency(const WebPIterator& frame, int canvas_width, int canvas_height) {
  return frame.has_alpha || frame.x_offset > 0 || frame.y_offset > 0 || frame.x_offset + frame.width < canvas_width ||
         frame.y_offset + frame.height < canvas_height;
}

// Decodes the frame into its place on the allocated, cleared canvas.
int DecodeFrame(const WebPIterator& frame, DecodedImage& image) {
  if (frame.x_offset + frame.width > image.width || frame.y_offset + frame.height > image.height)
    return FailWithWords("the first frame lies outside the canvas", image);
  WebPDecBuffer output;
  WebPInitDecBuffer(&output);
  output.colorspace = image.channels == 4 ? MODE_RGBA : MODE_RGB;
  output.width = frame.width;
  output.height = frame.height;
  output.is_external_memory = 1;
  std::size_t stride = std::size_t(image.width) * image.channels;
  output.u.RGBA.rgba = image.p_pixels + frame.y_offset * stride + std::size_t(frame.x_offset) * image.channels;
  output.u.RGBA.stride = int(stride);
  output.u.RGBA.size = stride * (frame.height - 1) + std::size_t(frame.width) * image.channels;
  WebPIDecoder* p_decoder = WebPINewDecoder(&output);
  if (p_decoder == nullptr) return DECODE_NO_MEMORY;
  VP8StatusCode status = WebPIUpdate(p_decoder, frame.fragment.bytes, frame.fragment.size);
  WebPIDelete(p_decoder);
  if (status == VP8_STATUS_OK) return DECODED;
  if (status == VP8_STATUS_OUT_OF_MEMORY) return DECODE_NO_MEMORY;
  if (status != VP8_STATUS_SUSPENDED) return FailWithWords(GetStatusWords(status), image);
  image.is_cut_short = true;
  image.SetMessage(GetStatusWords(status));
  return DECODED;
}

int DecodeFirstFrame(const WebPDemuxer* p_demux, bool is_whole_file, DecodedImage& image) {
  WebPIterator frame;
  if (!WebPDemuxGetFrame(p_demux, 1, &frame)) {
    WebPDemuxReleaseIterator(&frame);
    return FailWithWords(is_whole_file ? "the file holds no picture" : "the file ends before its picture", image);
  }
  int channels = ShowsTransparency(frame, image.full_width, image.full_height) ? 4 : 3;
  int status = image.AllocatePixels(image.full_width, image.full_height, channels);
  if (status == DECODED) {
    std::memset(image.p_pixels, 0, std::size_t(image.width) * image.height * image.channels);
    status = DecodeFrame(frame, image);
    if (status == DECODED && (!is_whole_file || !frame.complete) && !image.is_cut_short) {
      image.is_cut_short = true;
      image.SetMessage("the file ends early");
    }
  }
  WebPDemuxReleaseIterator(&frame);
  return status;
}

int DecodeFile(const FileBytes& file, DecodedImage& image) {
  WebPData data = {file.p_data, file.size};
  WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
  WebPDemuxer* p_demux = WebPDemuxPartial(&data, &state);
  if (p_demux == nullptr || state < WEBP_DEMUX_PARSED_HEADER) {
    WebPDemuxDelete(p_demux);
    return FailWithWords(state == WEBP_DEMUX_PARSING_HEADER ? "the header ends early" : "not a readable WebP header",
                         image);
  }
  image.full_width = int(WebPDemuxGetI(p_demux, WEBP_FF_CANVAS_WIDTH));
  image.full_height = int(WebPDemuxGetI(p_demux, WEBP_FF_CANVAS_HEIGHT));
  image.frame_count = int(WebPDemuxGetI(p_demux, WEBP_FF_FRAME_COUNT));
  TakeOrientation(p_demux, image);
  TakeProfile(p_demux, image);
  int status = DecodeFirstFrame(p_demux, state == WEBP_DEMUX_DONE, image);
  WebPDemuxDelete(p_demux);
  return status;
}

int DecodeWebPFile(const FileBytes& file, DecodedImage& image) {
  return DecodeFile(file, image);
}

}  // namespace

LoadFailure DecodeWebP(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  return DecodeWholeFile(stream, canvas, report, DecodeWebPFile);
}
