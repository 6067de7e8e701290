// JPEG XL through libjxl, fed from the stream as its bytes come: the
// header, the colour encoding, then the first frame's rows through libjxl's
// image-out callback, decoded by libjxl's threads (as many as djxl takes)
// and put in the canvas in their order, as stored; the canvas turns them
// upright by the header's orientation (cjxl writes a recompressed JPEG's
// EXIF orientation there, and libjxl has the EXIF box's own ignored). A
// picture coded in XYB, as lossy ones are, is asked for in sRGB; any other
// comes with the ICC profile of its samples, unless they are sRGB, and the
// canvas converts them.
//
// When the page needs no more than an eighth of each side, the decode stops
// at the first frame's DC pass (its 8 x 8 averages, which a lossy picture
// carries ahead of its detail), which libjxl renders as it stands: the rest
// of the file is neither read nor decoded. An animation's later frames are
// only counted, each skipped as it starts.
//
// libjxl holds the whole frame while it decodes, which is weighed against
// the memory the program may use before a pixel is decoded. Its API has no
// words for a failure, but Debian's build writes the cause to standard
// error: that is caught while libjxl decodes and becomes the reason's
// words, once.

#include <dlfcn.h>
#include <fcntl.h>
#include <jxl/decode.h>
#include <jxl/version.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <mutex>

#include "picture/formats/Decoder.h"

