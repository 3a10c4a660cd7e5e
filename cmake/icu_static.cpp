// What the static libicuuc.a needs beside it in the self-contained module of VELK_STATIC_DEPS.
//
// 1. ICU's common data, empty: the table of contents of ICU's own stub data library
// (icu4c/source/stubdata), defined under the name libicuuc looks for (icudt<version>_dat). It
// stands in for libicudata (some 30 MB).
//
// What velk calls needs no data file: character properties (u_charType, u_hasBinaryProperty),
// simple case folding (u_foldCase) and root-locale lower-casing (ucasemap_open with "" and
// ucasemap_utf8ToLower) read tables that are compiled into libicuuc itself. Only services that
// load resource bundles (locales, collation, converters, normalization beyond NFC...) would fail
// with U_MISSING_RESOURCE_ERROR / U_FILE_ACCESS_ERROR. scripts/icu_data_check.cpp compares every
// code point's results against the full data; scripts/wheel.sh runs it.
//
// 2. Stand-ins for two glibc variables. Debian compiles libicuuc.a as position-independent
// executable code (-fPIE, not -fPIC). Its references to its own symbols are fine in a shared
// object once they are hidden (cmake/module.map), but putil.o reads glibc's `__timezone` and
// `tzname` (the host's time zone, for the calendar code of libicui18n) directly, which only an
// executable can do: the link fails with "relocation R_X86_64_PC32 against symbol `__timezone'
// can not be used when making a shared object". The hidden definitions below satisfy those
// references (cmake/module.map keeps them out of the module's exports); only uprv_timezone()
// and uprv_tzname() would see them, and velk never asks ICU for a time zone.
#include <unicode/udata.h>
#include <unicode/utypes.h>

namespace {

struct StubDataHeader {
  struct {
    uint16_t headerSize;
    uint8_t magic1;
    uint8_t magic2;
  } mapped;
  UDataInfo info;
  char padding[8];
  uint32_t count;
  uint32_t reserved;
  struct {
    uint32_t nameOffset;
    uint32_t dataOffset;
  } toc[1];
};

}  // namespace

extern "C" U_EXPORT const StubDataHeader U_ICUDATA_ENTRY_POINT = {
    {32, 0xda, 0x27},
    {sizeof(UDataInfo), 0, U_IS_BIG_ENDIAN, U_CHARSET_FAMILY, U_SIZEOF_UCHAR, 0,
     {0x54, 0x6f, 0x43, 0x50},  // "ToCP": a table of contents
     {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {0, 0, 0, 0, 0, 0, 0, 0},
    0,  // no entries
    0,
    {{0, 0}},
};

// Declared by <time.h>, which the ICU headers include.
long __timezone = 0;
char* tzname[2] = {nullptr, nullptr};
