// WebP through libwebp's incremental decoder, the file read as a stream.
//
// The RIFF chunks are walked as the bytes come, with the checks libwebp's
// demuxer makes of a whole file, so that a file reads as it did when it was
// held whole: the header (VP8X, or a lone VP8 or VP8L chunk), ICCP, EXIF,
// ANIM and the frames. The first frame's image chunks (ALPH, then VP8 or
// VP8L) go to the incremental decoder as they stream past, and libwebp
// shrinks the frame itself to the least size the page needs: its output is
// all of the picture ever held, and its rows go to the canvas as libwebp
// finishes them. Every later frame is only counted. An animation's first
// frame lies at its offset, in rows transparent around it; the canvas
// itself is never allocated.
//
// A VP8X file's EXIF chunk usually comes after the image data, while the
// orientation decides the least size in stored orientation: when the header
// promises an EXIF chunk, the compressed image is held until it has been
// read. Outside the first frame the canvas is transparent, as a browser
// shows it before the second frame.

#include <webp/decode.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "picture/Orientation.h"
#include "picture/formats/Decoder.h"

namespace {

const std::int64_t CHUNK_HEADER_SIZE = 8;
const std::int64_t RIFF_HEADER_SIZE = 12;
const std::uint32_t MAX_CHUNK_PAYLOAD = ~0u - 8 - 1;
const std::uint32_t VP8X_CHUNK_SIZE = 10;
const std::uint32_t ANIM_CHUNK_SIZE = 6;
const std::uint32_t ANMF_CHUNK_SIZE = 16;
const std::uint64_t MAX_IMAGE_AREA = std::uint64_t(1) << 32;
const unsigned ANIMATION_FLAG = 0x02;
const unsigned XMP_FLAG = 0x04;
const unsigned EXIF_FLAG = 0x08;
const unsigned ALPHA_FLAG = 0x10;
const unsigned ICCP_FLAG = 0x20;
const unsigned ALL_VALID_FLAGS = ANIMATION_FLAG | XMP_FLAG | EXIF_FLAG | ALPHA_FLAG | ICCP_FLAG;
// The bytes of a VP8 or VP8L chunk's payload that tell its size and alpha.
const std::int64_t FEATURE_BYTES = 32;

enum class Parse { OK, NEED_MORE_DATA, ERROR };

std::uint32_t GetLE32(const unsigned char* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

int GetLE24(const unsigned char* p) { return int(p[0]) | int(p[1]) << 8 | int(p[2]) << 16; }

bool IsTag(const unsigned char* p, const char* p_tag) { return std::memcmp(p, p_tag, 4) == 0; }

const char* GetStatusWords(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OK: return "no error";
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
    case VP8_STATUS_SUSPENDED: return "not enough data";
    case VP8_STATUS_USER_ABORT: return "decoding aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "not enough data";
  }
  return "unknown libwebp error";
}

// Where bytes passed over in the stream go.
class ByteTaker {
 public:
  virtual void Take(const unsigned char* p_bytes, std::size_t size) = 0;

 protected:
  ~ByteTaker() = default;
};

// Bytes kept from the stream, in a block that grows as they come, each
// step weighed against the memory the program may use.
class HeldBytes : public ByteTaker {
 public:
  explicit HeldBytes(Canvas& canvas) : _canvas(canvas) {}
  ~HeldBytes() { Clear(); }
  HeldBytes(const HeldBytes&) = delete;
  HeldBytes& operator=(const HeldBytes&) = delete;

  void Take(const unsigned char* p_bytes, std::size_t size) override;
  void Clear();
  const unsigned char* GetData() const { return _p_data; }
  std::size_t GetSize() const { return _size; }
  bool HasFailed() const { return _has_failed; }

 private:
  Canvas& _canvas;
  unsigned char* _p_data = nullptr;
  std::size_t _size = 0;
  std::size_t _capacity = 0;
  bool _has_failed = false;
};

void HeldBytes::Take(const unsigned char* p_bytes, std::size_t size) {
  if (_has_failed || size == 0) return;
  if (_size + size > _capacity) {
    std::size_t capacity = _capacity > 0 ? _capacity : 4096;
    while (capacity < _size + size) capacity *= 2;
    void* p_larger = nullptr;
    if (_canvas.Reserve(std::int64_t(capacity - _capacity))) {
      p_larger = std::realloc(_p_data, capacity);
      if (p_larger == nullptr) _canvas.Refuse(0);
    }
    if (p_larger == nullptr) {
      _has_failed = true;
      return;
    }
    _p_data = static_cast<unsigned char*>(p_larger);
    _capacity = capacity;
  }
  std::memcpy(_p_data + _size, p_bytes, size);
  _size += size;
}

void HeldBytes::Clear() {
  std::free(_p_data);
  _canvas.Release(std::int64_t(_capacity));
  _p_data = nullptr;
  _size = 0;
  _capacity = 0;
}

// The stream as the chunks are walked: positions count from the file's
// start, and nothing is read past the end the RIFF header gives.
class RiffInput {
 public:
  explicit RiffInput(PictureStream& stream) : _stream(stream) {}

  std::int64_t GetPosition() const { return _stream.GetPosition(); }
  void SetEnd(std::int64_t end) { _end = end; }
  std::int64_t GetEnd() const { return _end; }
  // Whether `size` bytes from here run past the RIFF's end.
  bool IsPastEnd(std::int64_t size) const { return size > _end - GetPosition(); }
  // Up to `count` bytes from here (a few dozen), left unread; how many
  // there are.
  std::int64_t Peek(std::int64_t count, const unsigned char*& p_bytes);
  void Skip(std::int64_t count) { _stream.SetNext(_stream.GetNext() + count); }
  // Reads on over `count` bytes, handing them to p_taker (null: dropped);
  // how many there were.
  std::int64_t Pass(std::int64_t count, ByteTaker* p_taker);
  // Whether the file ended before the RIFF's end, and where the bytes the
  // walk can see end.
  bool HasRunOut() const { return _has_run_out; }
  std::int64_t GetDataEnd() const { return _has_run_out ? _data_end : _end; }

