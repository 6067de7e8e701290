// PNG through libpng's sequential reader, which pulls the file's bytes
// from the stream as it decodes: each row goes to the canvas as soon as it
// is decoded, so memory follows the page, not the picture. Only an
// interlaced file is held whole, decoded: its first finished row comes
// with its last pass.
//
// The sequential reader, not the progressive one (which takes bytes as
// they come too): the progressive reader words damaged image data its own
// way, and takes some of it for no error at all, where the sequential
// reader gives the words the program always gave. When the file ends
// early, the reader's next read fails, after every row that arrived.
//
// libpng is shown the file as the program has always shown it: its
// chunks, less the three whose only effect in libpng is to convert the
// samples' gamma (gAMA, sRGB, iCCP: the page wants the file's own values,
// and the colour profile goes to the canvas instead). A chunk goes over
// only once it is whole, so that for libpng a file cut inside a chunk ends
// before it; the image data goes over in pieces as it arrives, each an
// IDAT chunk of its own, so that libpng decodes every row that arrived.
// The sides in IHDR are checked here before libpng sees them; eXIf gives
// the orientation, acTL (an animation, which libpng knows nothing of) the
// frame count.
//
// libpng reports an error with a long jump back into DecodePNGData, which
// holds no object with a destructor; everything that a jump must not lose
// lives in the PNGState it was given. An error while the rows come is a
// file cut short, whose rows that came are drawn, unless the file goes on
// to its IEND chunk: then the file is broken.

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "picture/Orientation.h"
#include "picture/formats/Decoder.h"

