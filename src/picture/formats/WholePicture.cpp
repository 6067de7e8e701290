#include "picture/formats/WholePicture.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The whole stream in one malloc'd block, weighed against the canvas's
// memory first (a file of known size at once, a pipe as it grows). A
// shortage tells the file's size (file_size) where it is known, and -1
// for a pipe, whose size is not known before its end.
LoadFailure ReadWhole(PictureStream& stream, Canvas& canvas, unsigned char*& p_data, std::size_t& size,
                      std::int64_t& file_size) {
  p_data = nullptr;
  size = 0;
  file_size = -1;
  std::size_t capacity = std::size_t(1) << 20;
  struct stat status {};
  const int file_descriptor = stream.GetFileDescriptor();
  if (file_descriptor >= 0 && fstat(file_descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    // One more byte than the file holds, to see its end without a copy.
    capacity = std::size_t(status.st_size) + 1;
    file_size = status.st_size;
  }
  const std::size_t held = std::size_t(stream.GetEnd() - stream.GetNext());
  if (capacity < held + 1) capacity = held + 1;
  if (!canvas.Reserve(std::int64_t(capacity))) return LoadFailure::FILE_TOO_LARGE;
  p_data = static_cast<unsigned char*>(std::malloc(capacity));
  if (p_data == nullptr) {
    canvas.Refuse(0);
    return LoadFailure::FILE_TOO_LARGE;
  }
  std::memcpy(p_data, stream.GetNext(), held);
  stream.SetNext(stream.GetEnd());
  size = held;
  for (;;) {
    if (size == capacity) {
      // The file grew past its size, or a pipe past its block: its size is
      // not known.
      file_size = -1;
      void* p_larger = nullptr;
      if (capacity < (std::size_t(1) << 62) && canvas.Reserve(std::int64_t(capacity))) {
        p_larger = std::realloc(p_data, capacity * 2);
        if (p_larger == nullptr) canvas.Refuse(0);
      }
      if (p_larger == nullptr) {
        std::free(p_data);
        p_data = nullptr;
        return LoadFailure::FILE_TOO_LARGE;
      }
      p_data = static_cast<unsigned char*>(p_larger);
      capacity *= 2;
    }
    const std::int64_t wanted = std::int64_t(capacity - size);
    const std::int64_t count = stream.ReadBlock(p_data + size, wanted);
    size += std::size_t(count);
    if (count < wanted) break;
  }
  return LoadFailure::NONE;
}

LoadFailure TranslateStatus(int status, const DecodedImage& image, LoadReport& report) {
  switch (status) {
    case DECODE_TOO_LARGE:
      report.refused_value = image.full_width > DecodedImage::MAX_SIDE ? image.full_width : image.full_height;
      return image.full_width > DecodedImage::MAX_SIDE ? LoadFailure::WIDTH_OUT_OF_RANGE
                                                       : LoadFailure::HEIGHT_OUT_OF_RANGE;
    case DECODE_NO_MEMORY:
      report.width = image.full_width;
      report.height = image.full_height;
      report.bytes_wanted = image.bytes_wanted > 0 ? image.bytes_wanted
                                                   : std::int64_t(image.full_width) * image.full_height * image.channels;
      return LoadFailure::NO_MEMORY;
    default:
      report.SetWords(image.message);
      return LoadFailure::UNREADABLE;
  }
}

LoadFailure PaintCanvas(DecodedImage& image, Canvas& canvas, LoadReport& report) {
  PictureHeader header;
  header.width = image.width;
  header.height = image.height;
  header.layout = image.channels == 4 ? SampleLayout::RGBA : SampleLayout::RGB;
  header.orientation = image.orientation;
  header.p_icc = image.p_icc;
  header.icc_size = image.icc_size;
  const LoadFailure failure = canvas.Start(header);
  if (failure != LoadFailure::NONE) return failure;
  const std::size_t row_size = std::size_t(image.width) * std::size_t(image.channels);
  for (int y = 0; y < image.height; ++y) canvas.PutRows(image.p_pixels + std::size_t(y) * row_size);
  report.frame_count = image.frame_count;
  if (image.is_cut_short) {
    report.is_cut_short = true;
    report.SetWords(image.message);
  }
  return LoadFailure::NONE;
}

}  // namespace

LoadFailure ReadWholeStream(PictureStream& stream, Canvas& canvas, LoadReport& report, unsigned char*& p_data,
                            std::size_t& size) {
  std::int64_t file_size = -1;
  const LoadFailure failure = ReadWhole(stream, canvas, p_data, size, file_size);
  if (failure == LoadFailure::NONE) return failure;
  if (file_size < 0) return LoadFailure::NO_MEMORY;
  report.bytes_wanted = file_size;
  return failure;
}

LoadFailure DecodeWholeFile(PictureStream& stream, Canvas& canvas, LoadReport& report, WholeFileDecoder p_decode) {
  unsigned char* p_data = nullptr;
  std::size_t size = 0;
  LoadFailure failure = ReadWholeStream(stream, canvas, report, p_data, size);
  if (failure != LoadFailure::NONE) return failure;
  DecodedImage image;
  image.max_bytes = canvas.GetBytesLeft();
  FileBytes file;
  file.p_data = p_data;
  file.size = size;
  const int status = p_decode(file, image);
  std::free(p_data);
  canvas.Release(canvas.GetReserved());
  failure = status == DECODED ? PaintCanvas(image, canvas, report) : TranslateStatus(status, image, report);
  std::free(image.p_pixels);
  std::free(image.p_icc);
  return failure;
}