 private:
  PictureStream& _stream;
  std::int64_t _end = INT64_MAX;
  bool _has_run_out = false;
  std::int64_t _data_end = 0;

  void RunOut(std::int64_t data_end) {
    _has_run_out = true;
    _data_end = data_end;
  }
};

std::int64_t RiffInput::Peek(std::int64_t count, const unsigned char*& p_bytes) {
  const std::int64_t wanted = count < _end - GetPosition() ? count : _end - GetPosition();
  const std::int64_t held = wanted > 0 ? _stream.PeekAhead(wanted) : 0;
  if (held < wanted) RunOut(GetPosition() + held);
  p_bytes = reinterpret_cast<const unsigned char*>(_stream.GetNext());
  return held < wanted ? held : wanted;
}

std::int64_t RiffInput::Pass(std::int64_t count, ByteTaker* p_taker) {
  const std::int64_t wanted = count < _end - GetPosition() ? count : _end - GetPosition();
  std::int64_t passed = 0;
  while (passed < wanted) {
    if (_stream.GetNext() == _stream.GetEnd() && !_stream.Refill()) {
      RunOut(GetPosition());
      break;
    }
    const char* p_next = _stream.GetNext();
    const std::int64_t held = _stream.GetEnd() - p_next;
    const std::int64_t piece = held < wanted - passed ? held : wanted - passed;
    if (p_taker != nullptr) p_taker->Take(reinterpret_cast<const unsigned char*>(p_next), std::size_t(piece));
    _stream.SetNext(p_next + piece);
    passed += piece;
  }
  return passed;
}

// A frame as the demuxer records it: its place, and where its ALPH and
// image chunks lie in the file (sizes with the chunk header, as far as the
// file holds them).
struct FrameRecord {
  int frame_number = 0;  // 0: no image chunk found yet
  int x_offset = 0;
  int y_offset = 0;
  int width = 0;
  int height = 0;
  bool has_alpha = false;
  bool has_image = false;  // a VP8 or VP8L chunk whose header tells its size
  bool is_lossless = false;
  bool is_complete = false;
  std::int64_t alpha_offset = 0;
  std::int64_t alpha_size = 0;
  std::int64_t image_offset = 0;
  std::int64_t image_size = 0;
};

int Round(std::int64_t numerator, std::int64_t denominator) {
  return int((2 * numerator + denominator) / (2 * denominator));
}

int Clamp(int value, int low, int high) { return value < low ? low : value > high ? high : value; }

// Where the first frame lands in the rows the canvas gets: the canvas at
// the least size the page needs (or its own), the frame shrunk with it.
struct FramePlace {
  int row_width = 0;   // the canvas's rows
  int row_height = 0;
  int left = 0;        // the frame's place in them, clipped
  int top = 0;
  int shown_width = 0;
  int shown_height = 0;
  int scaled_width = 0;  // libwebp's output
  int scaled_height = 0;
};

FramePlace PlaceFrame(const FrameRecord& frame, int canvas_width, int canvas_height, int least_width,
                      int least_height) {
  FramePlace place;
  place.row_width = least_width;
  place.row_height = least_height;
  const int left = Round(std::int64_t(frame.x_offset) * least_width, canvas_width);
  const int top = Round(std::int64_t(frame.y_offset) * least_height, canvas_height);
  const int right = Round(std::int64_t(frame.x_offset + frame.width) * least_width, canvas_width);
  const int bottom = Round(std::int64_t(frame.y_offset + frame.height) * least_height, canvas_height);
  place.scaled_width = right - left > 1 ? right - left : 1;
  place.scaled_height = bottom - top > 1 ? bottom - top : 1;
  place.left = Clamp(left, 0, least_width);
  place.top = Clamp(top, 0, least_height);
  place.shown_width = right > left ? Clamp(right, 0, least_width) - place.left : 0;
  place.shown_height = bottom > top ? Clamp(bottom, 0, least_height) - place.top : 0;
  return place;
}

// The first frame through libwebp's incremental decoder into rows of the
// canvas. Its bytes are held until the decoder can begin (the least size
// is known), then handed over as they come.
class FrameDecoder : public ByteTaker {
 public:
  explicit FrameDecoder(Canvas& canvas) : _canvas(canvas), _held(canvas) { WebPInitDecoderConfig(&_config); }
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  void Take(const unsigned char* p_bytes, std::size_t size) override;
  bool HasBegun() const { return _has_begun; }
  // Nothing is to be decoded: the bytes are let go.
  void Abandon() {
    _has_begun = true;
    _held.Clear();
  }
  // Starts libwebp on the frame, shrunk with a canvas of
  // canvas_width x canvas_height needed at least_width x least_height;
  // has_alpha: RGBA, else RGB. NO_MEMORY when its blocks do not fit.
  LoadFailure Begin(const FrameRecord& frame, int canvas_width, int canvas_height, int least_width,
                    int least_height, bool has_alpha);
  // Once the canvas has started: the rows so far, then as they come.
  bool StartRows(SampleLayout layout);
  // Every row libwebp left, finished or not, and the rows below.
  void FinishRows();
  VP8StatusCode GetStatus() const { return _status; }
  bool HasFailed() const { return _has_failed || _held.HasFailed(); }

 private:
  Canvas& _canvas;
  HeldBytes _held;
  WebPDecoderConfig _config;
  WebPIDecoder* _p_decoder = nullptr;
  bool _has_begun = false;
  bool _has_failed = false;
  bool _has_bytes = false;
  VP8StatusCode _status = VP8_STATUS_SUSPENDED;
  FramePlace _place;
  int _channels = 3;         // of libwebp's output
  int _row_channels = 0;     // of the canvas's rows; 0: not started
  unsigned char* _p_output = nullptr;
  unsigned char* _p_row = nullptr;
  int _rows_put = 0;         // rows of the canvas

