// Reads an archive through one file descriptor and a read-ahead buffer. libzip's own file
// source seeks and re-reads before every member; this one serves the small reads of headers
// and short members from memory.
#pragma once

#include <zip.h>

namespace halyard::ziplib {

/// Opens the archive read-only with zip_open's flags. Returns nullptr on failure and sets
/// error_code to a ZIP_ER_ value.
zip_t* OpenArchive(const char* path, int flags, int& error_code);

}  // namespace halyard::ziplib
