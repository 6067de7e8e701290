// The HEIF decoder as a module that the program loads only when it meets a
// HEIC or AVIF file: libheif brings libde265, x265, libaom and dav1d, whose
// loading and set-up cost every run of the program several milliseconds
// (more than drawing a small PPM takes) when linked in.
//
// The program (HEIFLoader.cpp) opens the module with dlopen and checks that
// it was built with this very version of the program and of DecodedImage
// before it calls the decoder.
//
// libheif is C++ inside: what it throws (std::bad_alloc when the address
// space runs out) stops here, as the shortage or the failure it is, rather
// than ending the program.

#include <exception>
#include <new>

#include "picture/formats/WholePicture.h"

extern "C" {

__attribute__((visibility("default"))) const char* MottlepageHEIFModuleVersion() {
  return MOTTLEPAGE_MODULE_VERSION;
}

__attribute__((visibility("default"))) unsigned long MottlepageHEIFModuleLayout() {
  return sizeof(DecodedImage) * 1000 + sizeof(FileBytes);
}

__attribute__((visibility("default"))) int MottlepageDecodeHEIF(const FileBytes* p_file, DecodedImage* p_image) {
  try {
    return DecodeHEIFFile(*p_file, *p_image);
  } catch (const std::bad_alloc&) {
    return DECODE_NO_MEMORY;
  } catch (const std::exception& error) {
    p_image->SetMessage(error.what());
    return DECODE_UNREADABLE;
  }
}
}