  void Append(const unsigned char* p_bytes, std::size_t size);
  void PutRows(int last_frame_row);
  void PutFrameRow(int frame_row);
};

FrameDecoder::~FrameDecoder() {
  WebPIDelete(_p_decoder);
  std::free(_p_output);
  std::free(_p_row);
}

void FrameDecoder::Take(const unsigned char* p_bytes, std::size_t size) {
  _has_bytes = _has_bytes || size > 0;
  if (!_has_begun) {
    _held.Take(p_bytes, size);
  } else if (_p_decoder != nullptr && _status == VP8_STATUS_SUSPENDED) {
    Append(p_bytes, size);
  }
}

void FrameDecoder::Append(const unsigned char* p_bytes, std::size_t size) {
  if (size == 0) return;
  _status = WebPIAppend(_p_decoder, p_bytes, size);
  int last_y = 0;
  if (WebPIDecGetRGB(_p_decoder, &last_y, nullptr, nullptr, nullptr) != nullptr) PutRows(last_y);
}

LoadFailure FrameDecoder::Begin(const FrameRecord& frame, int canvas_width, int canvas_height, int least_width,
                                int least_height, bool has_alpha) {
  _has_begun = true;
  _channels = has_alpha ? 4 : 3;
  if (!frame.has_image) {
    // No image chunk came: libwebp still says what it makes of the rest.
    _place.row_width = least_width;
    _place.row_height = least_height;
  } else {
    _place = PlaceFrame(frame, canvas_width, canvas_height, least_width, least_height);
    // libwebp's blocks: its output; a lossless frame's every pixel; an
    // alpha plane.
    const std::int64_t pixels = std::int64_t(frame.width) * frame.height;
    const std::int64_t output = std::int64_t(_place.scaled_width) * _place.scaled_height * _channels;
    if (!_canvas.Reserve(output + (frame.is_lossless ? pixels * 4 : frame.has_alpha ? pixels : 0))) {
      _has_failed = true;
      return LoadFailure::NO_MEMORY;
    }
    _p_output = static_cast<unsigned char*>(std::calloc(std::size_t(output), 1));
    if (_p_output == nullptr) {
      _canvas.Refuse(0);
      _has_failed = true;
      return LoadFailure::NO_MEMORY;
    }
    WebPDecBuffer& output_buffer = _config.output;
    output_buffer.colorspace = has_alpha ? MODE_RGBA : MODE_RGB;
    output_buffer.is_external_memory = 1;
    output_buffer.u.RGBA.rgba = _p_output;
    output_buffer.u.RGBA.stride = _place.scaled_width * _channels;
    output_buffer.u.RGBA.size = std::size_t(output);
    _config.options.use_scaling = _place.scaled_width != frame.width || _place.scaled_height != frame.height;
    _config.options.scaled_width = _place.scaled_width;
    _config.options.scaled_height = _place.scaled_height;
  }
  if (frame.has_image || _has_bytes) {
    _p_decoder = frame.has_image ? WebPIDecode(nullptr, 0, &_config) : WebPINewDecoder(nullptr);
    if (_p_decoder == nullptr) {
      _canvas.Refuse(0);
      _has_failed = true;
      return LoadFailure::NO_MEMORY;
    }
    Append(_held.GetData(), _held.GetSize());
  }
  _held.Clear();
  return LoadFailure::NONE;
}

bool FrameDecoder::StartRows(SampleLayout layout) {
  _row_channels = GetSampleCount(layout);
  const std::int64_t row_bytes = std::int64_t(_place.row_width) * _row_channels;
  if (!_canvas.Reserve(row_bytes)) return false;
  _p_row = static_cast<unsigned char*>(std::calloc(std::size_t(row_bytes), 1));
  if (_p_row == nullptr) {
    _canvas.Refuse(0);
    return false;
  }
  int last_y = 0;
  if (_p_decoder != nullptr && WebPIDecGetRGB(_p_decoder, &last_y, nullptr, nullptr, nullptr) != nullptr) {
    PutRows(last_y);
  }
  return true;
}

// The canvas's rows down to the frame's row `last_frame_row` (not
// included): transparent above and below the frame and beside it.
void FrameDecoder::PutRows(int last_frame_row) {
  if (_p_row == nullptr) return;
  const int frame_end = _place.top + _place.shown_height;
  if (_rows_put < _place.top || _place.shown_height == 0) {
    const int count = (_place.shown_height == 0 ? _place.row_height : _place.top) - _rows_put;
    std::memset(_p_row, 0, std::size_t(_place.row_width) * _row_channels);
    _canvas.PutRows(_p_row, count);
    _rows_put += count;
  }
  while (_rows_put < frame_end && _rows_put - _place.top < last_frame_row) {
    PutFrameRow(_rows_put - _place.top);
    ++_rows_put;
  }
}

void FrameDecoder::PutFrameRow(int frame_row) {
  std::memset(_p_row, 0, std::size_t(_place.row_width) * _row_channels);
  const unsigned char* p_in = _p_output + std::size_t(frame_row) * _place.scaled_width * _channels;
  unsigned char* p_out = _p_row + std::size_t(_place.left) * _row_channels;
  if (_channels == _row_channels) {
    std::memcpy(p_out, p_in, std::size_t(_place.shown_width) * _channels);
  } else {
    // Alpha the file says nothing about after all: dropped.
    for (int column = 0; column < _place.shown_width; ++column, p_in += _channels, p_out += _row_channels) {
      std::memcpy(p_out, p_in, 3);
    }
  }
  _canvas.PutRows(_p_row);
}

void FrameDecoder::FinishRows() {
  PutRows(_place.scaled_height);
  if (_p_row == nullptr || _rows_put >= _place.row_height) return;
  std::memset(_p_row, 0, std::size_t(_place.row_width) * _row_channels);
  _canvas.PutRows(_p_row, _place.row_height - _rows_put);
  _rows_put = _place.row_height;
}

// A frame whose ANMF chunk's data is not known to be all there yet: the
// demuxer takes a frame only when it is, so if the file ends first, what
// was found from `start` on is let go.
struct PendingFrame {
  std::int64_t start;
  std::int64_t end;
  int frame_count;  // frames before it
};

// What libwebp's demuxer would make of the file, held whole: it decides
// the reason for a file that is not read.
enum class DemuxState { PARSE_ERROR, PARSING_HEADER, PARSED_HEADER, DONE };

// The walk over the file's chunks: the demuxer's checks and findings, and
// the first frame decoded on the way.
class ChunkWalk {
 public:
  ChunkWalk(PictureStream& stream, Canvas& canvas)
      : _input(stream), _canvas(canvas), _decoder(canvas), _icc(canvas), _exif(canvas) {}
  ~ChunkWalk() { std::free(_p_pending); }
  ChunkWalk(const ChunkWalk&) = delete;
  ChunkWalk& operator=(const ChunkWalk&) = delete;

