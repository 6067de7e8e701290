#include "picture/PictureFormats.h"

#include <cstring>

namespace {

// Compares the bytes there are with `signature` at `offset`: NO at the
// first that differs, PREFIX when the bytes end first.
SignatureMatch MatchBytes(const unsigned char* p_bytes, std::size_t size, const char* p_signature,
                          std::size_t length, std::size_t offset = 0) {
  for (std::size_t i = 0; i < length; ++i) {
    if (offset + i >= size) return SignatureMatch::PREFIX;
    if (p_bytes[offset + i] != static_cast<unsigned char>(p_signature[i])) return SignatureMatch::NO;
  }
  return SignatureMatch::YES;
}

SignatureMatch MatchEither(SignatureMatch a, SignatureMatch b) {
  if (a == SignatureMatch::YES || b == SignatureMatch::YES) return SignatureMatch::YES;
  return a == SignatureMatch::PREFIX || b == SignatureMatch::PREFIX ? SignatureMatch::PREFIX : SignatureMatch::NO;
}

SignatureMatch MatchJPEG(const unsigned char* p, std::size_t size) { return MatchBytes(p, size, "\xFF\xD8\xFF", 3); }

SignatureMatch MatchPNG(const unsigned char* p, std::size_t size) { return MatchBytes(p, size, "\x89PNG", 4); }

SignatureMatch MatchGIF(const unsigned char* p, std::size_t size) {
  return MatchEither(MatchBytes(p, size, "GIF87a", 6), MatchBytes(p, size, "GIF89a", 6));
}

// RIFF, the file's size, WEBP: a RIFF file of another kind (WAVE, AVI) is
// none.
SignatureMatch MatchWebP(const unsigned char* p, std::size_t size) {
  const SignatureMatch riff = MatchBytes(p, size, "RIFF", 4);
  if (riff != SignatureMatch::YES) return riff;
  return size <= 8 ? SignatureMatch::PREFIX : MatchBytes(p, size, "WEBP", 4, 8);
}

// An ISO media file's ftyp box whose major brand, or one of its compatible
// brands, is HEIF's or AVIF's; an MP4 or a QuickTime file is none.
SignatureMatch MatchHEIF(const unsigned char* p, std::size_t size) {
  static const char* const BRANDS[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                       "mif1", "msf1", "avif", "avis"};
  if (p[0] != 0) return SignatureMatch::NO;  // a box size below 16 MiB
  const SignatureMatch box = MatchBytes(p, size, "ftyp", 4, 4);
  if (box != SignatureMatch::YES) return box;
  const std::size_t box_size = std::size_t(p[1]) << 16 | std::size_t(p[2]) << 8 | p[3];
  SignatureMatch found = SignatureMatch::NO;
  for (std::size_t at = 8; at < size && at + 4 <= box_size && at < 32; at += at == 8 ? 8 : 4) {
    for (const char* p_brand : BRANDS) found = MatchEither(found, MatchBytes(p, size, p_brand, 4, at));
    if (found == SignatureMatch::YES) return found;
  }
  return size <= 8 ? SignatureMatch::PREFIX : found;
}

SignatureMatch MatchTIFF(const unsigned char* p, std::size_t size) {
  return MatchEither(MatchBytes(p, size, "II*\0", 4), MatchBytes(p, size, "MM\0*", 4));
}

// JPEG XL: the bare codestream, or the ISO media container's signature
// box.
SignatureMatch MatchJXL(const unsigned char* p, std::size_t size) {
  return MatchEither(MatchBytes(p, size, "\xFF\x0A", 2), MatchBytes(p, size, "\0\0\0\x0CJXL \r\n\x87\n", 12));
}

SignatureMatch MatchBMP(const unsigned char* p, std::size_t size) { return MatchBytes(p, size, "BM", 2); }

// SVG: its root element first, or after an XML declaration and white
// space.
SignatureMatch MatchSVG(const unsigned char* p, std::size_t size) {
  const SignatureMatch root = MatchBytes(p, size, "<svg", 4);
  if (root != SignatureMatch::NO) return root;
  const SignatureMatch declaration = MatchBytes(p, size, "<?xml", 5);
  if (declaration != SignatureMatch::YES) return declaration;
  const unsigned char* p_end = static_cast<const unsigned char*>(std::memchr(p, '>', size));
  if (p_end == nullptr) return SignatureMatch::PREFIX;
  std::size_t at = std::size_t(p_end - p) + 1;
  while (at < size && (p[at] == ' ' || p[at] == '\t' || p[at] == '\r' || p[at] == '\n')) ++at;
  return MatchBytes(p, size, "<svg", 4, at);
}

SignatureMatch MatchXPM(const unsigned char* p, std::size_t size) { return MatchBytes(p, size, "/* XPM */", 9); }

// PCX: its manufacturer byte, a known version, run-length encoding and a
// known depth.
SignatureMatch MatchPCX(const unsigned char* p, std::size_t size) {
  if (p[0] != 0x0A) return SignatureMatch::NO;
  if (size < 4) return SignatureMatch::PREFIX;
  const bool is_version = p[1] == 0 || (p[1] >= 2 && p[1] <= 5);
  const bool is_depth = p[3] == 1 || p[3] == 2 || p[3] == 4 || p[3] == 8;
  return is_version && p[2] == 1 && is_depth ? SignatureMatch::YES : SignatureMatch::NO;
}

template <char DIGIT>
SignatureMatch MatchNetpbm(const unsigned char* p, std::size_t size) {
  const char magic[2] = {'P', DIGIT};
  return MatchBytes(p, size, magic, 2);
}

// Appends as much of `p_text` as fits.
void Append(char* p_list, std::size_t size, std::size_t& length, const char* p_text) {
  for (; *p_text != '\0' && length + 1 < size; ++p_text) p_list[length++] = *p_text;
  p_list[length] = '\0';
}

const char* const THEN = " | ";
const Converter MAGICK = {"convert", false, THEN, true};
const Converter NETPBM = {"ppmtoppm", true, " | pamdepth 255 | ", false};
const Converter RSVG = {"rsvg-convert", false, THEN, false};
// GraphicsMagick reads JPEG XL (Debian builds it with libjxl), where
// ImageMagick 6 does not.
const Converter GRAPHICSMAGICK = {"gm convert", false, THEN, true, " -flatten"};

#ifdef MOTTLEPAGE_HAS_GIF
const Decoder GIF_DECODER = DecodeGIF;
#else
const Decoder GIF_DECODER = nullptr;
#endif
#ifdef MOTTLEPAGE_HAS_WEBP
const Decoder WEBP_DECODER = DecodeWebP;
#else
const Decoder WEBP_DECODER = nullptr;
#endif
#ifdef MOTTLEPAGE_HAS_HEIF
const Decoder HEIF_DECODER = DecodeHEIF;
#else
const Decoder HEIF_DECODER = nullptr;
#endif
#ifdef MOTTLEPAGE_HAS_TIFF
const Decoder TIFF_DECODER = DecodeTIFF;
#else
const Decoder TIFF_DECODER = nullptr;
#endif
#ifdef MOTTLEPAGE_HAS_JXL
const Decoder JXL_DECODER = DecodeJXL;
#else
const Decoder JXL_DECODER = nullptr;
#endif

const PictureFormat FORMATS[] = {
    {"JPEG", "a JPEG image", MatchJPEG, 3, 2, false, DecodeJPEG, MAGICK},
    {"PNG", "a PNG image", MatchPNG, 4, 2, false, DecodePNG, MAGICK},
    {"GIF", "a GIF image", MatchGIF, 6, 3, false, GIF_DECODER, MAGICK},
    {"WebP", "a WebP image", MatchWebP, 12, 9, false, WEBP_DECODER, MAGICK},
    {"HEIF", "a HEIF image (HEIC or AVIF)", MatchHEIF, 32, 9, false, HEIF_DECODER, MAGICK},
    {"TIFF", "a TIFF image", MatchTIFF, 4, 3, false, TIFF_DECODER, MAGICK},
    {"JPEG XL", "a JPEG XL image", MatchJXL, 12, 6, false, JXL_DECODER, GRAPHICSMAGICK},
    {"BMP", "a BMP image", MatchBMP, 2, 0, false, nullptr, MAGICK},
    {"SVG", "an SVG image", MatchSVG, 256, 0, false, nullptr, RSVG},
    {"XPM", "an XPM image", MatchXPM, 9, 5, false, nullptr, MAGICK},
    {"PCX", "a PCX image", MatchPCX, 4, 0, false, nullptr, MAGICK},
    {"PBM", "a plain PBM bitmap (P1)", MatchNetpbm<'1'>, 2, 0, true, nullptr, NETPBM},
    {"PGM", "a plain PGM greymap (P2)", MatchNetpbm<'2'>, 2, 0, true, nullptr, NETPBM},
    {"PBM", "a PBM bitmap (P4)", MatchNetpbm<'4'>, 2, 0, true, nullptr, NETPBM},
    {"PGM", "a PGM greymap (P5)", MatchNetpbm<'5'>, 2, 0, true, nullptr, NETPBM},
    {"PAM", "a PAM image (P7)", MatchNetpbm<'7'>, 2, 0, true, nullptr, MAGICK},
};

}  // namespace

