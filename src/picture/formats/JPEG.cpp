// JPEG through libjpeg-turbo: the header and its markers (EXIF orientation,
// ICC profile, Adobe's transform), then the first frame at the smallest
// DCT scale (1/8, 1/4, 1/2, 1/1) that still gives the page every pixel it
// needs, row by row into the canvas. Greyscale comes out RGB; CMYK and
// YCCK come out CMYK, which the canvas makes RGB.
//
// The bytes come from the stream as libjpeg asks for them; a file that ends
// early gets an end marker, as libjpeg's own sources do, and what arrived
// is drawn. Only a file of several scans (progressive) needs memory for
// all its coefficients, which is weighed before libjpeg allocates it.
//
// libjpeg reports a fatal error through error_exit, which here long-jumps
// back into DecodeJPEGData: that function is plain C in C++ clothing, with
// no object that has a destructor, and everything a jump must not lose
// lives in the JPEGState it was given. Messages never reach standard error:
// the last one is kept for the reason or warning line.

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "picture/Orientation.h"
#include "picture/formats/Decoder.h"

namespace {

const int MAX_SCANS = 1000;  // a progressive file of more scans is refused, not decoded for minutes

struct JPEGState {
  jpeg_error_mgr error;  // first: libjpeg's error manager points here
  jpeg_source_mgr source;
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  PictureStream* p_stream;
  JOCTET end_marker[2];
  char last_message[JMSG_LENGTH_MAX];
  JOCTET* p_icc;  // malloc'd by libjpeg's jpeg_read_icc_profile
  bool is_cut_short;
  bool is_out_of_memory;
};

JPEGState* GetState(j_common_ptr p_info) { return reinterpret_cast<JPEGState*>(p_info->err); }

void ExitOnError(j_common_ptr p_info) {
  JPEGState* p_state = GetState(p_info);
  // After the data ended early, that is the reason whatever follows.
  if (!p_state->is_cut_short) p_info->err->format_message(p_info, p_state->last_message);
  p_state->is_out_of_memory = p_info->err->msg_code == JERR_OUT_OF_MEMORY;
  std::longjmp(p_state->jump, 1);
}

void KeepMessage(j_common_ptr p_info, int level) {
  if (level >= 0) return;  // trace messages
  JPEGState* p_state = GetState(p_info);
  // The first warning of a file that ends early is the one that says so;
  // later ones only follow from it.
  if (p_state->is_cut_short) return;
  p_info->err->format_message(p_info, p_state->last_message);
  if (p_info->err->msg_code == JWRN_JPEG_EOF) p_state->is_cut_short = true;
  p_info->err->num_warnings++;
}

void KeepOutputMessage(j_common_ptr p_info) { p_info->err->format_message(p_info, GetState(p_info)->last_message); }

void CountScans(j_common_ptr p_info) {
  j_decompress_ptr p_decompress = reinterpret_cast<j_decompress_ptr>(p_info);
  if (p_decompress->input_scan_number > MAX_SCANS) {
    p_info->err->msg_code = JERR_NOTIMPL;
    std::snprintf(GetState(p_info)->last_message, JMSG_LENGTH_MAX, "more than %d scans", MAX_SCANS);
    std::longjmp(GetState(p_info)->jump, 1);
  }
}

// The stream as libjpeg's source: its buffer is handed over whole, and an
// end marker follows the last byte, as libjpeg's own sources do.
JPEGState* GetSourceState(j_decompress_ptr p_info) {
  return reinterpret_cast<JPEGState*>(reinterpret_cast<char*>(p_info->src) - offsetof(JPEGState, source));
}

void StartSource(j_decompress_ptr) {}
void EndSource(j_decompress_ptr) {}

boolean FillSource(j_decompress_ptr p_info) {
  JPEGState* p_state = GetSourceState(p_info);
  PictureStream& stream = *p_state->p_stream;
  if (stream.Refill()) {
    // The buffer stays as it is until the next Refill, which comes only
    // once libjpeg has used it up.
    p_info->src->next_input_byte = reinterpret_cast<const JOCTET*>(stream.GetNext());
    p_info->src->bytes_in_buffer = std::size_t(stream.GetEnd() - stream.GetNext());
    stream.SetNext(stream.GetEnd());
    return TRUE;
  }
  WARNMS(p_info, JWRN_JPEG_EOF);
  p_state->end_marker[0] = 0xFF;
  p_state->end_marker[1] = JPEG_EOI;
  p_info->src->next_input_byte = p_state->end_marker;
  p_info->src->bytes_in_buffer = 2;
  return TRUE;
}

void SkipSource(j_decompress_ptr p_info, long count) {
  if (count <= 0) return;
  while (count > long(p_info->src->bytes_in_buffer)) {
    count -= long(p_info->src->bytes_in_buffer);
    FillSource(p_info);
  }
  p_info->src->next_input_byte += count;
  p_info->src->bytes_in_buffer -= std::size_t(count);
}

void UseStream(jpeg_decompress_struct& info, JPEGState& state, PictureStream& stream) {
  state.p_stream = &stream;
  state.source.init_source = StartSource;
  state.source.fill_input_buffer = FillSource;
  state.source.skip_input_data = SkipSource;
  state.source.resync_to_restart = jpeg_resync_to_restart;
  state.source.term_source = EndSource;
  state.source.next_input_byte = nullptr;
  state.source.bytes_in_buffer = 0;
  info.src = &state.source;
}

// The orientation from the first APP1 marker that holds EXIF data.
int FindOrientation(j_decompress_ptr p_info) {
  for (jpeg_saved_marker_ptr p_marker = p_info->marker_list; p_marker != nullptr; p_marker = p_marker->next) {
    if (p_marker->marker == JPEG_APP0 + 1 && p_marker->data_length >= 6 &&
        std::memcmp(p_marker->data, "Exif\0\0", 6) == 0) {
      return ReadExifOrientation(p_marker->data, p_marker->data_length);
    }
  }
  return 1;
}

// The side of the inverse DCT a component is decoded with at this scale.
int GetScaledSize(const jpeg_component_info& component) {
#if JPEG_LIB_VERSION >= 70
  return component.DCT_h_scaled_size > component.DCT_v_scaled_size ? component.DCT_h_scaled_size
                                                                   : component.DCT_v_scaled_size;
#else
  return component.DCT_scaled_size;
#endif
}

// Whether a progressive file's scans so far have given every coefficient
// that the decode uses all its bits, so that later scans cannot change the
// output. Only at 1/8 is that a small part: a block of side 1 is its DC
// coefficient alone, while libjpeg's reduced inverse DCTs of side 2 and 4
// also take high frequencies (1, 3, 5, 7 and all but 4).
bool IsEveryUsedCoefficientFinal(j_decompress_ptr p_info) {
  if (p_info->coef_bits == nullptr) return false;
  for (int index = 0; index < p_info->num_components; ++index) {
    if (GetScaledSize(p_info->comp_info[index]) != 1 || p_info->coef_bits[index][0] != 0) return false;
  }
  return true;
}

// The largest denominator of 8, 4, 2 and 1 that still gives at least the
// least size.
unsigned ChooseScale(int width, int height, int least_width, int least_height) {
  for (unsigned denominator = 8; denominator > 1; denominator /= 2) {
    const long scaled_width = (long(width) + denominator - 1) / denominator;
    const long scaled_height = (long(height) + denominator - 1) / denominator;
    if (scaled_width >= least_width && scaled_height >= least_height) return denominator;
  }
  return 1;
}

// The bytes libjpeg keeps for a file of several scans: every coefficient
// of every block, 64 of 2 bytes each, its rows and columns of blocks
// rounded up to whole groups of the component's sampling, as libjpeg
// allocates them.
long long GetCoefficientBytes(j_decompress_ptr p_info) {
  if (!jpeg_has_multiple_scans(p_info)) return 0;
  long long bytes = 0;
  for (int index = 0; index < p_info->num_components; ++index) {
    const jpeg_component_info& component = p_info->comp_info[index];
    const long long columns = (long long)(component.width_in_blocks + component.h_samp_factor - 1) /
                              component.h_samp_factor * component.h_samp_factor;
    const long long rows = (long long)(component.height_in_blocks + component.v_samp_factor - 1) /
                           component.v_samp_factor * component.v_samp_factor;
    bytes += columns * rows * DCTSIZE2 * (long long)sizeof(JCOEF);
  }
  return bytes;
}

// The header as the canvas takes it, at the scale that keeps every pixel
// the page needs.
void ChooseRows(jpeg_decompress_struct& info, JPEGState& state, Canvas& canvas, PictureHeader& header) {
  header.width = int(info.image_width);
  header.height = int(info.image_height);
  header.orientation = FindOrientation(&info);
  unsigned int icc_size = 0;
  if (jpeg_read_icc_profile(&info, &state.p_icc, &icc_size)) {
    header.p_icc = state.p_icc;
    header.icc_size = icc_size;
  }
  const bool is_cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  header.layout = !is_cmyk ? SampleLayout::RGB : info.saw_Adobe_marker ? SampleLayout::INVERTED_CMYK : SampleLayout::CMYK;
  info.out_color_space = is_cmyk ? JCS_CMYK : JCS_RGB;
  int least_width = 0;
  int least_height = 0;
  canvas.GetLeastSize(header.width, header.height, header.orientation, least_width, least_height);
  info.scale_num = 1;
  info.scale_denom = ChooseScale(header.width, header.height, least_width, least_height);
  jpeg_calc_output_dimensions(&info);
  header.row_width = int(info.output_width);
  header.row_height = int(info.output_height);
}

void ReadRows(jpeg_decompress_struct& info, Canvas& canvas) {
  JSAMPARRAY p_rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                info.output_width * JDIMENSION(info.output_components), 1);
  while (info.output_scanline < info.output_height) {
    jpeg_read_scanlines(&info, p_rows, 1);
    canvas.PutRows(p_rows[0]);
  }
}