namespace {

// libjxl's functions, looked up when the first JPEG XL picture comes:
// linked in, libjxl's Highway library would measure its timer at every
// start of the program, some milliseconds that no other picture needs.
struct LibJXL {
  decltype(&JxlDecoderCreate) p_create = nullptr;
  decltype(&JxlDecoderDestroy) p_destroy = nullptr;
  decltype(&JxlDecoderSubscribeEvents) p_subscribe_events = nullptr;
  decltype(&JxlDecoderSetKeepOrientation) p_set_keep_orientation = nullptr;
  decltype(&JxlDecoderSetUnpremultiplyAlpha) p_set_unpremultiply_alpha = nullptr;
  decltype(&JxlDecoderSetInput) p_set_input = nullptr;
  decltype(&JxlDecoderReleaseInput) p_release_input = nullptr;
  decltype(&JxlDecoderProcessInput) p_process_input = nullptr;
  decltype(&JxlDecoderGetBasicInfo) p_get_basic_info = nullptr;
  decltype(&JxlDecoderSetPreferredColorProfile) p_set_preferred_color_profile = nullptr;
  decltype(&JxlDecoderGetColorAsEncodedProfile) p_get_color_as_encoded_profile = nullptr;
  decltype(&JxlDecoderGetICCProfileSize) p_get_icc_profile_size = nullptr;
  decltype(&JxlDecoderGetColorAsICCProfile) p_get_color_as_icc_profile = nullptr;
  decltype(&JxlDecoderSetImageOutCallback) p_set_image_out_callback = nullptr;
  decltype(&JxlDecoderFlushImage) p_flush_image = nullptr;
  decltype(&JxlDecoderSkipCurrentFrame) p_skip_current_frame = nullptr;
  decltype(&JxlDecoderSetParallelRunner) p_set_parallel_runner = nullptr;
};

LibJXL g_jxl;

template <typename Function>
bool FindFunction(void* p_library, const char* p_name, Function& p_function) {
  p_function = reinterpret_cast<Function>(dlsym(p_library, p_name));
  return p_function != nullptr;
}

bool FindFunctions(void* p_library) {
  return FindFunction(p_library, "JxlDecoderSetParallelRunner", g_jxl.p_set_parallel_runner) &&
      FindFunction(p_library, "JxlDecoderCreate", g_jxl.p_create) &&
      FindFunction(p_library, "JxlDecoderDestroy", g_jxl.p_destroy) &&
      FindFunction(p_library, "JxlDecoderSubscribeEvents", g_jxl.p_subscribe_events) &&
      FindFunction(p_library, "JxlDecoderSetKeepOrientation", g_jxl.p_set_keep_orientation) &&
      FindFunction(p_library, "JxlDecoderSetUnpremultiplyAlpha", g_jxl.p_set_unpremultiply_alpha) &&
      FindFunction(p_library, "JxlDecoderSetInput", g_jxl.p_set_input) &&
      FindFunction(p_library, "JxlDecoderReleaseInput", g_jxl.p_release_input) &&
      FindFunction(p_library, "JxlDecoderProcessInput", g_jxl.p_process_input) &&
      FindFunction(p_library, "JxlDecoderGetBasicInfo", g_jxl.p_get_basic_info) &&
      FindFunction(p_library, "JxlDecoderSetPreferredColorProfile", g_jxl.p_set_preferred_color_profile) &&
      FindFunction(p_library, "JxlDecoderGetColorAsEncodedProfile", g_jxl.p_get_color_as_encoded_profile) &&
      FindFunction(p_library, "JxlDecoderGetICCProfileSize", g_jxl.p_get_icc_profile_size) &&
      FindFunction(p_library, "JxlDecoderGetColorAsICCProfile", g_jxl.p_get_color_as_icc_profile) &&
      FindFunction(p_library, "JxlDecoderSetImageOutCallback", g_jxl.p_set_image_out_callback) &&
      FindFunction(p_library, "JxlDecoderFlushImage", g_jxl.p_flush_image) &&
      FindFunction(p_library, "JxlDecoderSkipCurrentFrame", g_jxl.p_skip_current_frame);
}

// Loads the libjxl this program was built with, by its soname (libjxl.so.0.7
// for libjxl 0.7), once for the program's life. A library that cannot be
// mapped for want of memory is that shortage; one that is missing, or
// lacks a function, is UNREADABLE with the loader's words.
LoadFailure LoadLibJXL(Canvas& canvas, LoadReport& report) {
  static bool s_is_tried = false;
  static LoadFailure s_failure = LoadFailure::NONE;
  static char s_words[LoadReport::WORDS_SIZE] = {};
  if (!s_is_tried) {
    s_is_tried = true;
    char name[64];
    std::snprintf(name, sizeof name, "libjxl.so.%d.%d", JPEGXL_MAJOR_VERSION, JPEGXL_MINOR_VERSION);
    void* p_library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    const char* p_error = p_library == nullptr ? dlerror() : nullptr;
    if (p_library == nullptr) {
      std::snprintf(s_words, sizeof s_words, "%s", p_error != nullptr ? p_error : name);
      const bool is_short = std::strstr(s_words, "memory") != nullptr || std::strstr(s_words, "map") != nullptr;
      s_failure = is_short ? LoadFailure::NO_MEMORY : LoadFailure::UNREADABLE;
    } else if (!FindFunctions(p_library)) {
      std::snprintf(s_words, sizeof s_words, "%s lacks a function of libjxl %d.%d", name, JPEGXL_MAJOR_VERSION,
                    JPEGXL_MINOR_VERSION);
      s_failure = LoadFailure::UNREADABLE;
    }
  }
  if (s_failure == LoadFailure::UNREADABLE) report.SetWords(s_words);
  if (s_failure == LoadFailure::NO_MEMORY) canvas.Refuse(0);
  return s_failure;
}

// libjxl's parallel work on as many threads as there are processors (as
// djxl takes), threads of the program's own: one that cannot be had (no
// memory for its stack) leaves its share to the others, never a signal.
const std::size_t MAX_THREADS = 64;

struct ParallelWork {
  void* p_opaque;
  JxlParallelRunFunction p_function;
  std::atomic<std::uint32_t> next;
  std::uint32_t end;
};

struct WorkerThread {
  ParallelWork* p_work;
  std::size_t number;
  pthread_t thread;
};

void RunShare(ParallelWork& work, std::size_t number) {
  for (std::uint32_t value = work.next++; value < work.end; value = work.next++) {
    work.p_function(work.p_opaque, value, number);
  }
}

void* RunWorker(void* p_worker) {
  WorkerThread& worker = *static_cast<WorkerThread*>(p_worker);
  RunShare(*worker.p_work, worker.number);
  return nullptr;
}

JxlParallelRetCode RunInParallel(void*, void* p_opaque, JxlParallelRunInit p_init, JxlParallelRunFunction p_function,
                                 std::uint32_t start, std::uint32_t end) {
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  std::size_t threads = processors > 1 ? std::size_t(processors) : 1;
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  if (threads > std::size_t(end - start)) threads = end > start ? std::size_t(end - start) : 1;
  const JxlParallelRetCode ready = p_init(p_opaque, threads);
  if (ready != 0) return ready;
  ParallelWork work = {p_opaque, p_function, {start}, end};
  WorkerThread workers[MAX_THREADS];
  std::size_t started = 1;  // this thread is number 0
  for (; started < threads; ++started) {
    workers[started] = {&work, started, pthread_t()};
    if (pthread_create(&workers[started].thread, nullptr, RunWorker, &workers[started]) != 0) break;
  }
  RunShare(work, 0);
  for (std::size_t number = 1; number < started; ++number) pthread_join(workers[number].thread, nullptr);
  return 0;
}

// Standard error caught in a file in memory while libjxl decodes: it writes
// a line for each function a failure returns through, the cause first.
class FailureCatcher {
 public:
  FailureCatcher();
  ~FailureCatcher() { Release(); }
  FailureCatcher(const FailureCatcher&) = delete;
  FailureCatcher& operator=(const FailureCatcher&) = delete;