  void Walk();
  LoadFailure Conclude(LoadReport& report);

 private:
  RiffInput _input;
  Canvas& _canvas;
  FrameDecoder _decoder;
  HeldBytes _icc;   // the first ICCP chunk's payload
  HeldBytes _exif;  // the first EXIF chunk's payload
  DemuxState _state = DemuxState::PARSING_HEADER;
  bool _is_extended = false;
  unsigned _flags = 0;
  int _canvas_width = 0;
  int _canvas_height = 0;
  int _frame_count = 0;
  bool _is_last_complete = true;
  int _invalid_from_count = 0;  // the frame count from which a frame breaks the file's rules; 0: none
  std::int64_t _icc_start = -1;   // where the kept chunks lie; -1: none
  std::int64_t _exif_start = -1;
  FrameRecord _first;             // the first frame, once found
  FrameRecord* _p_storing = nullptr;  // the first frame while its chunks are read
  bool _is_first_stored = false;
  bool _is_next_chunk_due = false;  // a frame's chunks ended at the next chunk
  bool _is_over = false;
  bool _has_started = false;
  LoadFailure _failure = LoadFailure::NONE;
  PendingFrame* _p_pending = nullptr;
  int _pending_first = 0;
  int _pending_count = 0;
  int _pending_capacity = 0;

