// HEIF for the program: libheif through the module built from HEIF.cpp
// and HEIFModule.cpp, loaded only when a HEIC or AVIF file comes (libheif's
// codecs cost every run several milliseconds to load and set up when
// linked in), or HEIF.cpp linked in directly where no module is built
// (fuzzing).

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "common/MemoryLimit.h"
#include "picture/formats/WholePicture.h"

namespace {

#ifdef MOTTLEPAGE_HEIF_MODULE
typedef int (*ModuleDecoder)(const FileBytes*, DecodedImage*);

// Where the module is: installed beside the program (BINDIR/../LIBDIR/
// mottlepage, wherever the installation was put), at the install path,
// then in this build.
// The path is made in the caller's block, not on the heap, whose shortage
// must end in the reason line, not in an exception.
void GetModuleBesideProgram(char (&path)[4096]) {
  static const char BESIDE[] = "/../" MOTTLEPAGE_HEIF_MODULE_BESIDE;
  path[0] = '\0';
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - sizeof BESIDE);
  if (length <= 0) {
    path[0] = '\0';
    return;
  }
  path[length] = '\0';
  char* p_slash = std::strrchr(path, '/');
  if (p_slash == nullptr) {
    path[0] = '\0';
    return;
  }
  std::memcpy(p_slash, BESIDE, sizeof BESIDE);
}

// The module's decoder, when one of this very version is found; null
// otherwise. is_short_of_memory tells a module that could not be mapped
// for want of memory from one that is missing; module_bytes is the address
// space that the module and its libraries took.
ModuleDecoder OpenModule(bool& is_short_of_memory, std::int64_t& module_bytes) {
  is_short_of_memory = false;
  const std::int64_t address_space = GetAddressSpaceInUse();
  static char beside[4096];
  GetModuleBesideProgram(beside);
  for (const char* p_path : {static_cast<const char*>(beside), MOTTLEPAGE_HEIF_MODULE, MOTTLEPAGE_HEIF_BUILD_MODULE}) {
    if (*p_path == '\0' || access(p_path, R_OK) != 0) continue;
    void* p_module = dlopen(p_path, RTLD_NOW | RTLD_LOCAL);
    if (p_module == nullptr) {
      const char* p_error = dlerror();
      if (p_error != nullptr && (std::strstr(p_error, "memory") != nullptr || std::strstr(p_error, "map") != nullptr)) {
        is_short_of_memory = true;
      }
      continue;
    }
    typedef const char* (*VersionFunction)();
    typedef unsigned long (*LayoutFunction)();
    VersionFunction p_version = reinterpret_cast<VersionFunction>(dlsym(p_module, "MottlepageHEIFModuleVersion"));
    LayoutFunction p_layout = reinterpret_cast<LayoutFunction>(dlsym(p_module, "MottlepageHEIFModuleLayout"));
    ModuleDecoder p_decode = reinterpret_cast<ModuleDecoder>(dlsym(p_module, "MottlepageDecodeHEIF"));
    const unsigned long layout = sizeof(DecodedImage) * 1000 + sizeof(FileBytes);
    if (p_version != nullptr && p_layout != nullptr && p_decode != nullptr &&
        std::strcmp(p_version(), MOTTLEPAGE_MODULE_VERSION) == 0 && p_layout() == layout) {
      module_bytes = GetAddressSpaceInUse() - address_space;
      return p_decode;  // stays loaded for the program's life
    }
    dlclose(p_module);
  }
  return nullptr;
}

ModuleDecoder g_p_decode = nullptr;
bool g_is_short_of_memory = false;
std::int64_t g_module_bytes = 0;

int DecodeThroughModule(const FileBytes& file, DecodedImage& image) {
  if (g_p_decode == nullptr) {
    image.SetMessage("the HEIF decoder module mottlepage-heif.so is missing or of another version");
    return DECODE_UNREADABLE;
  }
  return g_p_decode(&file, &image);
}
#endif

}  // namespace

LoadFailure DecodeHEIF(PictureStream& stream, Canvas& canvas, LoadReport& report) {
#ifdef MOTTLEPAGE_HEIF_MODULE
  // Opened before the file is read, so that a module that cannot be mapped
  // is seen as the shortage it is.
  if (g_p_decode == nullptr) g_p_decode = OpenModule(g_is_short_of_memory, g_module_bytes);
  if (g_p_decode == nullptr && g_is_short_of_memory) return LoadFailure::NO_MEMORY;
  // The memory the program may use was worked out before the module was
  // mapped.
  if (!canvas.Reserve(g_module_bytes)) return LoadFailure::NO_MEMORY;
  return DecodeWholeFile(stream, canvas, report, DecodeThroughModule);
#else
  return DecodeWholeFile(stream, canvas, report, DecodeHEIFFile);
#endif
}