  // The first line's words, after its source place ("dec_ma.cc:83:
  // JXL_FAILURE: "); false when libjxl wrote none.
  bool GetCause(char* p_words, std::size_t size) const;
  // Standard error as it was.
  void Release();

 private:
  int _saved = -1;  // standard error as it was; -1: it was closed
  int _catch = -1;
  bool _is_released = false;
};

FailureCatcher::FailureCatcher() {
  std::fflush(stderr);
  _saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  _catch = memfd_create("libjxl", MFD_CLOEXEC);
  if (_catch < 0) _catch = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (_catch >= 0 && _catch != STDERR_FILENO) dup2(_catch, STDERR_FILENO);
}

bool FailureCatcher::GetCause(char* p_words, std::size_t size) const {
  char text[1024];
  const ssize_t count = _catch >= 0 ? pread(_catch, text, sizeof text - 1, 0) : -1;
  if (count <= 0) return false;
  text[count] = '\0';
  text[std::strcspn(text, "\n")] = '\0';
  const char* p_cause = std::strstr(text, "JXL_FAILURE: ");
  if (p_cause != nullptr) {
    p_cause += std::strlen("JXL_FAILURE: ");
  } else {
    const char* p_place = std::strstr(text, ": ");
    p_cause = p_place != nullptr ? p_place + 2 : text;
  }
  std::size_t length = std::strlen(p_cause);
  if (length >= size) length = size - 1;
  std::memcpy(p_words, p_cause, length);
  p_words[length] = '\0';
  return length > 0;
}

void FailureCatcher::Release() {
  if (_is_released) return;
  _is_released = true;
  std::fflush(stderr);
  if (_saved >= 0) {
    dup2(_saved, STDERR_FILENO);
    close(_saved);
  } else {
    close(STDERR_FILENO);  // closed before, as it is again
  }
  if (_catch >= 0 && _catch != STDERR_FILENO) close(_catch);
}

// Bytes a pixel that libjxl 0.7 holds while it decodes a frame: four for
// each channel's floats and about as much again besides (185 MB for a
// 12-megapixel RGB photo, measured).
const std::int64_t FRAME_BYTES_PER_CHANNEL = 4;
const std::int64_t FRAME_BYTES_BESIDES = 4;
// Address space that libjxl's tables and a thread's stack take besides the
// frame, with room to spare (a picture of 320 x 200 needs some 15 MiB more
// than the program at rest, measured under ulimit -v).
const std::int64_t LIBRARY_SPARE_BYTES = std::int64_t(64) << 20;

// The bytes handed to libjxl: the stream's own block, or, when libjxl hands
// back bytes it has not used yet, a copy of those followed by the next
// block.
class JXLInput {
 public:
  JXLInput(PictureStream& stream, Canvas& canvas) : _stream(stream), _canvas(canvas) {}
  ~JXLInput() { std::free(_p_kept); }
  JXLInput(const JXLInput&) = delete;
  JXLInput& operator=(const JXLInput&) = delete;

