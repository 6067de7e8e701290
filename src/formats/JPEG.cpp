// JPEG through libjpeg-turbo: the header and its markers (EXIF orientation,
// ICC profile, Adobe's transform), then the first frame at the smallest
// DCT scale (1/8, 1/4, 1/2, 1/1) that still gives the page every pixel it
// needs. Greyscale comes out RGB; CMYK and YCCK come out CMYK and become
// RGB through ColourProfile.
//
// libjpeg reports a fatal error through error_exit, which here long-jumps
// back into DecodeJPEGData: that function is plain C in C++ clothing, with
// no object that has a destructor, and everything a jump must not lose
// lives in the JPEGState it was given. Messages never reach standard error:
// the last one is kept for the reason or warning line.

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "ColourProfile.h"
#include "Orientation.h"
#include "formats/Format.h"

namespace {

const int MAX_SCANS = 1000;  // a progressive file of more scans is refused, not decoded for minutes

struct JPEGState {
  jpeg_error_mgr error;  // first: libjpeg's error manager points here
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  char last_message[JMSG_LENGTH_MAX];
  bool is_cut_short;
  bool is_out_of_memory;
  bool is_cmyk;
  bool is_inverted;
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

// The whole decode, between one setjmp and the library's calls.
int DecodeJPEGData(const FileBytes& file, const ImageRequest& request, DecodedImage& image, JPEGState& state,
                   jpeg_decompress_struct& info) {
  info.err = jpeg_std_error(&state.error);
  state.error.error_exit = ExitOnError;
  state.error.emit_message = KeepMessage;
  state.error.output_message = KeepOutputMessage;
  state.progress.progress_monitor = CountScans;
  if (setjmp(state.jump) != 0) {
    std::free(image.p_pixels);
    image.p_pixels = nullptr;
    jpeg_destroy_decompress(&info);
    image.SetMessage(state.last_message);
    return state.is_out_of_memory ? DECODE_NO_MEMORY : DECODE_UNREADABLE;
  }
  jpeg_create_decompress(&info);
  info.progress = &state.progress;
  if (image.max_pixels > 0) info.mem->max_memory_to_use = long(image.max_pixels) * 32;
  jpeg_mem_src(&info, file.p_data, static_cast<unsigned long>(file.size));
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  if (state.is_cut_short) {
    // The data ended within the header: there is no picture to draw.
    jpeg_destroy_decompress(&info);
    image.SetMessage(state.last_message);
    return DECODE_UNREADABLE;
  }

  image.full_width = int(info.image_width);
  image.full_height = int(info.image_height);
  image.orientation = FindOrientation(&info);
  JOCTET* p_icc = nullptr;
  unsigned int icc_size = 0;
  if (jpeg_read_icc_profile(&info, &p_icc, &icc_size)) {
    image.p_icc = p_icc;
    image.icc_size = icc_size;
  }
  state.is_cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  state.is_inverted = state.is_cmyk && info.saw_Adobe_marker;
  info.out_color_space = state.is_cmyk ? JCS_CMYK : JCS_RGB;

  int least_width = 0;
  int least_height = 0;
  request.GetLeastSize(image.full_width, image.full_height, image.orientation, least_width, least_height);
  info.scale_num = 1;
  info.scale_denom = ChooseScale(image.full_width, image.full_height, least_width, least_height);
  jpeg_calc_output_dimensions(&info);
  const int status = image.AllocatePixels(int(info.output_width), int(info.output_height), state.is_cmyk ? 4 : 3);
  if (status != DECODED) {
    jpeg_destroy_decompress(&info);
    return status;
  }

  const std::size_t row_size = std::size_t(info.output_width) * std::size_t(info.output_components);
  if (info.progressive_mode && info.scale_denom > 1) {
    // Scaled down, a block takes only its lowest frequencies (at 1/8 the
    // luma its DC alone): once those are final, the later scans (the high
    // frequencies' refinements, much of the data) change nothing on the
    // page and are not decoded.
    info.buffered_image = TRUE;
    info.do_block_smoothing = FALSE;
    jpeg_start_decompress(&info);
    for (;;) {
      const int progress = jpeg_consume_input(&info);
      if (progress == JPEG_REACHED_EOI || progress == JPEG_SUSPENDED) break;
      if (progress == JPEG_SCAN_COMPLETED && IsEveryUsedCoefficientFinal(&info)) break;
    }
    jpeg_start_output(&info, info.input_scan_number);
    while (info.output_scanline < info.output_height) {
      JSAMPROW p_row = image.p_pixels + std::size_t(info.output_scanline) * row_size;
      jpeg_read_scanlines(&info, &p_row, 1);
    }
    jpeg_finish_output(&info);
  } else {
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
      JSAMPROW p_row = image.p_pixels + std::size_t(info.output_scanline) * row_size;
      jpeg_read_scanlines(&info, &p_row, 1);
    }
    jpeg_finish_decompress(&info);
  }
  jpeg_destroy_decompress(&info);
  if (state.is_cut_short) {
    image.is_cut_short = true;
    image.SetMessage(state.last_message);
  }
  return DECODED;
}

}  // namespace

int DecodeJPEG(const FileBytes& file, const ImageRequest& request, DecodedImage& image) {
  JPEGState state;
  std::memset(&state, 0, sizeof state);
  jpeg_decompress_struct info;
  std::memset(&info, 0, sizeof info);
  const int status = DecodeJPEGData(file, request, image, state, info);
  if (status != DECODED || !state.is_cmyk) return status;

  // CMYK: made RGB here, through the file's own profile when it has one.
  ConvertCMYK(image.p_pixels, image.width, image.height, state.is_inverted, image.p_icc, image.icc_size);
  std::free(image.p_icc);
  image.p_icc = nullptr;
  image.icc_size = 0;
  image.channels = 3;
  void* p_smaller = std::realloc(image.p_pixels, std::size_t(image.width) * std::size_t(image.height) * 3);
  if (p_smaller != nullptr) image.p_pixels = static_cast<unsigned char*>(p_smaller);
  return DECODED;
}
