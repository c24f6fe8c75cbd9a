// Packing one source (a file, or a folder with everything below it) into an archive
// that is created or extended.
#pragma once

#include <windows.h>

#include <string>

#include "session.h"

namespace zoras {

// `archive` and `source` are full paths; `entry_root` is the source's name in the
// archive. Returns 0 or an ARCERR_ code; on failure the archive is as it was before
// (deleted when this call created it).
DWORD pack_source(Session& session, const std::wstring& archive, const std::wstring& source,
                  const std::wstring& entry_root, bool recurse);

}  // namespace zoras