namespace {

const std::size_t SIGNATURE_SIZE = 8;
const std::int64_t HEADER_SIZE = 8;  // a chunk's length and type
const std::int64_t CHECK_SIZE = 4;   // its CRC
const std::uint32_t MAX_CHUNK_LENGTH = 0x7fffffff;
// libpng inflates the data of an IDAT chunk in blocks of this size from
// the chunk's start. Where it finds damaged data, and so which rows come
// before, depends on those blocks: the pieces of image data keep them.
const std::int64_t DATA_BLOCK_SIZE = 8192;
// An iCCP or eXIf chunk longer than the stream's buffer is held in a block
// of its own, up to this size.
const std::int64_t MAX_HELD_CHUNK = std::int64_t(64) << 20;
const std::size_t MAX_ICC_SIZE = 64u << 20;
// libpng's messages are cut to 63 characters, as they always were.
const std::size_t MESSAGE_SIZE = 64;

enum class FeedStep { CHUNK, IMAGE_DATA, ENDED };

enum class ChunkFeed { READY, PASSED_OVER, ENDED };

struct PNGState {
  PictureStream* p_stream;
  Canvas* p_canvas;
  png_structp p_png;
  png_infop p_info;
  // What libpng reads next: what is left of the signature, then the
  // segment being fed: head bytes of our own, bytes straight from the
  // stream, tail bytes of our own, after which skip_size bytes of the
  // stream (held in its buffer) are passed over.
  unsigned char signature[SIGNATURE_SIZE];
  std::size_t signature_size;
  std::size_t signature_left;
  const unsigned char* p_head;
  std::size_t head_left;
  std::int64_t stream_left;
  unsigned char tail[CHECK_SIZE];
  std::size_t tail_left;
  std::int64_t skip_size;
  unsigned char header[HEADER_SIZE];  // a chunk header made or kept here
  // Where the file's chunks stand.
  FeedStep step;
  bool has_image_data;         // the first IDAT chunk has come
  std::int64_t next_chunk_at;  // the stream position of the chunk after the one being fed
  bool is_at_end_chunk;        // the one being fed is IEND, whole
  std::int64_t data_left;      // of the IDAT chunk being fed
  uLong data_check;            // its CRC so far
  unsigned char* p_held;       // a long iCCP or eXIf chunk
  std::int64_t held_capacity;
  // What the chunks before the image data said.
  int orientation;
  int frame_count;
  unsigned char* p_icc;  // malloc'd
  std::size_t icc_size;
  LoadFailure refusal;  // sides out of range, or no memory to hold a chunk
  std::int64_t refused_value;
  // The rows.
  bool is_reading_rows;
  bool is_last_row;  // of a picture that is not interlaced
  std::size_t row_size;
  int held_rows;            // an interlaced picture's rows, held whole
  unsigned char* p_rows;    // a row, or the interlaced picture
  char message[MESSAGE_SIZE];
};

unsigned long ReadBig32(const unsigned char* p_bytes) {
  return (unsigned long)p_bytes[0] << 24 | (unsigned long)p_bytes[1] << 16 | (unsigned long)p_bytes[2] << 8 |
         p_bytes[3];
}

void WriteBig32(unsigned long value, unsigned char* p_bytes) {
  for (int i = 0; i < 4; ++i) p_bytes[i] = (unsigned char)(value >> (24 - 8 * i));
}

// Whether the chunk whose header starts at p_header is of this type.
bool IsType(const unsigned char* p_header, const char* p_type) { return std::memcmp(p_header + 4, p_type, 4) == 0; }

bool IsGammaChunk(const unsigned char* p_header) {
  return IsType(p_header, "gAMA") || IsType(p_header, "sRGB") || IsType(p_header, "iCCP");
}

const unsigned char* GetNextBytes(const PictureStream& stream) {
  return reinterpret_cast<const unsigned char*>(stream.GetNext());
}

std::size_t GetLeast(std::size_t size, std::int64_t other) {
  return other < std::int64_t(size) ? std::size_t(other) : size;
}

// Passes over `count` bytes of the stream; false when it ends first.
bool SkipStream(PictureStream& stream, std::int64_t count) {
  while (count > 0) {
    if (!stream.Refill()) return false;
    const std::size_t step = GetLeast(std::size_t(stream.GetEnd() - stream.GetNext()), count);
    stream.SetNext(stream.GetNext() + step);
    count -= std::int64_t(step);
  }
  return true;
}

// Inflates a zlib stream of at most MAX_ICC_SIZE bytes into a malloc'd
// buffer; null when it is broken or too large.
unsigned char* InflateProfile(const unsigned char* p_stream, std::size_t stream_size, std::size_t& profile_size) {
  z_stream stream = {};
  if (inflateInit(&stream) != Z_OK) return nullptr;
  stream.next_in = const_cast<unsigned char*>(p_stream);
  stream.avail_in = uInt(stream_size);
  std::size_t capacity = 4096;
  unsigned char* p_profile = nullptr;
  int result = Z_OK;
  while (result == Z_OK && capacity <= MAX_ICC_SIZE) {
    capacity *= 2;
    unsigned char* p_larger = static_cast<unsigned char*>(std::realloc(p_profile, capacity));
    if (p_larger == nullptr) break;
    p_profile = p_larger;
    stream.next_out = p_profile + stream.total_out;
    stream.avail_out = uInt(capacity - stream.total_out);
    result = inflate(&stream, Z_FINISH);
    if (result == Z_BUF_ERROR && stream.avail_out == 0) result = Z_OK;
  }
  profile_size = stream.total_out;
  inflateEnd(&stream);
  if (result == Z_STREAM_END) return p_profile;
  std::free(p_profile);
  return nullptr;
}

// Keeps the profile of an iCCP chunk when it describes RGB samples (a grey
// file's profile does not fit the RGB it becomes). The last sound chunk
// counts, whatever it holds.
void TakeProfile(PNGState& state, const unsigned char* p_data, std::size_t size) {
  std::free(state.p_icc);
  state.p_icc = nullptr;
  state.icc_size = 0;
  const unsigned char* p_name_end = static_cast<const unsigned char*>(std::memchr(p_data, 0, size));
  if (p_name_end == nullptr || p_name_end + 2 > p_data + size || p_name_end[1] != 0) return;
  const unsigned char* p_stream = p_name_end + 2;
  std::size_t profile_size = 0;
  unsigned char* p_profile = InflateProfile(p_stream, std::size_t(p_data + size - p_stream), profile_size);
  if (p_profile == nullptr) return;
  if (profile_size < 128 || std::memcmp(p_profile + 16, "RGB ", 4) != 0) {
    std::free(p_profile);
    return;
  }
  state.p_icc = p_profile;
  state.icc_size = profile_size;
}

bool CheckSides(PNGState& state, unsigned long width, unsigned long height) {
  if (width > unsigned(PictureHeader::MAX_SIDE)) {
    state.refusal = LoadFailure::WIDTH_OUT_OF_RANGE;
    state.refused_value = std::int64_t(width);
  } else if (height > unsigned(PictureHeader::MAX_SIDE)) {
    state.refusal = LoadFailure::HEIGHT_OUT_OF_RANGE;
    state.refused_value = std::int64_t(height);
  }
  return state.refusal == LoadFailure::NONE;
}

// Learns what a whole chunk says, when its CRC matches: the sides (false
// when they are refused) and, before the image data, the orientation, the
// profile and the frame count.
bool TakeChunk(PNGState& state, const unsigned char* p_chunk, std::int64_t size) {
  const bool is_header = IsType(p_chunk, "IHDR");
  if (!is_header && (state.has_image_data || !(IsType(p_chunk, "eXIf") || IsType(p_chunk, "iCCP") ||
                                                IsType(p_chunk, "acTL")))) {
    return true;
  }
  const std::size_t length = std::size_t(size - HEADER_SIZE - CHECK_SIZE);
  const unsigned char* p_data = p_chunk + HEADER_SIZE;
  if (crc32(0, p_chunk + 4, uInt(length + 4)) != ReadBig32(p_data + length)) return true;
  if (is_header) return length < 8 || CheckSides(state, ReadBig32(p_data), ReadBig32(p_data + 4));
  if (IsType(p_chunk, "eXIf")) {
    state.orientation = ReadExifOrientation(p_data, length);
  } else if (IsType(p_chunk, "iCCP")) {
    TakeProfile(state, p_data, length);
  } else if (length >= 8 && ReadBig32(p_data) > 1) {
    state.frame_count = ReadBig32(p_data) > MAX_CHUNK_LENGTH ? int(MAX_CHUNK_LENGTH) : int(ReadBig32(p_data));
  }
  return true;
}

ChunkFeed EndFeed(PNGState& state) {
  state.step = FeedStep::ENDED;
  return ChunkFeed::ENDED;
}

// A chunk that fits in the stream's buffer: fed whole, once it is.
ChunkFeed FeedShortChunk(PNGState& state, std::int64_t size) {
  PictureStream& stream = *state.p_stream;
  if (stream.PeekAhead(size) < size) return EndFeed(state);
  const unsigned char* p_chunk = GetNextBytes(stream);
  if (!TakeChunk(state, p_chunk, size)) return EndFeed(state);
  if (IsGammaChunk(p_chunk)) {
    stream.SetNext(stream.GetNext() + size);
    return ChunkFeed::PASSED_OVER;
  }
  state.stream_left = size;
  return ChunkFeed::READY;
}

// A long iCCP or eXIf chunk, read whole into a block of its own.
ChunkFeed FeedHeldChunk(PNGState& state, std::int64_t size) {
  if (size > state.held_capacity) {
    std::free(state.p_held);
    state.p_held = nullptr;
    state.p_canvas->Release(state.held_capacity);
    state.held_capacity = 0;
    if (!state.p_canvas->Reserve(size)) {
      state.refusal = LoadFailure::NO_MEMORY;
      return EndFeed(state);
    }
    state.held_capacity = size;
    state.p_held = static_cast<unsigned char*>(std::malloc(std::size_t(size)));
    if (state.p_held == nullptr) {
      state.p_canvas->Refuse(0);
      state.refusal = LoadFailure::NO_MEMORY;
      return EndFeed(state);
    }
  }
  if (state.p_stream->ReadBlock(state.p_held, size) < size || !TakeChunk(state, state.p_held, size)) {
    return EndFeed(state);
  }
  if (IsGammaChunk(state.p_held)) return ChunkFeed::PASSED_OVER;
  state.p_head = state.p_held;
  state.head_left = std::size_t(size);
  return ChunkFeed::READY;
}

// Whether libpng gives up at the chunk's header alone: a length or a type
// it does not take, a second IHDR or one of the wrong length, IEND before
// the image data, and anything but IDAT once the image data has begun.
bool IsFatalHeader(const PNGState& state, const unsigned char* p_header) {
  if (ReadBig32(p_header) > MAX_CHUNK_LENGTH || state.has_image_data) return true;
  for (int i = 4; i < 8; ++i) {
    const unsigned char c = p_header[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return true;
  }
  return IsType(p_header, "IHDR") || IsType(p_header, "IEND");
}

// A chunk longer than the stream's buffer. One whose header libpng gives up
// at goes over (the header alone) only once the chunk proves whole; any
// other goes over as it comes.
ChunkFeed FeedLongChunk(PNGState& state, std::int64_t size) {
  PictureStream& stream = *state.p_stream;
  std::memcpy(state.header, GetNextBytes(stream), HEADER_SIZE);
  const bool is_held = IsType(state.header, "eXIf") || IsType(state.header, "iCCP");
  if (is_held && !state.has_image_data && size <= MAX_HELD_CHUNK) return FeedHeldChunk(state, size);
  if (IsGammaChunk(state.header)) return SkipStream(stream, size) ? ChunkFeed::PASSED_OVER : EndFeed(state);
  if (IsFatalHeader(state, state.header)) {
    if (!SkipStream(stream, size)) return EndFeed(state);
    state.p_head = state.header;
    state.head_left = HEADER_SIZE;
    return ChunkFeed::READY;
  }
  state.stream_left = size;
  return ChunkFeed::READY;
}

// The next piece of the IDAT chunk being fed, as an IDAT chunk of its own:
// whole blocks while the chunk goes on past the stream's buffer, then the
// rest, whose CRC says whether the whole chunk's matched; or, where the
// file ends, all that came (any bytes of the CRC among it).
bool FeedImageData(PNGState& state) {
  PictureStream& stream = *state.p_stream;
  const std::int64_t whole = state.data_left + CHECK_SIZE;
  const std::int64_t wanted = whole < stream.GetBufferSize() ? whole : stream.GetBufferSize();
  const std::int64_t held = stream.PeekAhead(wanted);
  std::int64_t piece = 0;
  if (held >= whole) {
    piece = state.data_left;
    state.step = FeedStep::CHUNK;
    state.skip_size = CHECK_SIZE;
  } else if (held >= wanted) {
    const std::int64_t most = held < state.data_left ? held : state.data_left - 1;
    piece = most / DATA_BLOCK_SIZE * DATA_BLOCK_SIZE;
    if (piece == 0) piece = most;  // a buffer smaller than a block, when memory is short
  } else {
    piece = held;
    state.step = FeedStep::ENDED;
    if (piece == 0) return false;
  }
  const unsigned char* p_piece = GetNextBytes(stream);
  const uLong piece_check = crc32(0, p_piece, uInt(piece));
  uLong check = crc32_combine(crc32(0, reinterpret_cast<const Bytef*>("IDAT"), 4), piece_check, z_off_t(piece));
  state.data_check = crc32_combine(state.data_check, piece_check, z_off_t(piece));
  state.data_left -= piece;
  if (state.step == FeedStep::CHUNK && state.data_check != ReadBig32(p_piece + piece)) check ^= 0xffffffffUL;
  WriteBig32((unsigned long)piece, state.header);
  std::memcpy(state.header + 4, "IDAT", 4);
  WriteBig32(check, state.tail);
  state.p_head = state.header;
  state.head_left = HEADER_SIZE;
  state.stream_left = piece;
  state.tail_left = CHECK_SIZE;
  return true;
}

// Sets up the next segment of libpng's view of the file; false where the
// view ends.
bool FeedNext(PNGState& state) {
  PictureStream& stream = *state.p_stream;
  for (;;) {
    if (state.step == FeedStep::ENDED) return false;
    if (state.step == FeedStep::IMAGE_DATA) return FeedImageData(state);
    if (stream.PeekAhead(HEADER_SIZE) < HEADER_SIZE) {
      EndFeed(state);
      return false;
    }
    const unsigned char* p_header = GetNextBytes(stream);
    const std::int64_t size = HEADER_SIZE + std::int64_t(ReadBig32(p_header)) + CHECK_SIZE;
    state.next_chunk_at = stream.GetPosition() + size;
    state.is_at_end_chunk = IsType(p_header, "IEND");
    if (IsType(p_header, "IDAT")) {
      state.step = FeedStep::IMAGE_DATA;
      state.has_image_data = true;
      state.data_left = size - HEADER_SIZE - CHECK_SIZE;
      state.data_check = crc32(0, p_header + 4, 4);
      stream.SetNext(stream.GetNext() + HEADER_SIZE);
      continue;
    }
    const ChunkFeed feed = size <= stream.GetBufferSize() ? FeedShortChunk(state, size) : FeedLongChunk(state, size);
    if (feed != ChunkFeed::PASSED_OVER) return feed == ChunkFeed::READY;
  }
}

// Copies the next `size` bytes of libpng's view of the file; false when
// the view ends first.
bool ServeView(PNGState& state, unsigned char* p_out, std::size_t size) {
  PictureStream& stream = *state.p_stream;
  while (size > 0) {
    std::size_t count = 0;
    if (state.signature_left > 0) {
      count = GetLeast(size, std::int64_t(state.signature_left));
      std::memcpy(p_out, state.signature + state.signature_size - state.signature_left, count);
      state.signature_left -= count;
    } else if (state.head_left > 0) {
      count = GetLeast(size, std::int64_t(state.head_left));
      std::memcpy(p_out, state.p_head, count);
      state.p_head += count;
      state.head_left -= count;
    } else if (state.stream_left > 0) {
      if (!stream.Refill()) return false;
      count = GetLeast(GetLeast(size, state.stream_left), stream.GetEnd() - stream.GetNext());
      std::memcpy(p_out, stream.GetNext(), count);
      stream.SetNext(stream.GetNext() + count);
      state.stream_left -= std::int64_t(count);
    } else if (state.tail_left > 0) {
      count = GetLeast(size, std::int64_t(state.tail_left));
      std::memcpy(p_out, state.tail + CHECK_SIZE - state.tail_left, count);
      state.tail_left -= count;
    } else {
      stream.SetNext(stream.GetNext() + state.skip_size);
      state.skip_size = 0;
      if (!FeedNext(state)) return false;
    }
    p_out += count;
    size -= count;
  }
  return true;
}

void ReadView(png_structp p_png, png_bytep p_out, std::size_t size) {
  if (!ServeView(*static_cast<PNGState*>(png_get_io_ptr(p_png)), p_out, size)) {
    png_error(p_png, "read beyond end of data");
  }
}

void StopOnError(png_structp p_png, png_const_charp p_message) {
  PNGState* p_state = static_cast<PNGState*>(png_get_error_ptr(p_png));
  std::snprintf(p_state->message, MESSAGE_SIZE, "%s", p_message);
  png_longjmp(p_png, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

// Takes the signature, and frames the first chunk before libpng reads the
// signature: sides out of range are the reason even for a file whose
// signature is broken.
void StartFeed(PNGState& state) {
  PictureStream& stream = *state.p_stream;
  const std::int64_t held = stream.PeekAhead(std::int64_t(SIGNATURE_SIZE));
  state.signature_size = GetLeast(SIGNATURE_SIZE, held);
  std::memcpy(state.signature, stream.GetNext(), state.signature_size);
  stream.SetNext(stream.GetNext() + state.signature_size);
  state.signature_left = state.signature_size;
  state.next_chunk_at = stream.GetPosition();
  if (state.signature_size < SIGNATURE_SIZE) {
    state.step = FeedStep::ENDED;
  } else {
    FeedNext(state);
  }
}

// Whether the file has its IEND chunk, whole, where libpng stopped or
// after it, whole chunk after whole chunk: a broken file does, a file cut
// short does not.
bool FindsEnd(PNGState& state) {
  PictureStream& stream = *state.p_stream;
  if (state.step == FeedStep::ENDED) return false;
  if (state.is_at_end_chunk) return true;
  if (!SkipStream(stream, state.next_chunk_at - stream.GetPosition())) return false;
  for (;;) {
    if (stream.PeekAhead(HEADER_SIZE) < HEADER_SIZE) return false;
    const bool is_end = IsType(GetNextBytes(stream), "IEND");
    if (!SkipStream(stream, HEADER_SIZE + std::int64_t(ReadBig32(GetNextBytes(stream))) + CHECK_SIZE)) return false;
    if (is_end) return true;
  }
}

// libpng checks the CRC of the piece of image data it stops in, once the
// last row is in. When the image data ends before the IDAT chunk does, the
// program always checked the whole chunk's CRC as far as the file goes: so
// it does, on to the end of the chunk.
void CheckRestOfImageData(PNGState& state) {
  if (state.step != FeedStep::IMAGE_DATA) return;
  PictureStream& stream = *state.p_stream;
  uLong check = state.data_check;
  for (std::int64_t left = state.data_left; left > 0;) {
    if (!stream.Refill()) return;
    const std::size_t count = GetLeast(std::size_t(stream.GetEnd() - stream.GetNext()), left);
    check = crc32(check, GetNextBytes(stream), uInt(count));
    stream.SetNext(stream.GetNext() + count);
    left -= std::int64_t(count);
  }
  if (stream.PeekAhead(CHECK_SIZE) >= CHECK_SIZE && check != ReadBig32(GetNextBytes(stream))) {
    png_chunk_error(state.p_png, "CRC error");
  }
}

// The rows as the canvas takes them: 8-bit RGB, or RGBA when the file has
// an alpha channel or tRNS, with the file's own sample values (no gamma
// is converted; png_set_scale_16 makes 16-bit v round(v * 255 / 65535)).
void ChooseRows(PNGState& state, PictureHeader& header) {
  png_structp p_png = state.p_png;
  const int colour_type = png_get_color_type(p_png, state.p_info);
  const bool has_alpha =
      (colour_type & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(p_png, state.p_info, PNG_INFO_tRNS) != 0;
  png_set_expand(p_png);
  png_set_scale_16(p_png);
  if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(p_png);
  header.width = int(png_get_image_width(p_png, state.p_info));
  header.height = int(png_get_image_height(p_png, state.p_info));
  header.layout = has_alpha ? SampleLayout::RGBA : SampleLayout::RGB;
  header.orientation = state.orientation;
  header.p_icc = state.p_icc;
  header.icc_size = state.icc_size;
  state.row_size = std::size_t(header.width) * (has_alpha ? 4 : 3);
}

// An interlaced picture whole, decoded (zero where no pass has come), or
// the reason: not enough memory for the picture.
LoadFailure HoldPicture(PNGState& state, Canvas& canvas, LoadReport& report, const PictureHeader& header) {
  state.held_rows = header.height;
  const std::int64_t bytes = std::int64_t(state.row_size) * header.height;
  if (canvas.Reserve(bytes)) state.p_rows = static_cast<unsigned char*>(std::calloc(std::size_t(bytes), 1));
  if (state.p_rows != nullptr) return LoadFailure::NONE;
  report.width = header.width;
  report.height = header.height;
  report.bytes_wanted = bytes;
  return LoadFailure::NO_MEMORY;
}

LoadFailure AllocateRow(PNGState& state, Canvas& canvas) {
  if (!canvas.Reserve(std::int64_t(state.row_size))) return LoadFailure::NO_MEMORY;
  state.p_rows = static_cast<unsigned char*>(std::malloc(state.row_size));
  if (state.p_rows != nullptr) return LoadFailure::NONE;
  canvas.Refuse(0);
  return LoadFailure::NO_MEMORY;
}

void PutHeldRows(const PNGState& state, Canvas& canvas) {
  for (int y = 0; y < state.held_rows; ++y) canvas.PutRows(state.p_rows + std::size_t(y) * state.row_size);
}

LoadFailure StopReading(PNGState& state, LoadReport& report) {
  if (state.refusal != LoadFailure::NONE) {
    report.refused_value = state.refused_value;
    return state.refusal;
  }
  report.SetWords(state.message);
  if (!state.is_reading_rows || FindsEnd(state)) return LoadFailure::UNREADABLE;
  // libpng fills the last row before it reads on to the end of the image
  // data, which may be missing; a row it never filled is zeros, which
  // the canvas would put there anyway.
  if (state.is_last_row) state.p_canvas->PutRows(state.p_rows);
  PutHeldRows(state, *state.p_canvas);
  report.is_cut_short = true;
  return LoadFailure::NONE;
}

// The whole decode, between one setjmp and the library's calls; the caller
// frees libpng's structures and the state's blocks on every path.
LoadFailure DecodePNGData(PNGState& state, Canvas& canvas, LoadReport& report) {
  if (setjmp(png_jmpbuf(state.p_png)) != 0) return StopReading(state, report);
  png_set_benign_errors(state.p_png, 1);
  png_set_read_fn(state.p_png, &state, ReadView);
  StartFeed(state);
  if (state.refusal != LoadFailure::NONE) return StopReading(state, report);
  png_read_info(state.p_png, state.p_info);

  PictureHeader header;
  ChooseRows(state, header);
  const int passes = png_set_interlace_handling(state.p_png);
  LoadFailure failure = passes > 1 ? HoldPicture(state, canvas, report, header) : LoadFailure::NONE;
  if (failure == LoadFailure::NONE) failure = canvas.Start(header);
  if (failure == LoadFailure::NONE && passes == 1) failure = AllocateRow(state, canvas);
  if (failure != LoadFailure::NONE) return failure;
  report.frame_count = state.frame_count;
  state.is_reading_rows = true;
  png_read_update_info(state.p_png, state.p_info);
  if (png_get_rowbytes(state.p_png, state.p_info) != state.row_size) {
    report.SetWords("rows of an unexpected size");
    return LoadFailure::UNREADABLE;
  }
  if (state.held_rows > 0) {
    for (int pass = 0; pass < passes; ++pass) {
      for (int y = 0; y < header.height; ++y) png_read_row(state.p_png, state.p_rows + y * state.row_size, nullptr);
    }
    CheckRestOfImageData(state);
    PutHeldRows(state, canvas);
    return LoadFailure::NONE;
  }
  for (int y = 0; y < header.height; ++y) {
    state.is_last_row = y == header.height - 1;
    if (state.is_last_row) std::memset(state.p_rows, 0, state.row_size);
    png_read_row(state.p_png, state.p_rows, nullptr);
    state.is_last_row = false;
    canvas.PutRows(state.p_rows);
  }
  CheckRestOfImageData(state);
  return LoadFailure::NONE;
}

}  // namespace

LoadFailure DecodePNG(PictureStream& stream, Canvas& canvas, LoadReport& report) {
  PNGState state;
  std::memset(&state, 0, sizeof state);
  state.p_stream = &stream;
  state.p_canvas = &canvas;
  state.orientation = 1;
  state.frame_count = 1;
  state.p_png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, StopOnError, IgnoreWarning);
  if (state.p_png != nullptr) state.p_info = png_create_info_struct(state.p_png);
  LoadFailure failure = LoadFailure::NO_MEMORY;
  if (state.p_info != nullptr) {
    failure = DecodePNGData(state, canvas, report);
  } else {
    canvas.Refuse(0);
  }
  png_destroy_read_struct(&state.p_png, &state.p_info, nullptr);
  std::free(state.p_rows);
  std::free(state.p_held);
  std::free(state.p_icc);
  return failure;
}