  Parse ReadHeader();
  Parse ParseSingleImage();
  Parse ParseVP8X();
  Parse ParseChunks();
  Parse PassDueChunk();
  bool IsChunkAllowed(const unsigned char* p_header, int anim_chunks) const;
  Parse ParseChunk(const unsigned char* p_header, int& anim_chunks);
  Parse ParseAnimationFrame(std::uint32_t chunk_size);
  Parse StoreFrame(int frame_number, FrameRecord& frame, bool is_first, bool feeds_alpha);
  Parse StoreImage(const unsigned char* p_header, std::uint32_t padded_size, int frame_number, FrameRecord& frame,
                   bool is_first);
  Parse KeepOrSkip(std::uint32_t size, std::uint32_t padded_size, bool is_kept, HeldBytes& kept,
                   std::int64_t& kept_start);
  void AddFrame(const FrameRecord& frame, bool is_exact);
  bool IsFrameSound(const FrameRecord& frame, bool is_exact) const;
  bool IsValid() const;
  Parse Settle(Parse status);
  bool PushPending(std::int64_t start, std::int64_t end);
  void PrunePending();
  void RollBack(std::int64_t data_end);
  bool IsKept(std::int64_t start) const;
  bool IsSettled(unsigned flag, std::int64_t start) const;
  int GetOrientation() const;
  bool ShowsTransparency(const FrameRecord& frame) const;
  void Advance();
  void StartCanvas(const FrameRecord& frame);
};

Parse ChunkWalk::ReadHeader() {
  const unsigned char* p_bytes = nullptr;
  if (_input.Peek(RIFF_HEADER_SIZE + CHUNK_HEADER_SIZE, p_bytes) < RIFF_HEADER_SIZE + CHUNK_HEADER_SIZE) {
    return Parse::NEED_MORE_DATA;
  }
  if (!IsTag(p_bytes, "RIFF") || !IsTag(p_bytes + 8, "WEBP")) return Parse::ERROR;
  const std::uint32_t riff_size = GetLE32(p_bytes + 4);
  if (riff_size < CHUNK_HEADER_SIZE || riff_size > MAX_CHUNK_PAYLOAD) return Parse::ERROR;
  _input.SetEnd(std::int64_t(riff_size) + CHUNK_HEADER_SIZE);
  _input.Skip(RIFF_HEADER_SIZE);
  return Parse::OK;
}

void ChunkWalk::Walk() {
  Parse status = ReadHeader();
  if (status != Parse::OK) {
    _state = status == Parse::NEED_MORE_DATA ? DemuxState::PARSING_HEADER : DemuxState::PARSE_ERROR;
    return;
  }
  const unsigned char* p_tag = nullptr;
  _input.Peek(4, p_tag);
  if (IsTag(p_tag, "VP8 ") || IsTag(p_tag, "VP8L")) {
    status = ParseSingleImage();
  } else if (IsTag(p_tag, "VP8X")) {
    status = ParseVP8X();
  } else {
    return;  // no demuxer: the header is taken to end early
  }
  status = Settle(status);
  if (status == Parse::OK) _state = DemuxState::DONE;
  if (status == Parse::NEED_MORE_DATA && !_input.HasRunOut()) status = Parse::ERROR;
  if (status != Parse::ERROR && !IsValid()) status = Parse::ERROR;
  if (status == Parse::ERROR) _state = DemuxState::PARSE_ERROR;
  _is_over = true;
}

Parse ChunkWalk::ParseSingleImage() {
  const unsigned char* p_bytes = nullptr;
  if (_input.IsPastEnd(CHUNK_HEADER_SIZE)) return Parse::ERROR;
  if (_input.Peek(CHUNK_HEADER_SIZE, p_bytes) < CHUNK_HEADER_SIZE) return Parse::NEED_MORE_DATA;
  FrameRecord frame;
  Parse status = StoreFrame(1, frame, true, (_flags & ALPHA_FLAG) != 0);
  _p_storing = nullptr;
  if (status == Parse::ERROR) return status;
  if (!_is_extended && _is_next_chunk_due && PassDueChunk() == Parse::NEED_MORE_DATA) status = Parse::NEED_MORE_DATA;
  if ((_flags & ALPHA_FLAG) == 0 && frame.alpha_size > 0) {
    frame.alpha_offset = 0;
    frame.alpha_size = 0;
    frame.has_alpha = false;
  }
  if (!_is_extended && frame.width > 0 && frame.height > 0) {
    _state = DemuxState::PARSED_HEADER;
    _canvas_width = frame.width;
    _canvas_height = frame.height;
  }
  AddFrame(frame, true);
  return status;
}

Parse ChunkWalk::ParseVP8X() {
  const unsigned char* p_bytes = nullptr;
  if (_input.Peek(CHUNK_HEADER_SIZE, p_bytes) < CHUNK_HEADER_SIZE) return Parse::NEED_MORE_DATA;
  _is_extended = true;
  std::uint32_t size = GetLE32(p_bytes + 4);
  _input.Skip(CHUNK_HEADER_SIZE);
  if (size > MAX_CHUNK_PAYLOAD || size < VP8X_CHUNK_SIZE) return Parse::ERROR;
  size += size & 1;
  if (_input.IsPastEnd(size)) return Parse::ERROR;
  unsigned char fields[VP8X_CHUNK_SIZE] = {};
  if (_input.Peek(VP8X_CHUNK_SIZE, p_bytes) == VP8X_CHUNK_SIZE) std::memcpy(fields, p_bytes, VP8X_CHUNK_SIZE);
  if (_input.Pass(size, nullptr) < size) return Parse::NEED_MORE_DATA;
  _flags = fields[0];
  _canvas_width = 1 + GetLE24(fields + 4);
  _canvas_height = 1 + GetLE24(fields + 7);
  if (std::uint64_t(_canvas_width) * std::uint64_t(_canvas_height) >= MAX_IMAGE_AREA) return Parse::ERROR;
  _state = DemuxState::PARSED_HEADER;
  if (_input.IsPastEnd(CHUNK_HEADER_SIZE)) return Parse::ERROR;
  if (_input.Peek(CHUNK_HEADER_SIZE, p_bytes) < CHUNK_HEADER_SIZE) return Parse::NEED_MORE_DATA;
  return ParseChunks();
}

Parse ChunkWalk::ParseChunks() {
  int anim_chunks = 0;
  Parse status = Parse::OK;
  do {
    const unsigned char* p_header = nullptr;
    _input.Peek(CHUNK_HEADER_SIZE, p_header);
    if (!IsChunkAllowed(p_header, anim_chunks)) return _is_next_chunk_due ? PassDueChunk() : Parse::ERROR;
    _is_next_chunk_due = false;
    status = ParseChunk(p_header, anim_chunks);
    if (_input.GetPosition() == _input.GetEnd()) break;
    // As the demuxer has it, an image's or a frame's error gives way to
    // the end of the data when fewer bytes than a chunk header are left.
    if (_input.Peek(CHUNK_HEADER_SIZE, p_header) < CHUNK_HEADER_SIZE) status = Parse::NEED_MORE_DATA;
    if (status == Parse::OK) Advance();
  } while (status == Parse::OK);
  return status;
}

// The chunk a frame's chunks ended at: the demuxer wanted all of its data
// there, or else took the file to end in it (and did not read it).
Parse ChunkWalk::PassDueChunk() {
  _is_next_chunk_due = false;
  const unsigned char* p_header = nullptr;
  _input.Peek(CHUNK_HEADER_SIZE, p_header);
  const std::uint32_t size = GetLE32(p_header + 4);
  const std::int64_t chunk_size = CHUNK_HEADER_SIZE + std::int64_t(size) + (size & 1);
  return _input.Pass(chunk_size, nullptr) < chunk_size ? Parse::NEED_MORE_DATA : Parse::ERROR;
}

bool ChunkWalk::IsChunkAllowed(const unsigned char* p_header, int anim_chunks) const {
  const std::uint32_t size = GetLE32(p_header + 4);
  if (size > MAX_CHUNK_PAYLOAD) return false;
  const std::uint32_t padded_size = size + (size & 1);
  if (_input.IsPastEnd(CHUNK_HEADER_SIZE + std::int64_t(padded_size)) || IsTag(p_header, "VP8X")) return false;
  if (IsTag(p_header, "ALPH") || IsTag(p_header, "VP8 ") || IsTag(p_header, "VP8L")) {
    return anim_chunks == 0 && (_flags & ANIMATION_FLAG) == 0 && _frame_count == 0;
  }
  if (IsTag(p_header, "ANIM")) return padded_size >= ANIM_CHUNK_SIZE;
  return !IsTag(p_header, "ANMF") || anim_chunks > 0;
}

Parse ChunkWalk::ParseChunk(const unsigned char* p_header, int& anim_chunks) {
  const std::uint32_t size = GetLE32(p_header + 4);
  const std::uint32_t padded_size = size + (size & 1);
  if (IsTag(p_header, "ALPH") || IsTag(p_header, "VP8 ") || IsTag(p_header, "VP8L")) return ParseSingleImage();
  if (IsTag(p_header, "ANIM")) {
    _input.Skip(CHUNK_HEADER_SIZE);
    if (_input.Pass(padded_size, nullptr) < padded_size) return Parse::NEED_MORE_DATA;
    ++anim_chunks;
    return Parse::OK;
  }
  if (IsTag(p_header, "ANMF")) {
    _input.Skip(CHUNK_HEADER_SIZE);
    return ParseAnimationFrame(padded_size);
  }
  if (IsTag(p_header, "ICCP")) return KeepOrSkip(size, padded_size, (_flags & ICCP_FLAG) != 0, _icc, _icc_start);
  if (IsTag(p_header, "EXIF")) return KeepOrSkip(size, padded_size, (_flags & EXIF_FLAG) != 0, _exif, _exif_start);
  _input.Skip(CHUNK_HEADER_SIZE);
  return _input.Pass(padded_size, nullptr) < padded_size ? Parse::NEED_MORE_DATA : Parse::OK;
}

// The first ICCP or EXIF chunk the header announces is kept, once all of
// it is there.
Parse ChunkWalk::KeepOrSkip(std::uint32_t size, std::uint32_t padded_size, bool is_kept, HeldBytes& kept,
                            std::int64_t& kept_start) {
  const std::int64_t start = _input.GetPosition();
  _input.Skip(CHUNK_HEADER_SIZE);
  if (!is_kept || kept_start >= 0) {
    return _input.Pass(padded_size, nullptr) < padded_size ? Parse::NEED_MORE_DATA : Parse::OK;
  }
  const bool is_whole = _input.Pass(size, &kept) == size && _input.Pass(padded_size - size, nullptr) == padded_size - size;
  if (!is_whole) {
    kept.Clear();
    return Parse::NEED_MORE_DATA;
  }
  kept_start = start;
  return Parse::OK;
}

Parse ChunkWalk::ParseAnimationFrame(std::uint32_t chunk_size) {
  const bool is_animation = (_flags & ANIMATION_FLAG) != 0;
  const std::uint32_t payload_size = chunk_size - ANMF_CHUNK_SIZE;
  const unsigned char* p_bytes = nullptr;
  if (_input.IsPastEnd(ANMF_CHUNK_SIZE) || chunk_size < ANMF_CHUNK_SIZE) return Parse::ERROR;
  if (_input.Peek(ANMF_CHUNK_SIZE, p_bytes) < ANMF_CHUNK_SIZE) return Parse::NEED_MORE_DATA;
  FrameRecord frame;
  frame.x_offset = 2 * GetLE24(p_bytes);
  frame.y_offset = 2 * GetLE24(p_bytes + 3);
  frame.width = 1 + GetLE24(p_bytes + 6);
  frame.height = 1 + GetLE24(p_bytes + 9);
  _input.Skip(ANMF_CHUNK_SIZE);
  if (std::uint64_t(frame.width) * std::uint64_t(frame.height) >= MAX_IMAGE_AREA) return Parse::ERROR;
  const std::int64_t start = _input.GetPosition();
  const std::int64_t needed = payload_size > CHUNK_HEADER_SIZE ? payload_size : CHUNK_HEADER_SIZE;
  if (!PushPending(start - CHUNK_HEADER_SIZE - ANMF_CHUNK_SIZE, start + needed)) return Parse::ERROR;
  const bool is_first = is_animation && _frame_count == 0;
  Parse status = StoreFrame(_frame_count + 1, frame, is_first, true);
  if (status != Parse::ERROR && _input.GetPosition() - start > std::int64_t(payload_size)) status = Parse::ERROR;
  if (status != Parse::ERROR && is_animation && frame.frame_number > 0) AddFrame(frame, false);
  _p_storing = nullptr;
  return status;
}

// The frame's ALPH and image chunks, as far as they go on; the first
// frame's go to the decoder.
Parse ChunkWalk::StoreFrame(int frame_number, FrameRecord& frame, bool is_first, bool feeds_alpha) {
  const unsigned char* p_header = nullptr;
  if (_input.Peek(CHUNK_HEADER_SIZE, p_header) < CHUNK_HEADER_SIZE) return Parse::NEED_MORE_DATA;
  if (is_first) _p_storing = &frame;
  int alpha_chunks = 0;
  int image_chunks = 0;
  Parse status = Parse::OK;
  bool is_done = false;
  do {
    _input.Peek(CHUNK_HEADER_SIZE, p_header);
    const std::int64_t start = _input.GetPosition();
    const std::uint32_t size = GetLE32(p_header + 4);
    const std::uint32_t padded_size = size + (size & 1);
    // Errors are found with the chunk's header read.
    if (size > MAX_CHUNK_PAYLOAD || _input.IsPastEnd(CHUNK_HEADER_SIZE + std::int64_t(padded_size)) ||
        (IsTag(p_header, "VP8L") && alpha_chunks > 0)) {  // VP8L has its own alpha
      _input.Skip(CHUNK_HEADER_SIZE);
      return Parse::ERROR;
    }
    if (IsTag(p_header, "ALPH") && alpha_chunks == 0) {
      ++alpha_chunks;
      frame.alpha_offset = start;
      frame.has_alpha = true;
      frame.frame_number = frame_number;
      const std::int64_t passed = _input.Pass(CHUNK_HEADER_SIZE + padded_size, is_first && feeds_alpha ? &_decoder : nullptr);
      frame.alpha_size = passed;
      if (passed < CHUNK_HEADER_SIZE + padded_size) status = Parse::NEED_MORE_DATA;
    } else if ((IsTag(p_header, "VP8 ") || IsTag(p_header, "VP8L")) && image_chunks == 0) {
      ++image_chunks;
      status = StoreImage(p_header, padded_size, frame_number, frame, is_first);
      if (status == Parse::ERROR) return status;
    } else {
      is_done = true;
      _is_next_chunk_due = true;
    }
    if (!is_done) {
      if (_input.GetPosition() == _input.GetEnd()) {
        is_done = true;
      } else if (_input.Peek(CHUNK_HEADER_SIZE, p_header) < CHUNK_HEADER_SIZE) {
        status = Parse::NEED_MORE_DATA;
      }
    }
  } while (!is_done && status == Parse::OK);
  return status;
}

// A VP8 or VP8L chunk: its size and alpha from its first bytes, then the
// rest read on (decoded, for the first frame).
Parse ChunkWalk::StoreImage(const unsigned char* p_header, std::uint32_t padded_size, int frame_number,
                            FrameRecord& frame, bool is_first) {
  const std::int64_t start = _input.GetPosition();
  const std::int64_t wanted = padded_size < FEATURE_BYTES ? padded_size : FEATURE_BYTES;
  const std::int64_t held = _input.Peek(CHUNK_HEADER_SIZE + wanted, p_header);
  WebPBitstreamFeatures features;
  const VP8StatusCode found = WebPGetFeatures(p_header, std::size_t(held), &features);
  if (found != VP8_STATUS_OK) {
    _input.Skip(CHUNK_HEADER_SIZE);
    const bool is_short = held < CHUNK_HEADER_SIZE + wanted && found == VP8_STATUS_NOT_ENOUGH_DATA;
    return is_short ? Parse::NEED_MORE_DATA : Parse::ERROR;
  }
  frame.image_offset = start;
  frame.width = features.width;
  frame.height = features.height;
  frame.has_alpha = frame.has_alpha || features.has_alpha;
  frame.is_lossless = features.format == 2;
  frame.has_image = true;
  frame.frame_number = frame_number;
  if (is_first) Advance();
  const std::int64_t passed = _input.Pass(CHUNK_HEADER_SIZE + padded_size, is_first ? &_decoder : nullptr);
  frame.image_size = passed;
  frame.is_complete = passed == CHUNK_HEADER_SIZE + padded_size;
  return frame.is_complete ? Parse::OK : Parse::NEED_MORE_DATA;
}

bool ChunkWalk::IsFrameSound(const FrameRecord& frame, bool is_exact) const {
  const bool has_image = frame.image_size > 0;
  if (frame.alpha_size > 0 && (frame.is_complete || has_image) && frame.alpha_offset > frame.image_offset) return false;
  if (frame.is_complete && (frame.width <= 0 || frame.height <= 0)) return false;
  if (frame.width <= 0 || frame.height <= 0) return true;
  if (is_exact) {
    return frame.x_offset == 0 && frame.y_offset == 0 && frame.width == _canvas_width &&
           frame.height == _canvas_height;
  }
  return frame.x_offset >= 0 && frame.y_offset >= 0 && frame.width + frame.x_offset <= _canvas_width &&
         frame.height + frame.y_offset <= _canvas_height;
}

void ChunkWalk::AddFrame(const FrameRecord& frame, bool is_exact) {
  // A frame after one that is not whole breaks the rules, as does one
  // that does not fit the canvas.
  const bool is_sound = IsFrameSound(frame, is_exact) && _is_last_complete;
  ++_frame_count;
  if (!is_sound && _invalid_from_count == 0) _invalid_from_count = _frame_count;
  _is_last_complete = frame.is_complete;
  if (_frame_count == 1 && frame.frame_number == 1) {
    _first = frame;
    _is_first_stored = true;
  }
}

bool ChunkWalk::IsValid() const {
  if (_state == DemuxState::PARSING_HEADER) return true;
  if (!_is_extended) return _frame_count > 0 && _first.width > 0 && _first.height > 0;
  if (_state == DemuxState::DONE && _frame_count == 0) return false;
  if ((_flags & ~ALL_VALID_FLAGS) != 0) return false;
  if (_invalid_from_count > 0 && _invalid_from_count <= _frame_count) return false;
  return !(_state == DemuxState::DONE && !_is_last_complete);
}

bool ChunkWalk::PushPending(std::int64_t start, std::int64_t end) {
  PrunePending();
  if (_pending_count > 0 && _p_pending[_pending_first + _pending_count - 1].end >= end) return true;
  if (_pending_count == 0) _pending_first = 0;
  if (_pending_first + _pending_count == _pending_capacity) {
    const int capacity = _pending_capacity > 0 ? _pending_capacity * 2 : 4;
    void* p_larger = nullptr;
    if (_canvas.Reserve(std::int64_t(capacity - _pending_capacity) * std::int64_t(sizeof(PendingFrame)))) {
      p_larger = std::realloc(_p_pending, std::size_t(capacity) * sizeof(PendingFrame));
    }
    if (p_larger == nullptr) {
      _failure = LoadFailure::NO_MEMORY;
      return false;
    }
    _p_pending = static_cast<PendingFrame*>(p_larger);
    _pending_capacity = capacity;
  }
  _p_pending[_pending_first + _pending_count] = PendingFrame{start, end, _frame_count};
  ++_pending_count;
  return true;
}

void ChunkWalk::PrunePending() {
  while (_pending_count > 0 && _p_pending[_pending_first].end <= _input.GetPosition()) {
    ++_pending_first;
    --_pending_count;
  }
}

// The walk ended at data_end, within the data of pending frames: the
// demuxer would have stopped at the first of them.
void ChunkWalk::RollBack(std::int64_t data_end) {
  for (int index = _pending_first; index < _pending_first + _pending_count; ++index) {
    const PendingFrame& pending = _p_pending[index];
    if (pending.end <= data_end) continue;
    _frame_count = pending.frame_count;
    if (_frame_count == 0) _is_first_stored = false;
    if (_icc_start >= pending.start) _icc_start = -1;
    if (_exif_start >= pending.start) _exif_start = -1;
    break;
  }
  _pending_count = 0;
}

// An error stands only once the frames pending before it had all their
// data; the end of the file among them is the end of the walk.
Parse ChunkWalk::Settle(Parse status) {
  _p_storing = nullptr;
  if (status == Parse::ERROR && _pending_count > 0) {
    const std::int64_t end = _p_pending[_pending_first + _pending_count - 1].end;
    if (end <= _input.GetPosition() || _input.Pass(end - _input.GetPosition(), nullptr) == end - _input.GetPosition()) {
      return Parse::ERROR;
    }
    status = Parse::NEED_MORE_DATA;
  }
  if (status == Parse::NEED_MORE_DATA) RollBack(_input.GetDataEnd());
  _pending_count = 0;
  return status;
}

bool ChunkWalk::IsKept(std::int64_t start) const {
  return start >= 0 && (_pending_count == 0 || _p_pending[_pending_first].start > start);
}

// Whether what the header promises (an ICCP or EXIF chunk) is known.
bool ChunkWalk::IsSettled(unsigned flag, std::int64_t start) const {
  return _is_over || (_flags & flag) == 0 || IsKept(start);
}

int ChunkWalk::GetOrientation() const {
  return _exif_start >= 0 ? ReadExifOrientation(_exif.GetData(), _exif.GetSize()) : 1;
}

// Whether the canvas shows anything transparent: the frame has alpha or
// leaves part of the canvas uncovered.
bool ChunkWalk::ShowsTransparency(const FrameRecord& frame) const {
  const int canvas_width = _is_extended ? _canvas_width : frame.width;
  const int canvas_height = _is_extended ? _canvas_height : frame.height;
  return frame.has_alpha || frame.x_offset > 0 || frame.y_offset > 0 || frame.x_offset + frame.width < canvas_width ||
         frame.y_offset + frame.height < canvas_height;
}

// Begins decoding once the orientation is known, and starts the canvas
// once its header is: the profile, and whether the rows have alpha (a
// still picture's ALPH chunk after its image drops it).
void ChunkWalk::Advance() {
  PrunePending();
  const FrameRecord* p_frame = _p_storing != nullptr ? _p_storing : _is_first_stored ? &_first : nullptr;
  if (p_frame == nullptr || _has_started || _failure != LoadFailure::NONE) return;
  if (!p_frame->has_image && !_is_over) return;
  if (!IsSettled(EXIF_FLAG, _exif_start)) return;
  const int canvas_width = _is_extended ? _canvas_width : p_frame->width;
  const int canvas_height = _is_extended ? _canvas_height : p_frame->height;
  if (canvas_width > PictureHeader::MAX_SIDE || canvas_height > PictureHeader::MAX_SIDE) {
    // The canvas refuses the sides: nothing to decode.
    _decoder.Abandon();
    StartCanvas(*p_frame);
    return;
  }
  if (!_decoder.HasBegun()) {
    int least_width = 0;
    int least_height = 0;
    _canvas.GetLeastSize(canvas_width, canvas_height, GetOrientation(), least_width, least_height);
    const LoadFailure failure =
        _decoder.Begin(*p_frame, canvas_width, canvas_height, least_width, least_height, ShowsTransparency(*p_frame));
    if (failure != LoadFailure::NONE) return;
  }
  const bool may_lose_alpha = p_frame == _p_storing && p_frame->has_alpha && (_flags & ALPHA_FLAG) == 0 && !_is_over;
  if (IsSettled(ICCP_FLAG, _icc_start) && !may_lose_alpha) StartCanvas(*p_frame);
}

void ChunkWalk::StartCanvas(const FrameRecord& frame) {
  _has_started = true;
  PictureHeader header;
  header.width = _is_extended ? _canvas_width : frame.width;
  header.height = _is_extended ? _canvas_height : frame.height;
  header.orientation = GetOrientation();
  header.layout = ShowsTransparency(frame) ? SampleLayout::RGBA : SampleLayout::RGB;
  if (_icc_start >= 0 && _icc.GetSize() >= 128 && std::memcmp(_icc.GetData() + 16, "RGB ", 4) == 0) {
    header.p_icc = _icc.GetData();
    header.icc_size = _icc.GetSize();
  }
  int least_width = 0;
  int least_height = 0;
  _canvas.GetLeastSize(header.width, header.height, header.orientation, least_width, least_height);
  header.row_width = least_width;
  header.row_height = least_height;
  _failure = _canvas.Start(header);
  if (_failure == LoadFailure::NONE && _decoder.HasBegun() && !_decoder.StartRows(header.layout)) {
    _failure = LoadFailure::NO_MEMORY;
  }
}

LoadFailure ChunkWalk::Conclude(LoadReport& report) {
  if (_state == DemuxState::PARSING_HEADER || _state == DemuxState::PARSE_ERROR) {
    report.SetWords(_state == DemuxState::PARSING_HEADER ? "the header ends early" : "not a readable WebP header");
    return LoadFailure::UNREADABLE;
  }
  if (!_is_first_stored) {
    report.SetWords(_state == DemuxState::DONE ? "the file holds no picture" : "the file ends before its picture");
    return LoadFailure::UNREADABLE;
  }
  if (_icc.HasFailed() || _exif.HasFailed()) return LoadFailure::NO_MEMORY;
  Advance();
  if (!_has_started && _failure == LoadFailure::NONE) StartCanvas(_first);
  if (_failure != LoadFailure::NONE) return _failure;
  if (_decoder.HasFailed()) return LoadFailure::NO_MEMORY;
  _decoder.FinishRows();
  report.frame_count = _frame_count;
  const VP8StatusCode status = _decoder.GetStatus();
  if (status == VP8_STATUS_OUT_OF_MEMORY) {
    _canvas.Refuse(0);
    return LoadFailure::NO_MEMORY;
  }
  if (status != VP8_STATUS_OK && status != VP8_STATUS_SUSPENDED) {
    report.SetWords(GetStatusWords(status));
    return LoadFailure::UNREADABLE;
  }
  if (status == VP8_STATUS_SUSPENDED || _state != DemuxState::DONE || !_first.is_complete) {
    report.is_cut_short = true;
    report.SetWords(status == VP8_STATUS_SUSPENDED ? GetStatusWords(status) : "the file ends early");
  }
  return LoadFailure::NONE;
}

}  // namespace

LoadFailure DecodeWebP(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  ChunkWalk walk(stream, canvas);
  walk.Walk();
  return walk.Conclude(report);
}
