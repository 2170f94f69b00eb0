// Packs a folder through the reporting function at one level and thread
// count, for the tests that compare levels and thread counts.
#pragma once

#include <cstdint>
#include <string>

#include "entry/report.h"

namespace zft {

inline std::int32_t PackAtLevel(const std::string& src, const std::string& zip, std::int32_t level,
                                std::uint32_t threads) {
  ZipFolderOptions options{};
  options.size = sizeof options;
  options.level = level;
  options.threads = threads;
  return zf::PackFolderReporting(src.c_str(), zip.c_str(), &options);
}

}  // namespace zft