  void FeedFirst(JxlDecoder* p_decoder);
  // The next bytes, after those libjxl has not used; false at the end of
  // the input, or when the copy finds no memory (IsOutOfMemory).
  bool FeedMore(JxlDecoder* p_decoder);
  bool IsOutOfMemory() const { return _is_out_of_memory; }

 private:
  PictureStream& _stream;
  Canvas& _canvas;
  const unsigned char* _p_input = nullptr;
  std::size_t _input_size = 0;
  bool _is_kept = false;  // _p_input is _p_kept
  unsigned char* _p_kept = nullptr;
  std::size_t _kept_capacity = 0;
  bool _is_out_of_memory = false;

  void SetInput(JxlDecoder* p_decoder, const unsigned char* p_input, std::size_t size, bool is_kept);
  bool MakeRoom(std::size_t size);
};

void JXLInput::SetInput(JxlDecoder* p_decoder, const unsigned char* p_input, std::size_t size, bool is_kept) {
  _p_input = p_input;
  _input_size = size;
  _is_kept = is_kept;
  g_jxl.p_set_input(p_decoder, p_input, size);
}

bool JXLInput::MakeRoom(std::size_t size) {
  if (size <= _kept_capacity) return true;
  if (!_canvas.Reserve(std::int64_t(size - _kept_capacity))) {
    _is_out_of_memory = true;
    return false;
  }
  void* p_larger = std::realloc(_p_kept, size);
  if (p_larger == nullptr) {
    _canvas.Refuse(0);
    _is_out_of_memory = true;
    return false;
  }
  _p_kept = static_cast<unsigned char*>(p_larger);
  _kept_capacity = size;
  return true;
}

void JXLInput::FeedFirst(JxlDecoder* p_decoder) {
  _stream.Refill();
  SetInput(p_decoder, reinterpret_cast<const unsigned char*>(_stream.GetNext()),
           std::size_t(_stream.GetEnd() - _stream.GetNext()), false);
}

bool JXLInput::FeedMore(JxlDecoder* p_decoder) {
  const std::size_t unused = g_jxl.p_release_input(p_decoder);
  const std::size_t used = _input_size - unused;
  // The stream's block is read over by the next Refill: its unused bytes
  // are copied first.
  if (_is_kept) {
    std::memmove(_p_kept, _p_kept + used, unused);
  } else {
    if (unused > 0 && !MakeRoom(unused)) return false;
    if (unused > 0) std::memcpy(_p_kept, _p_input + used, unused);
    _stream.SetNext(_stream.GetEnd());
  }
  if (!_stream.Refill()) return false;
  const std::size_t block = std::size_t(_stream.GetEnd() - _stream.GetNext());
  const unsigned char* p_block = reinterpret_cast<const unsigned char*>(_stream.GetNext());
  if (unused == 0) {
    SetInput(p_decoder, p_block, block, false);
    return true;
  }
  if (!MakeRoom(unused + block)) return false;
  std::memcpy(_p_kept + unused, p_block, block);
  _stream.SetNext(_stream.GetEnd());
  SetInput(p_decoder, _p_kept, unused + block, true);
  return true;
}

// What the header says, and the rows as libjxl's callback hands them over.
// libjxl's threads hand over rows in any order (each whole, with libjxl
// 0.7): a row goes to the canvas in its turn, and one that comes early waits
// in a block of its own, weighed against the program's memory, until the
// rows above it are in.
struct JXLState {
  Canvas* p_canvas = nullptr;
  PictureHeader header;
  JxlBasicInfo info = {};
  bool is_grey = false;
  int channels = 3;             // in libjxl's rows: grey or RGB, and alpha
  bool is_dc_enough = false;    // the page needs no more than the DC pass
  unsigned char* p_icc = nullptr;
  std::mutex lock;              // the callback's, which libjxl's threads share
  unsigned char* p_row = nullptr;        // the row whose turn it is, in the canvas's layout
  unsigned char** p_waiting = nullptr;   // rows that came early, by row; null: none
  int* p_filled = nullptr;               // pixels of each row that came
  int next_row = 0;                      // the row whose turn it is
  bool is_short_of_memory = false;       // an early row found no memory: it is lost
  bool is_started = false;      // the canvas is started
  bool is_drawn = false;        // the first frame is in the canvas
  int frames = 0;