const PictureFormat* FindFormat(const unsigned char* p_bytes, std::size_t size, bool is_ended, bool& is_cut) {
  is_cut = false;
  if (size == 0) return nullptr;
  for (const PictureFormat& format : FORMATS) {
    if (format.is_netpbm_magic) continue;
    const SignatureMatch match = format.p_match(p_bytes, size);
    if (match == SignatureMatch::YES) return &format;
    if (match == SignatureMatch::PREFIX && is_ended && format.cut_length > 0 && size >= format.cut_length) {
      is_cut = true;
      return &format;
    }
  }
  return nullptr;
}

const PictureFormat* FindFormatOfFirstLine(const char* p_first_line, std::size_t length) {
  const unsigned char* p_bytes = reinterpret_cast<const unsigned char*>(p_first_line);
  for (const PictureFormat& format : FORMATS) {
    if (format.p_decode == nullptr && length > 0 && format.p_match(p_bytes, length) == SignatureMatch::YES) {
      return &format;
    }
  }
  return nullptr;
}

std::size_t GetSignatureLength(int first_byte) {
  const unsigned char byte = static_cast<unsigned char>(first_byte);
  std::size_t length = 1;
  for (const PictureFormat& format : FORMATS) {
    if (format.is_netpbm_magic || format.p_match(&byte, 1) == SignatureMatch::NO) continue;
    if (format.signature_length > length) length = format.signature_length;
  }
  return length;
}

// Made once in a block of its own, never on the heap: the help comes out
// even where no memory is left at all.
const char* GetReadFormatsList() {
  static char s_list[160] = {};
  if (s_list[0] != '\0') return s_list;
  std::size_t length = 0;
  for (const PictureFormat& format : FORMATS) {
    if (format.p_decode == nullptr) continue;
    Append(s_list, sizeof s_list, length, format.p_name);
    Append(s_list, sizeof s_list, length, ", ");
  }
  if (length >= 2) length -= 2;
  s_list[length] = '\0';
  Append(s_list, sizeof s_list, length, length > 0 ? " or PPM" : "PPM");
  return s_list;
}
