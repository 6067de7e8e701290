// libFuzzer target: arbitrary bytes as an image file. Every load must end
// with either an error number and no buffer, or a buffer of the promised
// size, and the plain reader's fast paths (SSE2, SSSE3, AVX2) must give
// exactly what its scalar path gives; a loaded image is then rendered on
// both pages with and without a source string, with a UTF-8 one and with
// the input's own last bytes.
// Every input also goes through the picture reader from memory, at full
// size and at a small page's size: a JPEG, PNG, GIF, WebP, HEIF, TIFF or
// JPEG XL must end with a failure and no buffer, or an upright RGB buffer,
// rendered like a PPM's; anything else must load exactly as the PPM loader
// loads it.
// Images are capped at 4096 pixels (the reader's blocks at 1 MiB) so that
// the fuzzer explores parsing rather than allocation.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "page/PageLines.h"
#include "page/PageSize.h"
#include "page/PageWriter.h"
#include "picture/PictureFormats.h"
#include "picture/PictureReader.h"
#include "picture/formats/LoadPPM.h"

namespace {

const std::int64_t MAX_FUZZ_PIXELS = 4096;

// Counts what is written and throws it away.
class CountingBuffer : public std::streambuf {
 public:
  std::int64_t count = 0;

 protected:
  int overflow(int c) override {
    ++count;
    return c;
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count += n;
    return n;
  }
};

void RemoveInputFile();

const std::string& InputPath() {
  static const std::string path = "/tmp/mottlepage-fuzz-" + std::to_string(getpid()) + ".ppm";
  static const bool is_registered = std::atexit(RemoveInputFile) == 0;
  (void)is_registered;
  return path;
}

void RemoveInputFile() { std::remove(InputPath().c_str()); }

void Render(const unsigned char* p_pixel, int width, int height, const char* p_source) {
  CountingBuffer buffer;
  std::ostream page(&buffer);
  char storage[OutputBuffer::MIN_SIZE];
  OutputBuffer out(page, storage, sizeof storage);
  PageStyle style;
  style.p_source = p_source;
  style.bg_red = -1;
  style.bg_green = 256;
  style.bg_blue = 2147483647;
  style.p_title = p_source ? p_source : "t";
  const PageLines lines = GetPictureLines(p_pixel, width, height);
  WriteHTMLPage(lines, style, out);
  WriteHTML5Page(lines, style, out);
  WriteHalfBlockPage(lines, style, out);
  out.Flush();
  // Each pixel of an even row gives at least one character, on each page.
  if (!page || !out.IsGood() || buffer.count < 2 * std::int64_t(width) * ((height + 1) / 2)) std::abort();
}

// The same bytes through each plain sample code: the same outcome.
void CompareSampleCodes(const std::string& bytes) {
  unsigned char* p_first = nullptr;
  int first_error = 0;
  std::size_t size = 0;
  for (int code = 0; code <= int(GetBestPlainSampleCode()); ++code) {
    LimitPlainSampleCode(PlainSampleCode(code));
    std::istringstream stream(bytes);
    unsigned char* p_pixel = nullptr;
    int width = 0;
    int height = 0;
    LoadPPM loader(p_pixel, stream, width, height, MAX_FUZZ_PIXELS);
    if (code == 0) {
      p_first = p_pixel;
      first_error = loader.GetErrorNo();
      size = p_pixel ? std::size_t(width) * height * 3 : 0;
      continue;
    }
    if (loader.GetErrorNo() != first_error || (p_first && std::memcmp(p_first, p_pixel, size) != 0)) std::abort();
    std::free(p_pixel);
  }
  std::free(p_first);
  LimitPlainSampleCode(PlainSampleCode::AVX2);
}

// The reader on bytes in memory, full size and scaled for a small page.
void LoadThroughTheReader(const std::uint8_t* p_data, std::size_t size) {
  bool is_cut = false;
  const PictureFormat* p_format = FindFormat(p_data, size, true, is_cut);
  const bool is_ppm = p_format == nullptr || p_format->p_decode == nullptr;
  for (int columns : {0, 24}) {
    PageRequest request;
    request.columns = columns;
    CanvasOptions options;
    options.p_choose_least_size = ChooseLeastPictureSize;
    options.p_size_context = &request;
    options.has_background = columns > 0;
    options.bg_red = 300;
    options.bg_green = -5;
    options.bg_blue = 128;
    options.memory_limit = 1 << 20;
    unsigned char* p_pixel = nullptr;
    int width = 0;
    int height = 0;
    std::istringstream stream(std::string(reinterpret_cast<const char*>(p_data), size));
    PictureReader reader(options);
    const LoadFailure failure = reader.ReadStream(stream, p_pixel, width, height);
    if ((failure == LoadFailure::NONE) != (p_pixel != nullptr)) std::abort();
    if (failure == LoadFailure::UNREADABLE && reader.GetReport().words[0] == '\0') std::abort();
    if (is_ppm && !is_cut && columns == 0) {
      // Not another format: exactly the PPM loader's outcome.
      std::istringstream ppm_stream(std::string(reinterpret_cast<const char*>(p_data), size));
      unsigned char* p_ppm = nullptr;
      int ppm_width = 0;
      int ppm_height = 0;
      LoadPPM ppm(p_ppm, ppm_stream, ppm_width, ppm_height, (1 << 20) / 3);
      if ((ppm.GetErrorNo() == 0) != (failure == LoadFailure::NONE) || (p_ppm == nullptr) != (p_pixel == nullptr)) {
        std::abort();
      }
      if (p_ppm != nullptr && (ppm_width != width || ppm_height != height ||
                               std::memcmp(p_ppm, p_pixel, std::size_t(width) * height * 3) != 0)) {
        std::abort();
      }
      std::free(p_ppm);
    }
    if (p_pixel == nullptr) continue;
    if (width < 1 || height < 1 || std::int64_t(width) * height > (1 << 20) / 3) std::abort();
    if (reader.GetReport().width < 1 || reader.GetReport().height < 1) std::abort();
    if (!is_ppm) Render(p_pixel, width, height, "\u2588");
    std::free(p_pixel);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* p_data, std::size_t size) {
  LoadThroughTheReader(p_data, size);
  CompareSampleCodes(std::string(reinterpret_cast<const char*>(p_data), size));
  {
    std::ofstream file(InputPath(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(p_data), std::streamsize(size));
  }
  std::ifstream image_stream(InputPath(), std::ios::binary);
  unsigned char* p_pixel = nullptr;
  int width = 0;
  int height = 0;
  LoadPPM loader(p_pixel, image_stream, width, height, MAX_FUZZ_PIXELS);
  if ((loader.GetErrorNo() == 0) != (p_pixel != nullptr)) std::abort();
  if (loader.GetErrorNo() < -12 || loader.GetErrorNo() > 0) std::abort();
  if (p_pixel == nullptr) return 0;
  if (width < 1 || height < 1 || std::int64_t(width) * height > MAX_FUZZ_PIXELS) std::abort();

  // The same bytes from memory must load to the same pixels.
  std::istringstream memory_stream(std::string(reinterpret_cast<const char*>(p_data), size));
  unsigned char* p_again = nullptr;
  int width_again = 0;
  int height_again = 0;
  LoadPPM again(p_again, memory_stream, width_again, height_again, MAX_FUZZ_PIXELS);
  if (p_again == nullptr || width_again != width || height_again != height ||
      std::memcmp(p_again, p_pixel, std::size_t(width) * height * 3) != 0) {
    std::abort();
  }
  std::free(p_again);

  Render(p_pixel, width, height, "a<b&c>");
  Render(p_pixel, width, height, nullptr);
  Render(p_pixel, width, height, "\u00e9\u2588<\U0001F339");
  // The input's last bytes as a source string: well-formed UTF-8 or not.
  std::string source(reinterpret_cast<const char*>(p_data) + (size > 24 ? size - 24 : 0), size > 24 ? 24 : size);
  Render(p_pixel, width, height, source.c_str());
  std::free(p_pixel);
  return 0;
}
