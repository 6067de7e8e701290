#include "picture/PictureReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "picture/PictureFormats.h"
#include "picture/formats/LoadPPM.h"

namespace {

// LoadPPM's error numbers as the reader's failures.
LoadFailure TranslatePPMError(int error_number) {
  switch (error_number) {
    case 0:
      return LoadFailure::NONE;
    case -1:
      return LoadFailure::NO_FIRST_LINE;
    case -2:
      return LoadFailure::NOT_PPM;
    case -3:
      return LoadFailure::CANNOT_OPEN;
    case -4:
      return LoadFailure::NO_SIDES_LINE;
    case -5:
      return LoadFailure::WIDTH_OUT_OF_RANGE;
    case -6:
      return LoadFailure::HEIGHT_OUT_OF_RANGE;
    case -7:
      return LoadFailure::NO_MAXIMUM_LINE;
    case -9:
      return LoadFailure::NO_MEMORY;
    case -12:
      return LoadFailure::CANNOT_READ;
    default:  // -8, -10, -11
      return LoadFailure::BAD_MAXIMUM;
  }
}

}  // namespace

LoadFailure PictureReader::Fail(LoadFailure failure) {
  _report.failure = failure;
  return failure;
}

LoadFailure PictureReader::ReadFile(const char* p_path, unsigned char*& p_rgb, int& width, int& height) {
  p_rgb = nullptr;
  _report = LoadReport();
  if (p_path == nullptr) return Fail(LoadFailure::NO_FILE);
  const int file_descriptor = open(p_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (file_descriptor < 0) {
    _report.system_error = errno;
    return Fail(LoadFailure::CANNOT_OPEN);
  }
  LoadFailure failure = LoadFailure::NONE;
  {
    PictureStream stream(file_descriptor);
    failure = Read(stream, p_rgb, width, height);
  }
  close(file_descriptor);
  return failure;
}

LoadFailure PictureReader::ReadDescriptor(int file_descriptor, unsigned char*& p_rgb, int& width, int& height) {
  p_rgb = nullptr;
  _report = LoadReport();
  PictureStream stream(file_descriptor);
  return Read(stream, p_rgb, width, height);
}

LoadFailure PictureReader::ReadStream(std::istream& stream, unsigned char*& p_rgb, int& width, int& height) {
  p_rgb = nullptr;
  _report = LoadReport();
  PictureStream input(stream);
  return Read(input, p_rgb, width, height);
}

LoadFailure PictureReader::Read(PictureStream& stream, unsigned char*& p_rgb, int& width, int& height) {
  width = 0;
  height = 0;
  const int first_byte = stream.Peek();
  const std::int64_t wanted = first_byte == EOF ? 0 : std::int64_t(GetSignatureLength(first_byte));
  const std::int64_t held = wanted > 0 ? stream.PeekAhead(wanted) : 0;
  bool is_cut = false;
  const PictureFormat* p_format = nullptr;
  if (stream.GetReadError() == 0) {
    p_format = FindFormat(reinterpret_cast<const unsigned char*>(stream.GetNext()), std::size_t(held),
                          held < wanted, is_cut);
  }
  _report.p_format = p_format;
  if (is_cut) return Fail(LoadFailure::CUT_IN_SIGNATURE);
  if (p_format != nullptr && p_format->p_decode != nullptr) return Decode(stream, p_rgb, width, height);
  return ReadPPM(stream, p_rgb, width, height);
}

LoadFailure PictureReader::Decode(PictureStream& stream, unsigned char*& p_rgb, int& width, int& height) {
  Canvas canvas(_options, _report);
  LoadFailure failure = _report.p_format->p_decode(stream, canvas, _report);
  if (failure == LoadFailure::NONE) failure = canvas.Finish(p_rgb, width, height);
  if (stream.GetReadError() != 0) {
    // Whatever the decoder made of the bytes it got, a read error is the
    // cause.
    std::free(p_rgb);
    p_rgb = nullptr;
    _report.system_error = stream.GetReadError();
    failure = LoadFailure::CANNOT_READ;
  }
  if (failure == LoadFailure::UNREADABLE && _report.words[0] == '\0') _report.SetWords("the decoder gave no reason");
  if (failure != LoadFailure::NONE) {
    std::free(p_rgb);
    p_rgb = nullptr;
    width = 0;
    height = 0;
  }
  return Fail(failure);
}

LoadFailure PictureReader::ReadPPM(PictureStream& stream, unsigned char*& p_rgb, int& width, int& height) {
  const std::int64_t max_pixels =
      _options.memory_limit > 0 && _options.memory_limit / 3 < LoadPPM::MAX_PIXELS ? _options.memory_limit / 3
                                                                                    : LoadPPM::MAX_PIXELS;
  LoadPPM loader(p_rgb, stream, width, height, max_pixels);
  const PPMLoadDetails& details = loader.GetLoadDetails();
  _report.ppm = details;
  const LoadFailure failure = TranslatePPMError(loader.GetErrorNo());
  _report.system_error = failure == LoadFailure::CANNOT_READ ? details.read_error : details.open_error;
  _report.refused_value = details.refused_value;
  _report.width = width;
  _report.height = height;
  _report.bytes_wanted = std::int64_t(width) * height * 3;
  _report.is_cut_short = failure == LoadFailure::NONE && details.samples_read < details.samples_wanted;
  if ((failure == LoadFailure::NO_FIRST_LINE || failure == LoadFailure::NOT_PPM) && _report.p_format == nullptr) {
    const int length = details.first_line_length < PPMLoadDetails::FIRST_BYTES ? details.first_line_length
                                                                               : PPMLoadDetails::FIRST_BYTES;
    _report.p_format = FindFormatOfFirstLine(details.first_bytes, std::size_t(length));
  }
  return Fail(failure);
}