// Scaled down, a block takes only its lowest frequencies (at 1/8 the luma
// its DC alone): once those are final, the later scans (the high
// frequencies' refinements, much of the data) change nothing on the page
// and are not decoded.
void ReadProgressiveRows(jpeg_decompress_struct& info, Canvas& canvas) {
  info.buffered_image = TRUE;
  info.do_block_smoothing = FALSE;
  jpeg_start_decompress(&info);
  for (;;) {
    const int progress = jpeg_consume_input(&info);
    if (progress == JPEG_REACHED_EOI || progress == JPEG_SUSPENDED) break;
    if (progress == JPEG_SCAN_COMPLETED && IsEveryUsedCoefficientFinal(&info)) break;
  }
  jpeg_start_output(&info, info.input_scan_number);
  ReadRows(info, canvas);
  jpeg_finish_output(&info);
}

// The whole decode, between one setjmp and the library's calls; the
// caller destroys the decompressor and frees the profile on every path.
LoadFailure DecodeJPEGData(PictureStream& stream, Canvas& canvas, LoadReport& report, JPEGState& state,
                           jpeg_decompress_struct& info) {
  info.err = jpeg_std_error(&state.error);
  state.error.error_exit = ExitOnError;
  state.error.emit_message = KeepMessage;
  state.error.output_message = KeepOutputMessage;
  state.progress.progress_monitor = CountScans;
  if (setjmp(state.jump) != 0) {
    report.SetWords(state.last_message);
    if (!state.is_out_of_memory) return LoadFailure::UNREADABLE;
    canvas.Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  jpeg_create_decompress(&info);
  info.progress = &state.progress;
  UseStream(info, state, stream);
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  if (state.is_cut_short) {
    // The data ended within the header: there is no picture to draw.
    report.SetWords(state.last_message);
    return LoadFailure::UNREADABLE;
  }

  PictureHeader header;
  ChooseRows(info, state, canvas, header);
  LoadFailure failure = canvas.Start(header);
  if (failure != LoadFailure::NONE) return failure;
  if (!canvas.Reserve(GetCoefficientBytes(&info))) return LoadFailure::NO_MEMORY;
  if (info.progressive_mode && info.scale_denom > 1) {
    ReadProgressiveRows(info, canvas);
  } else {
    jpeg_start_decompress(&info);
    ReadRows(info, canvas);
    jpeg_finish_decompress(&info);
  }
  if (state.is_cut_short) {
    report.is_cut_short = true;
    report.SetWords(state.last_message);
  }
  return LoadFailure::NONE;
}

}  // namespace

LoadFailure DecodeJPEG(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  JPEGState state;
  std::memset(&state, 0, sizeof state);
  jpeg_decompress_struct info;
  std::memset(&info, 0, sizeof info);
  const LoadFailure failure = DecodeJPEGData(stream, canvas, report, state, info);
  jpeg_destroy_decompress(&info);
  std::free(state.p_icc);
  return failure;
}