  JXLState() = default;
  JXLState(const JXLState&) = delete;
  JXLState& operator=(const JXLState&) = delete;
  ~JXLState() {
    for (int y = 0; p_waiting != nullptr && y < header.height; ++y) std::free(p_waiting[y]);
    std::free(p_waiting);
    std::free(p_filled);
    std::free(p_icc);
    std::free(p_row);
  }
  std::size_t GetRowBytes() const { return std::size_t(header.width) * std::size_t(GetSampleCount(header.layout)); }
};

// The block a row's pixels go to: its own when it came early, the turn's
// row otherwise; null when an early row finds no memory.
unsigned char* FindRow(JXLState& state, int y) {
  if (state.p_waiting[y] != nullptr || y == state.next_row) {
    return state.p_waiting[y] != nullptr ? state.p_waiting[y] : state.p_row;
  }
  const std::size_t size = state.GetRowBytes();
  if (!state.p_canvas->Reserve(std::int64_t(size))) {
    state.is_short_of_memory = true;
    return nullptr;
  }
  state.p_waiting[y] = static_cast<unsigned char*>(std::malloc(size));
  if (state.p_waiting[y] == nullptr) {
    state.p_canvas->Refuse(0);
    state.is_short_of_memory = true;
  }
  return state.p_waiting[y];
}

// The rows whose turn has come and that are complete go to the canvas.
void PutReadyRows(JXLState& state) {
  while (state.next_row < state.header.height && state.p_filled[state.next_row] >= state.header.width) {
    unsigned char*& p_waiting = state.p_waiting[state.next_row];
    state.p_canvas->PutRows(p_waiting != nullptr ? p_waiting : state.p_row);
    if (p_waiting != nullptr) {
      std::free(p_waiting);
      p_waiting = nullptr;
      state.p_canvas->Release(std::int64_t(state.GetRowBytes()));
    }
    ++state.next_row;
  }
}

// libjxl's callback: a piece of a row, from any of libjxl's threads. A
// piece of a row already in the canvas (a pass visiting it again) is left
// out.
void TakePixels(void* p_opaque, std::size_t x, std::size_t y, std::size_t count, const void* p_pixels) {
  JXLState& state = *static_cast<JXLState*>(p_opaque);
  const std::size_t width = std::size_t(state.header.width);
  std::lock_guard<std::mutex> guard(state.lock);
  if (y < std::size_t(state.next_row) || y >= std::size_t(state.header.height) || x >= width) return;
  unsigned char* p_row = FindRow(state, int(y));
  if (p_row == nullptr) return;
  if (count > width - x) count = width - x;
  const unsigned char* p_in = static_cast<const unsigned char*>(p_pixels);
  const int out_channels = GetSampleCount(state.header.layout);
  unsigned char* p_out = p_row + x * std::size_t(out_channels);
  if (!state.is_grey) {
    std::memcpy(p_out, p_in, count * std::size_t(out_channels));
  } else {
    for (std::size_t i = 0; i < count; ++i, p_in += state.channels, p_out += out_channels) {
      p_out[0] = p_out[1] = p_out[2] = p_in[0];
      if (out_channels == 4) p_out[3] = p_in[1];
    }
  }
  state.p_filled[y] += int(count);
  PutReadyRows(state);
}

// After the decode: rows that never came whole go to the canvas as they
// are, those that never came at all as zero samples, up to the last that
// came; the canvas fills the rest.
void PutLeftRows(JXLState& state) {
  int last = state.header.height - 1;
  while (last >= state.next_row && state.p_filled[last] == 0) --last;
  for (; state.next_row <= last; ++state.next_row) {
    unsigned char* p_waiting = state.p_waiting[state.next_row];
    if (p_waiting == nullptr && state.p_filled[state.next_row] == 0) {
      std::memset(state.p_row, 0, state.GetRowBytes());
    }
    state.p_canvas->PutRows(p_waiting != nullptr ? p_waiting : state.p_row);
  }
}

void TakeBasicInfo(JxlDecoder* p_decoder, JXLState& state) {
  g_jxl.p_get_basic_info(p_decoder, &state.info);
  const JxlBasicInfo& info = state.info;
  PictureHeader& header = state.header;
  // At most 2^30 by the format: an int, which the canvas checks.
  header.width = int(info.xsize);
  header.height = int(info.ysize);
  header.orientation = info.orientation >= 1 && info.orientation <= 8 ? int(info.orientation) : 1;
  const bool has_alpha = info.alpha_bits > 0;
  header.layout = has_alpha ? SampleLayout::RGBA : SampleLayout::RGB;
  state.is_grey = info.num_color_channels == 1;
  state.channels = (state.is_grey ? 1 : 3) + (has_alpha ? 1 : 0);
  int least_width = 0;
  int least_height = 0;
  state.p_canvas->GetLeastSize(header.width, header.height, header.orientation, least_width, least_height);
  state.is_dc_enough = (header.width + 7) / 8 >= least_width && (header.height + 7) / 8 >= least_height;
}

bool IsSRGB(const JxlColorEncoding& encoding, bool is_grey) {
  return encoding.color_space == (is_grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB) &&
         encoding.white_point == JXL_WHITE_POINT_D65 && (is_grey || encoding.primaries == JXL_PRIMARIES_SRGB) &&
         encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// The colours of the samples libjxl hands over: sRGB, or an ICC profile for
// the canvas.
bool ChooseColours(JxlDecoder* p_decoder, JXLState& state) {
  if (!state.info.uses_original_profile) {
    JxlColorEncoding srgb = {};
    srgb.color_space = state.is_grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
    srgb.white_point = JXL_WHITE_POINT_D65;
    srgb.primaries = JXL_PRIMARIES_SRGB;
    srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
    srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
    g_jxl.p_set_preferred_color_profile(p_decoder, &srgb);
  }
  JxlColorEncoding encoding = {};
  if (g_jxl.p_get_color_as_encoded_profile(p_decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
          JXL_DEC_SUCCESS &&
      IsSRGB(encoding, state.is_grey)) {
    return true;
  }
  std::size_t size = 0;
  if (g_jxl.p_get_icc_profile_size(p_decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
      size == 0) {
    return true;
  }
  if (!state.p_canvas->Reserve(std::int64_t(size))) return false;
  state.p_icc = static_cast<unsigned char*>(std::malloc(size));
  if (state.p_icc == nullptr) {
    state.p_canvas->Refuse(0);
    return false;
  }
  if (g_jxl.p_get_color_as_icc_profile(p_decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, state.p_icc, size) ==
      JXL_DEC_SUCCESS) {
    state.header.p_icc = state.p_icc;
    state.header.icc_size = size;
  }
  return true;
}

// Starts the canvas and weighs what libjxl will hold, before any pixel.
LoadFailure StartCanvas(JxlDecoder* p_decoder, JXLState& state) {
  if (!ChooseColours(p_decoder, state)) return LoadFailure::NO_MEMORY;
  LoadFailure failure = state.p_canvas->Start(state.header);
  if (failure != LoadFailure::NONE) return failure;
  state.is_started = true;
  const std::int64_t pixels = std::int64_t(state.header.width) * state.header.height;
  const std::int64_t frame_bytes =
      pixels * (FRAME_BYTES_PER_CHANNEL * GetSampleCount(state.header.layout) + FRAME_BYTES_BESIDES);
  const std::int64_t row_bytes = std::int64_t(state.GetRowBytes());
  const std::int64_t table_bytes = std::int64_t(state.header.height) * std::int64_t(sizeof(unsigned char*) + sizeof(int));
  if (!state.p_canvas->Reserve(frame_bytes + row_bytes + table_bytes)) return LoadFailure::NO_MEMORY;
  // libjxl has no answer to a shortage but to end the program: under a
  // limit of the address space (ulimit -v) the frame must fit, with room to
  // spare for libjxl's other blocks and the threads' stacks, before it is
  // decoded. The block is only mapped, never touched.
  const std::int64_t probe_bytes = frame_bytes + frame_bytes / 2 + LIBRARY_SPARE_BYTES;
  void* p_probe = std::malloc(std::size_t(probe_bytes));
  if (p_probe == nullptr) {
    state.p_canvas->Refuse(probe_bytes - frame_bytes);
    return LoadFailure::NO_MEMORY;
  }
  std::free(p_probe);
  state.p_row = static_cast<unsigned char*>(std::calloc(std::size_t(row_bytes), 1));
  state.p_waiting = static_cast<unsigned char**>(std::calloc(std::size_t(state.header.height), sizeof(unsigned char*)));
  state.p_filled = static_cast<int*>(std::calloc(std::size_t(state.header.height), sizeof(int)));
  if (state.p_row == nullptr || state.p_waiting == nullptr || state.p_filled == nullptr) {
    state.p_canvas->Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  return LoadFailure::NONE;
}

// The first frame's rows go to the callback; later frames are skipped.
bool SetUpFrame(JxlDecoder* p_decoder, JXLState& state) {
  if (state.frames > 1 || state.is_drawn) return g_jxl.p_skip_current_frame(p_decoder) == JXL_DEC_SUCCESS;
  const JxlPixelFormat format = {std::uint32_t(state.channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  return g_jxl.p_set_image_out_callback(p_decoder, &format, TakePixels, &state) == JXL_DEC_SUCCESS;
}

LoadFailure Finish(JXLState& state, LoadReport& report) {
  if (state.is_short_of_memory) return LoadFailure::NO_MEMORY;
  PutLeftRows(state);
  report.frame_count = state.frames > 1 ? state.frames : 1;
  return LoadFailure::NONE;
}

// The input ended (or its copy found no memory) before the decoder was
// done: what has come of the first frame is drawn.
LoadFailure EndEarly(JxlDecoder* p_decoder, const JXLInput& input, PictureStream& stream, JXLState& state,
                     LoadReport& report) {
  if (input.IsOutOfMemory()) return LoadFailure::NO_MEMORY;
  if (state.is_drawn) return Finish(state, report);
  if (!state.is_started) {
    report.SetWords("the file ends within the picture's header");
    return LoadFailure::UNREADABLE;
  }
  if (state.frames > 0) g_jxl.p_flush_image(p_decoder);
  char words[LoadReport::WORDS_SIZE];
  std::snprintf(words, sizeof words, "the file ends after %lld bytes", static_cast<long long>(stream.GetPosition()));
  report.SetWords(words);
  report.is_cut_short = true;
  return Finish(state, report);
}

LoadFailure RunDecoder(JxlDecoder* p_decoder, PictureStream& stream, Canvas& canvas, LoadReport& report) {
  const int events = JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_FRAME_PROGRESSION |
                     JXL_DEC_FULL_IMAGE;
  if (g_jxl.p_subscribe_events(p_decoder, events) != JXL_DEC_SUCCESS ||
      g_jxl.p_set_keep_orientation(p_decoder, JXL_TRUE) != JXL_DEC_SUCCESS ||
      g_jxl.p_set_unpremultiply_alpha(p_decoder, JXL_TRUE) != JXL_DEC_SUCCESS) {
    report.SetWords("libjxl cannot be set up");
    return LoadFailure::UNREADABLE;
  }
  JXLState state;
  state.p_canvas = &canvas;
  JXLInput input(stream, canvas);
  input.FeedFirst(p_decoder);
  for (;;) {
    LoadFailure failure = LoadFailure::NONE;
    switch (g_jxl.p_process_input(p_decoder)) {
      case JXL_DEC_NEED_MORE_INPUT:
        if (!input.FeedMore(p_decoder)) return EndEarly(p_decoder, input, stream, state, report);
        break;
      case JXL_DEC_BASIC_INFO:
        TakeBasicInfo(p_decoder, state);
        break;
      case JXL_DEC_COLOR_ENCODING:
        failure = StartCanvas(p_decoder, state);
        if (failure != LoadFailure::NONE) return failure;
        break;
      case JXL_DEC_FRAME:
        ++state.frames;
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        if (!state.is_started || !SetUpFrame(p_decoder, state)) {
          report.SetWords("libjxl cannot hand over the frame");
          return LoadFailure::UNREADABLE;
        }
        break;
      case JXL_DEC_FRAME_PROGRESSION:
        // The DC pass rendered at full size: each 8 x 8 block is the
        // average the page would make of it.
        if (state.is_drawn || !state.is_dc_enough || g_jxl.p_flush_image(p_decoder) != JXL_DEC_SUCCESS) break;
        state.is_drawn = true;
        if (!state.info.have_animation) return Finish(state, report);
        g_jxl.p_skip_current_frame(p_decoder);
        break;
      case JXL_DEC_FULL_IMAGE:
        state.is_drawn = true;
        if (!state.info.have_animation) return Finish(state, report);
        break;
      case JXL_DEC_SUCCESS:
        if (state.is_drawn) return Finish(state, report);
        report.SetWords("the file holds no frame");
        return LoadFailure::UNREADABLE;
      default:
        // A later frame that cannot be decoded leaves the first as drawn.
        if (state.is_drawn) return Finish(state, report);
        report.SetWords("libjxl cannot decode the data");
        return LoadFailure::UNREADABLE;
    }
  }
}

}  // namespace

LoadFailure DecodeJXL(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  const LoadFailure failure = LoadLibJXL(canvas, report);
  if (failure != LoadFailure::NONE) return failure;
  JxlDecoder* p_decoder = g_jxl.p_create(nullptr);
  if (p_decoder == nullptr) {
    canvas.Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  g_jxl.p_set_parallel_runner(p_decoder, RunInParallel, nullptr);
  FailureCatcher catcher;
  const LoadFailure decoded = RunDecoder(p_decoder, stream, canvas, report);
  g_jxl.p_destroy(p_decoder);
  char cause[LoadReport::WORDS_SIZE];
  if (decoded == LoadFailure::UNREADABLE && catcher.GetCause(cause, sizeof cause)) report.SetWords(cause);
  return decoded;
}
